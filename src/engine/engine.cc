#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine_core.h"
#include "synth/sample_rate.h"

// An engine made without a rate computes exactly as the modules' formulas are
// written.
static_assert(kDefaultSampleRate == kReferenceRate);

namespace {
// A rate, a voice count or a touch outside the engine's range is taken as
// the nearest one inside it.
EngineSettings in_range(EngineSettings settings) {
  settings.sample_rate = std::clamp(settings.sample_rate, kMinSampleRate, kMaxSampleRate);
  settings.voices = std::clamp(settings.voices, 1, kMaxVoices);
  settings.voice_room = std::clamp(std::max(settings.voice_room, settings.voices), 1, kMaxVoices);
  settings.velocity = settings.velocity >= 0 ? std::min(settings.velocity, 1.0) : 0.0;  // NaN: 0
  return settings;
}

// The voice copies a patch needs for `room` voices, made here, off the audio thread.
void make_voice_copies(Patch& patch, int room) {
  while (static_cast<int>(patch.voice_copies.size()) < room - 1) patch.voice_copies.push_back(patch.copy());
}

Patch* voice_patch(Patch& patch, int v) { return v == 0 ? &patch : patch.voice_copies[v - 1].get(); }

// The sum of the voices to a 16-bit sample: truncated toward zero and held at
// the limits (several voices may add up beyond them); NaN gives 0. Within the
// limits, the same as to_sample.
int16_t to_saturated_sample(double value) {
  if (!(value == value)) return 0;
  if (value >= 32767.0) return 32767;
  if (value <= -32768.0) return -32768;
  return static_cast<int16_t>(value);
}
}  // namespace

EngineCore::EngineCore(Patch* patch, const EngineSettings& settings)
    : patch_(patch), settings_(in_range(settings)), sample_rate_(settings_.sample_rate),
      voice_room_(settings_.voice_room),
      midi_voice_(MidiSettings{settings.midi_channel, settings.bend_range}) {
  patch_->set_sample_rate(settings_.sample_rate);
  make_voice_copies(*patch_, settings_.voice_room);
  vca_.set_sample_rate(settings_.sample_rate);
  for (int v = 0; v < settings_.voice_room; ++v) {
    voices_[v].patch = voice_patch(*patch_, v);
    voices_[v].vca.set_sample_rate(settings_.sample_rate);
  }
}

EngineCore::~EngineCore() {
  // No thread plays any more: what is still in the queues is ours to free.
  Command command;
  while (commands_.pop(command))
    if (command.kind == Command::kSwapPatch) delete command.patch;
  Report report;
  while (reports_.pop(report))
    if (report.kind == Report::kPatchRetired) delete report.patch;
  delete patch_;
}

bool EngineCore::send(const Command& command) {
  if (commands_.push(command)) return true;
  refused_commands_.fetch_add(1, std::memory_order_relaxed);
  return false;
}

bool EngineCore::send_from_midi_input(const Command& command) {
  if (midi_input_.push(command)) return true;
  refused_commands_.fetch_add(1, std::memory_order_relaxed);
  return false;
}

void EngineCore::report(const Report& report) {
  reported_ = true;
  if (!reports_.push(report)) lost_reports_.fetch_add(1, std::memory_order_relaxed);
}

double EngineCore::velocity_gain(int velocity) const {
  const double s = settings_.velocity;
  const double v = velocity / 127.0;
  return 1.0 - s + s * (v * v);
}

void EngineCore::trigger(Report::Origin origin) {
  // A note from a key, Enter or the auto-play ends the sounding MIDI note,
  // and plays at full velocity.
  if (origin != Report::kByMidi) {
    midi_voice_.other_note_started();
    gain_ = velocity_gain(127);
  }
  vca_.trigger();
  report(Report::of(Report::kTrig, frame_));
  Report sounding = Report::of(Report::kSounding, frame_);
  sounding.origin = origin;
  sounding.note = patch_->base_note;
  report(sounding);
}

void EngineCore::release() {
  report(Report::of(Report::kUntrig, frame_));
  vca_.release();
}

void EngineCore::apply(const Command& command) {
  Report applied = Report::of(Report::kApplied, frame_);
  applied.command = command;
  report(applied);
  if (settings_.voices > 1 && apply_to_voices(command)) return;
  switch (command.kind) {
    case Command::kPlayNote:
      patch_->base_note = command.note;
      trigger(Report::kByKey);
      break;
    case Command::kReplay:
      // A patch without oscillator links has nothing to retune: Enter only retriggers.
      if (!patch_->vco_links.empty()) patch_->vco_links[0].note = settings_.enter_note;
      trigger(Report::kByEnter);
      break;
    case Command::kReleaseNote:
    case Command::kReleaseReplay:
      release();
      break;
    case Command::kRandomNote:
      play_random_note();
      break;
    case Command::kSwapPatch:
      if (command.patch) swap_patch(command.patch);
      break;
    case Command::kMidi: {
      MidiMessage message;
      if (read_single_midi_message(command.midi.bytes, command.midi.size, message) == SingleMidiMessage::kComplete)
        apply_midi(message);
      break;
    }
  }
}

void EngineCore::apply_midi(const MidiMessage& message) {
  const MidiAction action = midi_voice_.apply(message);
  bend_ = action.bend;  // heard from the next evaluation on, like a new note
  if (settings_.voices > 1) {
    apply_midi_to_voices(message);
    return;
  }
  switch (action.note) {
    case MidiAction::kNothing: break;
    case MidiAction::kPlay:
      patch_->base_note = action.engine_note;
      gain_ = velocity_gain(action.velocity);
      trigger(Report::kByMidi);
      break;
    case MidiAction::kRelease: release(); break;
  }
}

// A timed event's bytes through the parser; each message they complete is
// logged as a command of its own and applied.
void EngineCore::apply_raw_midi(const RawMidiEvent& event) {
  MidiMessage message;
  const int size = event.midi.size < kMidiMaxBytes ? event.midi.size : kMidiMaxBytes;
  for (int i = 0; i < size; ++i) {
    if (!live_parser_.feed(event.midi.bytes[i], message)) continue;
    Report applied = Report::of(Report::kApplied, frame_);
    applied.command = Command::midi_message(message, frame_);
    report(applied);
    apply_midi(message);
  }
}

void EngineCore::drain_midi_input() {
  size_t waiting = midi_input_.read_available();
  for (; waiting > 0; --waiting) {
    apply(midi_input_.front());
    midi_input_.pop();
  }
}

// The note sounding goes on in the new patch: its key's note and the noise
// stream carry over (the noise, like the random notes, belongs to the
// session, so a reload does not restart its sequence); the envelope is the
// engine's. The new patch's oscillators start from phase 0 with the notes of
// its file: a retune by Enter stays with the old patch.
//
// With several voices, every voice changes patch at the same frame, each
// keeping its note, its envelope and its noise stream.
void EngineCore::swap_patch(Patch* next) {
  next->base_note = patch_->base_note;
  next->noise = patch_->noise;
  for (int v = 1; v < settings_.voice_room; ++v) {
    Patch* copy = voice_patch(*next, v);
    copy->base_note = voices_[v].patch->base_note;
    copy->noise = voices_[v].patch->noise;
    voices_[v].patch = copy;
  }
  Report retired = Report::of(Report::kPatchRetired, frame_);
  retired.patch = patch_;
  patch_ = next;
  voices_[0].patch = next;
  report(retired);
}

void EngineCore::auto_play() {
  if (settings_.voices > 1) {
    auto_play_voices();
    return;
  }
  if (!settings_.autoplay || vca_.active) return;
  report(Report::of(Report::kMiam, frame_));
  play_random_note();
}

void EngineCore::play_random_note() {
  const int32_t note = note_random_.next() % 10 + 53;  // 53 to 62
  if (settings_.voices > 1) {
    const int v = choose_voice(voices_, settings_.voices, note);
    release_voice(v);
    start_voice(note, Report::kByAutoPlay, velocity_gain(127), v);
    return;
  }
  release();
  patch_->base_note = note;
  trigger(Report::kByAutoPlay);
}

// Applies, in order, the first of `waiting` commands that are due before the
// current frame.
void EngineCore::drain_due(size_t& waiting) {
  while (waiting > 0) {
    const Command& next = commands_.front();
    if (next.frame != Command::kAtOnce && next.frame > frame_) return;
    apply(next);
    commands_.pop();
    --waiting;
  }
}

void EngineCore::apply_due_commands() {
  size_t waiting = commands_.read_available();
  drain_due(waiting);
}

void EngineCore::change_settings(const EngineSettings& settings) {
  EngineSettings next = in_range(settings);
  next.sample_rate = settings_.sample_rate;  // fixed for the engine's life
  next.voice_room = settings_.voice_room;    // the copies made
  next.voices = std::min(next.voices, next.voice_room);
  const int voices = next.voices;
  next.voices = settings_.voices;
  settings_ = next;
  set_voice_count(voices);
  midi_voice_.change_settings(MidiSettings{settings.midi_channel, settings.bend_range});
  bend_ = midi_voice_.bend();
}

void EngineCore::render(int frames, int16_t* out, const RawMidiEvent* events, int event_count) {
  drain_midi_input();
  size_t waiting = commands_.read_available();
  Patch* patch = patch_;
  Vca& vca = vca_;
  int next_event = 0;
  for (int i = 0; i < frames; ++i) {
    if (waiting > 0) {
      drain_due(waiting);
      patch = patch_;  // a command may have swapped it
    }
    while (next_event < event_count && (events[next_event].offset <= static_cast<uint32_t>(i) || i == frames - 1))
      apply_raw_midi(events[next_event++]);
    auto_play();
    if (settings_.voices > 1) {
      const double sum = sum_of_voices();
      out[2 * i] = to_saturated_sample(sum);
      out[2 * i + 1] = to_saturated_sample(static_cast<float>(sum));
      ++frame_;
      continue;
    }
    vca.step();
    patch->evaluate(bend_);
    // Exact in double; the left sample takes it as is, the right one rounded
    // to float first, so the two differ by one step where rounding crosses a
    // whole number.
    const double product = static_cast<double>(patch->get_output()) * vca.level * gain_;
    out[2 * i] = to_sample(product);
    out[2 * i + 1] = to_sample(static_cast<float>(product));
    ++frame_;
  }
  // A block of no frames (a plugin host may send events before any audio):
  // its commands and events apply before the next frame.
  if (frames == 0) {
    drain_due(waiting);
    while (next_event < event_count) apply_raw_midi(events[next_event++]);
  }
  published_frames_.store(frame_, std::memory_order_release);
  scope_.write(out, frames, settings_.voices > 1 ? loudest_voice_level() : vca.level);
  if (reported_ && wake_fd_ >= 0) {
    const uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
      // Full counter: the reader is awake anyway.
    }
  }
  reported_ = false;
}

int16_t to_sample(double value) {
  if (!(value >= -0x1p63 && value < 0x1p63)) return 0;
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<int64_t>(value)));
}

// ---- The public engine: each call handed to the core, once a block ----

Engine::Engine(PatchPtr patch, const EngineSettings& settings)
    : core_(std::make_unique<EngineCore>(patch.release(), settings)) {}

Engine::~Engine() = default;

std::unique_ptr<Engine> Engine::from_file(const std::string& path, const EngineSettings& settings,
                                          const LoadOptions& options, LoadResult& result) {
  PatchPtr patch = load_patch_file(path, options, result);
  if (!patch) return nullptr;
  return std::make_unique<Engine>(std::move(patch), settings);
}

std::unique_ptr<Engine> Engine::from_text(const std::string& text, const std::string& name,
                                          const EngineSettings& settings, const LoadOptions& options,
                                          LoadResult& result) {
  PatchPtr patch = load_patch(text, name, options, result);
  if (!patch) return nullptr;
  return std::make_unique<Engine>(std::move(patch), settings);
}

void Engine::render(int frames, int16_t* out) { core_->render(frames, out, nullptr, 0); }

void Engine::render(int frames, int16_t* out, const RawMidiEvent* events, int event_count) {
  core_->render(frames, out, events, event_count);
}

void Engine::apply_due_commands() { core_->apply_due_commands(); }

void Engine::change_settings(const EngineSettings& settings) { core_->change_settings(settings); }

EngineSettings Engine::settings() const { return core_->settings(); }

bool Engine::send(const Command& command) {
  if (command.kind == Command::kSwapPatch) return false;
  return core_->send(command);
}

bool Engine::swap_patch(PatchPtr& patch, int64_t frame) {
  if (!patch) return false;
  Command command;
  command.kind = Command::kSwapPatch;
  command.frame = frame;
  command.patch = patch.get();
  // Here, on the sending thread: the audio thread only swaps the pointers.
  prepare(*patch);
  if (!core_->send(command)) return false;
  patch.release();  // the engine's now
  return true;
}

void Engine::prepare(Patch& patch) const {
  patch.set_sample_rate(core_->sample_rate());
  make_voice_copies(patch, core_->voice_room());
}

long Engine::refused_commands() const { return core_->refused_commands(); }

int Engine::sample_rate() const { return core_->sample_rate(); }

bool Engine::send_from_midi_input(const Command& command) {
  if (command.kind == Command::kSwapPatch) return false;
  return core_->send_from_midi_input(command);
}

bool Engine::take_report(Report& report) { return core_->take_report(report); }

long Engine::lost_reports() const { return core_->lost_reports(); }

void Engine::set_wake_fd(int fd) { core_->set_wake_fd(fd); }

int64_t Engine::frames() const { return core_->frames(); }

bool Engine::read_scope(ScopeSnapshot& out) const { return core_->scope().read(out); }

const Patch& Engine::patch() const { return core_->patch(); }

EngineCore& engine_core(Engine& engine) { return *engine.core_; }

signed char stream_callback(void* /*stream*/, void* buffer, int length, void* user_data) {
  const int frames = length >> 2;
  if (frames <= 0) return 1;
  // The buffer holds whole 16-bit frames at the layer's alignment.
  static_cast<Engine*>(user_data)->render(frames, static_cast<int16_t*>(buffer));
  return 1;
}

void engine_midi_block(void* user_data, int frames, int16_t* out, const RawMidiEvent* events, int event_count) {
  if (frames > 0) static_cast<Engine*>(user_data)->render(frames, out, events, event_count);
}

const char* report_text(const Report& report) {
  switch (report.kind) {
    case Report::kTrig: return "\nTRIG\n";
    case Report::kUntrig: return "UNTRIG\n";
    case Report::kMiam: return "MIAM\n";
    default: return nullptr;
  }
}

// ---- Several voices ----

void EngineCore::set_voice_count(int voices) {
  const int before = settings_.voices;
  if (voices == before) return;
  if (before == 1) {
    // The one envelope becomes voice 0's.
    Voice& first = voices_[0];
    first.vca = vca_;
    first.gain = gain_;
    first.note = patch_->base_note;
    set_busy(0, vca_.active != 0);
    // A MIDI note sounding goes on to its note off.
    first.midi_key = vca_.released ? -1 : midi_voice_.sounding_note();
    first.key_down = first.midi_key >= 0;
    if (first.key_down) first.origin = Report::kByMidi;
    pedal_down_ = midi_voice_.pedal_down();
    first.sustained = false;
    first.started = order_++;
    first.released_at = vca_.released ? order_++ : -1;
  }
  for (int v = voices; v < before; ++v)
    if (voices_[v].busy) silence_voice(v);
  if (voices == 1) {
    vca_ = voices_[0].vca;
    gain_ = voices_[0].gain;
    set_busy(0, false);
  }
  settings_.voices = voices;
}

// The keys' and Enter's commands with several voices: each key its own
// voice. False for the other commands, which take their own way to the voices.
bool EngineCore::apply_to_voices(const Command& command) {
  switch (command.kind) {
    case Command::kPlayNote:
      start_voice(command.note, Report::kByKey, velocity_gain(127));
      break;
    case Command::kReleaseNote: {
      int newest = -1;
      for (int v = 0; v < settings_.voices; ++v) {
        const Voice& voice = voices_[v];
        if (voice.busy && voice.key_down && voice.origin == Report::kByKey && voice.note == command.note &&
            (newest < 0 || voice.started > voices_[newest].started))
          newest = v;
      }
      if (newest >= 0) release_voice(newest);
      break;
    }
    case Command::kReplay:
      for (int v = 0; v < settings_.voice_room; ++v)
        if (!voices_[v].patch->vco_links.empty()) voices_[v].patch->vco_links[0].note = settings_.enter_note;
      enter_voice_ = start_voice(last_note_, Report::kByEnter, velocity_gain(127));
      break;
    case Command::kReleaseReplay:
      if (enter_voice_ >= 0 && voices_[enter_voice_].busy && voices_[enter_voice_].origin == Report::kByEnter &&
          !voices_[enter_voice_].released())
        release_voice(enter_voice_);
      enter_voice_ = -1;
      break;
    default:
      return false;
  }
  return true;
}

// MIDI with several voices: each note on its own voice, the pedal holding
// the voices whose keys are up, the bend (already taken) on every voice.
void EngineCore::apply_midi_to_voices(const MidiMessage& message) {
  if (!midi_voice_.hears(message)) return;
  const uint8_t key = message.data1();
  const bool note_on = message.kind() == kMidiNoteOn && message.data2() > 0;
  if (note_on) {
    const int v = start_voice(key - 11, Report::kByMidi, velocity_gain(message.data2()));
    voices_[v].midi_key = key;
    return;
  }
  if (message.kind() == kMidiNoteOff || message.kind() == kMidiNoteOn) {
    int newest = -1;
    for (int v = 0; v < settings_.voices; ++v) {
      const Voice& voice = voices_[v];
      if (voice.busy && voice.key_down && voice.midi_key == key &&
          (newest < 0 || voice.started > voices_[newest].started))
        newest = v;
    }
    if (newest < 0) return;
    voices_[newest].key_down = false;
    if (pedal_down_)
      voices_[newest].sustained = true;
    else
      release_voice(newest);
    return;
  }
  if (message.kind() != kMidiControlChange) return;
  switch (key) {
    case 64:  // sustain pedal
      pedal_down_ = message.data2() >= 64;
      if (!pedal_down_) release_sustained();
      break;
    case 121:  // reset all controllers: the bend (taken already) and the pedal
      pedal_down_ = false;
      release_sustained();
      break;
    case 120:  // all sound off: silent at once
      pedal_down_ = false;
      for (int v = 0; v < settings_.voices; ++v)
        if (voices_[v].busy) silence_voice(v);
      break;
    case 123:  // all notes off, and omni off, omni on, mono on, poly on
    case 124:
    case 125:
    case 126:
    case 127:
      pedal_down_ = false;
      for (int v = 0; v < settings_.voices; ++v)
        if (voices_[v].busy && !voices_[v].released()) release_voice(v);
      break;
    default:
      break;
  }
}

int EngineCore::start_voice(int32_t note, Report::Origin origin, double gain, int v) {
  if (v < 0) v = choose_voice(voices_, settings_.voices, note);
  Voice& voice = voices_[v];
  voice.patch->base_note = note;
  voice.vca.trigger();
  voice.gain = gain;
  voice.origin = origin;
  voice.note = note;
  voice.midi_key = -1;
  set_busy(v, true);
  voice.key_down = true;
  voice.sustained = false;
  voice.started = order_++;
  voice.released_at = -1;
  last_note_ = note;
  Report trig = Report::of(Report::kTrig, frame_);
  trig.voice = v;
  report(trig);
  Report sounding = Report::of(Report::kSounding, frame_);
  sounding.origin = origin;
  sounding.note = note;
  sounding.voice = v;
  report(sounding);
  return v;
}

void EngineCore::release_voice(int v) {
  Voice& voice = voices_[v];
  Report untrig = Report::of(Report::kUntrig, frame_);
  untrig.voice = v;
  report(untrig);
  voice.vca.release();
  voice.released_at = order_++;
  voice.key_down = false;
  voice.sustained = false;
}

void EngineCore::silence_voice(int v) {
  Voice& voice = voices_[v];
  if (!voice.released()) release_voice(v);
  voice.vca.active = 0;
  voice.vca.level = 0;
  set_busy(v, false);
  Report free = Report::of(Report::kVoiceFree, frame_);
  free.voice = v;
  report(free);
}

void EngineCore::release_sustained() {
  for (int v = 0; v < settings_.voices; ++v)
    if (voices_[v].busy && voices_[v].sustained) release_voice(v);
}

// As with one voice, a random note when nothing sounds: on the voice the
// rules choose (the first free one), released first as the one envelope is.
void EngineCore::auto_play_voices() {
  if (!settings_.autoplay || busy_mask_ != 0) return;
  report(Report::of(Report::kMiam, frame_));
  play_random_note();
}

// One frame of every voice that sounds, summed in double. A voice whose
// envelope has ended, or has been released and fallen below kFreeLevel, is
// free from the next frame on.
double EngineCore::sum_of_voices() {
  // Until the first note, voice 0's patch runs as the one patch does while
  // its envelope is idle, so that a note starting alone on a fresh engine
  // sounds as with one voice at whatever frame it starts.
  if (order_ == 0) {
    voices_[0].patch->evaluate(bend_);
    return 0;
  }
  double sum = 0;
  // The busy voices only, lowest first: a free voice costs nothing here.
  for (uint32_t busy = busy_mask_; busy != 0; busy &= busy - 1) {
    const int v = std::countr_zero(busy);
    Voice& voice = voices_[v];
    voice.vca.step();
    voice.patch->evaluate(bend_);
    sum += static_cast<double>(voice.patch->get_output()) * voice.vca.level * voice.gain;
    if (!voice.vca.active || (voice.released() && voice.vca.level < kFreeLevel)) {
      set_busy(v, false);
      Report free = Report::of(Report::kVoiceFree, frame_);
      free.voice = v;
      report(free);
    }
  }
  return sum;
}

void EngineCore::set_busy(int v, bool busy) {
  voices_[v].busy = busy;
  const uint32_t bit = uint32_t{1} << v;
  busy_mask_ = busy ? busy_mask_ | bit : busy_mask_ & ~bit;
}

float EngineCore::loudest_voice_level() const {
  float level = 0;
  for (int v = 0; v < settings_.voices; ++v)
    if (voices_[v].busy) level = std::max(level, voices_[v].vca.level);
  return level;
}
