#include <unistd.h>

#include <cstring>

#include "engine_core.h"

namespace {
// A rate outside the engine's range is taken as the nearest one inside it.
EngineSettings with_rate_in_range(EngineSettings settings) {
  if (settings.sample_rate < kMinSampleRate) settings.sample_rate = kMinSampleRate;
  if (settings.sample_rate > kMaxSampleRate) settings.sample_rate = kMaxSampleRate;
  return settings;
}
}  // namespace

EngineCore::EngineCore(Patch* patch, const EngineSettings& settings)
    : patch_(patch), settings_(with_rate_in_range(settings)),
      midi_voice_(MidiSettings{settings.midi_channel, settings.bend_range}) {
  patch_->set_sample_rate(settings_.sample_rate);
  vca_.set_sample_rate(settings_.sample_rate);
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

void EngineCore::trigger(Report::Origin origin) {
  // A note from a key, Enter or the auto-play ends the sounding MIDI note.
  if (origin != Report::kByMidi) midi_voice_.other_note_started();
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
  switch (action.note) {
    case MidiAction::kNothing: break;
    case MidiAction::kPlay:
      patch_->base_note = action.engine_note;
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
void EngineCore::swap_patch(Patch* next) {
  next->base_note = patch_->base_note;
  next->noise = patch_->noise;
  Report retired = Report::of(Report::kPatchRetired, frame_);
  retired.patch = patch_;
  patch_ = next;
  report(retired);
}

void EngineCore::auto_play() {
  if (!settings_.autoplay || vca_.active) return;
  report(Report::of(Report::kMiam, frame_));
  play_random_note();
}

void EngineCore::play_random_note() {
  release();
  patch_->base_note = note_random_.next() % 10 + 53;  // 53 to 62
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
  const int rate = settings_.sample_rate;  // fixed for the engine's life
  settings_ = settings;
  settings_.sample_rate = rate;
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
    vca.step();
    patch->evaluate(bend_);
    // Exact in double; the left sample takes it as is, the right one rounded
    // to float first, so the two differ by one step where rounding crosses a
    // whole number.
    const double product = static_cast<double>(patch->get_output()) * vca.level;
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
  scope_.write(out, frames, vca.level);
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
  // Here, on the sending thread: the audio thread only swaps the pointer.
  patch->set_sample_rate(core_->sample_rate());
  if (!core_->send(command)) return false;
  patch.release();  // the engine's now
  return true;
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
