#include "synth_plugin.h"

#include <lv2/atom/util.h>
#include <lv2/core/lv2_util.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// wsy.ttl.in's voices port goes from 1 to 32.
static_assert(kMaxVoices == 32, "update the voices port's maximum in wsy.ttl.in");

namespace {

// Bytes of a MIDI channel message by its status byte; 0 for any other byte.
// The note logic needs channel messages only: system messages (clock,
// system exclusive) change nothing and are passed over.
int channel_message_size(uint8_t status) {
  if (status < 0x80 || status >= 0xF0) return 0;
  const uint8_t kind = status & 0xF0;
  return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
}

// A control port's value as a whole number in [low, high]; `fallback` when
// the port is not connected or holds no number.
int whole_control(const float* port, int low, int high, int fallback) {
  if (!port || !std::isfinite(*port)) return fallback;
  const long value = std::lround(*port);
  return static_cast<int>(std::clamp<long>(value, low, high));
}

// A control port's value in [0, 1]; 0 when the port is not connected or
// holds no number.
double unit_control(const float* port) {
  if (!port || !std::isfinite(*port)) return 0.0;
  return std::clamp(static_cast<double>(*port), 0.0, 1.0);
}

std::string joined_path(const char* folder, const char* file) {
  std::string path = folder ? folder : "";
  if (!path.empty() && path.back() != '/') path += '/';
  return path + file;
}

}  // namespace

// ---- Making and ending ----

SynthPlugin::SynthPlugin(const LV2_URID_Map& map, const LV2_Worker_Schedule& schedule, const LV2_Log_Log* log)
    : map_(map), schedule_(schedule), uris_(map), log_(log, map) {
  lv2_atom_forge_init(&forge_, const_cast<LV2_URID_Map*>(&map));
}

SynthPlugin* SynthPlugin::make(double sample_rate, const char* bundle_path, const LV2_Feature* const* features) {
  const LV2_URID_Map* map = nullptr;
  const LV2_Worker_Schedule* schedule = nullptr;
  const LV2_Log_Log* log = nullptr;
  const char* missing = lv2_features_query(features, LV2_LOG__log, &log, false, LV2_URID__map, &map, true,
                                           LV2_WORKER__schedule, &schedule, true, nullptr);
  if (missing) {
    if (log && map) PluginLog(log, *map).error(std::string("wsy: the host lacks the feature ") + missing +
                                               ", which the wsy plugin needs; it cannot start.");
    return nullptr;
  }
  std::unique_ptr<SynthPlugin> plugin(new SynthPlugin(*map, *schedule, log));

  const long rate = std::lround(sample_rate);
  if (!(rate >= kMinSampleRate && rate <= kMaxSampleRate)) {
    plugin->log_.error("wsy: the host runs at " + std::to_string(sample_rate) + " Hz; wsy plays at " +
                       std::to_string(kMinSampleRate) + " to " + std::to_string(kMaxSampleRate) +
                       " Hz. Choose a rate in that range in the host.");
    return nullptr;
  }
  // In a host, a synthesizer sounds when it is played: auto-play is a
  // control, off until asked for.
  EngineSettings settings;
  settings.autoplay = false;
  settings.sample_rate = static_cast<int>(rate);
  // The voices control may ask for any count while playing: room for all
  // of them is made here, where allocating is allowed.
  settings.voice_room = kMaxVoices;

  const std::string path = joined_path(bundle_path, "RODUV_2.WSY");
  std::string text, error;
  if (!read_patch_file(path, text, error)) {
    plugin->log_.error("wsy: cannot read the bundled patch \"" + path + "\" (" + error +
                       "); reinstall wsy, whose bundle holds it.");
    return nullptr;
  }
  PatchPtr patch = plugin->load(path, text, error);
  if (!patch) {
    plugin->log_.error("wsy: the bundled patch \"" + path + "\" does not load (" + error +
                       "); reinstall wsy, whose bundle holds it.");
    return nullptr;
  }
  plugin->engine_ = std::make_unique<Engine>(std::move(patch), settings);
  plugin->remember_source(path, text);
  std::snprintf(plugin->playing_path_, sizeof plugin->playing_path_, "%s", path.c_str());
  return plugin.release();
}

SynthPlugin::~SynthPlugin() {
  // Patches swapped out that the worker never got; the engine frees its own.
  for (int i = 0; i < retired_count_; ++i) PatchDeleter()(retired_[i]);
}

void SynthPlugin::connect(uint32_t port, void* data) {
  switch (port) {
    case kControl: control_ = static_cast<const LV2_Atom_Sequence*>(data); break;
    case kNotify: notify_ = static_cast<LV2_Atom_Sequence*>(data); break;
    case kOutLeft: out_[0] = static_cast<float*>(data); break;
    case kOutRight: out_[1] = static_cast<float*>(data); break;
    case kAutoplay: autoplay_ = static_cast<const float*>(data); break;
    case kBendRange: bend_range_ = static_cast<const float*>(data); break;
    case kMidiChannel: midi_channel_ = static_cast<const float*>(data); break;
    case kVoices: voices_ = static_cast<const float*>(data); break;
    case kVelocity: velocity_ = static_cast<const float*>(data); break;
    default: break;
  }
}

// ---- The audio thread ----

void SynthPlugin::run(uint32_t frames) {
  run_frames_ = frames;
  rendered_ = 0;
  event_count_ = 0;
  take_controls();
  start_notify();
  if (announce_) {
    announce_patch(0);
    announce_ = false;
  }
  read_control_events();
  render_until(frames);
  apply_held_events();  // a run() of no frames: its events apply before the next frame
  if (notify_open_) lv2_atom_forge_pop(&forge_, &notify_frame_);
  notify_open_ = false;
  take_reports();
}

// The control ports, heard from the first frame of this run().
void SynthPlugin::take_controls() {
  const EngineSettings now = engine_->settings();
  EngineSettings wanted = now;
  wanted.autoplay = whole_control(autoplay_, 0, 1, 0) != 0;
  wanted.bend_range = static_cast<uint8_t>(whole_control(bend_range_, 0, 24, 2));
  wanted.midi_channel = static_cast<uint8_t>(whole_control(midi_channel_, 0, 16, 0));
  wanted.voices = whole_control(voices_, 1, kMaxVoices, 1);
  wanted.velocity = unit_control(velocity_);
  if (wanted != now) engine_->change_settings(wanted);
}

void SynthPlugin::start_notify() {
  notify_open_ = false;
  if (!notify_) return;
  const uint32_t capacity = notify_->atom.size;
  lv2_atom_forge_set_buffer(&forge_, reinterpret_cast<uint8_t*>(notify_), capacity);
  notify_open_ = lv2_atom_forge_sequence_head(&forge_, &notify_frame_, 0) != 0;
  if (!notify_open_) notify_->atom.size = 0;  // no room even for an empty sequence
}

void SynthPlugin::read_control_events() {
  if (!control_) return;
  LV2_ATOM_SEQUENCE_FOREACH(control_, event) {
    // Events stamped beyond the block apply before its last frame.
    const int64_t stamped = event->time.frames;
    const uint32_t frame =
        run_frames_ == 0 ? 0 : static_cast<uint32_t>(std::clamp<int64_t>(stamped, 0, run_frames_ - 1));
    if (event->body.type == uris_.midi_event) {
      add_midi_event(frame, reinterpret_cast<const uint8_t*>(event + 1), event->body.size);
      continue;
    }
    if (!lv2_atom_forge_is_object_type(&forge_, event->body.type)) continue;
    const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
    if (object->body.otype == uris_.patch_set) {
      request_patch(object);
    } else if (object->body.otype == uris_.patch_get) {
      const LV2_Atom* property = nullptr;
      lv2_atom_object_get(object, uris_.patch_property, &property, 0);
      const bool ours = !property || (property->type == uris_.atom_urid &&
                                      reinterpret_cast<const LV2_Atom_URID*>(property)->body == uris_.wsy_patch);
      if (ours) announce_patch(frame);
    }
  }
}

void SynthPlugin::add_midi_event(uint32_t frame, const uint8_t* bytes, uint32_t size) {
  const int needed = size > 0 ? channel_message_size(bytes[0]) : 0;
  if (needed == 0 || size < static_cast<uint32_t>(needed)) return;
  if (event_count_ == kMaxEvents) {
    // Room for more: what is due before `frame` sounds now, the rest waits
    // at the engine for the frame they are due at.
    render_until(frame);
    apply_held_events();
  }
  RawMidiEvent& event = events_[event_count_++];
  event.offset = frame;
  event.midi = MidiBytes::of(bytes, needed);
}

// Computes the frames of this run() up to `frame`, each held event applied
// before the frame it is stamped at.
void SynthPlugin::render_until(uint32_t frame) {
  int next_event = 0;
  while (rendered_ < frame) {
    const uint32_t count = std::min(frame - rendered_, kChunkFrames);
    const int first = next_event;
    while (next_event < event_count_ && events_[next_event].offset < rendered_ + count) {
      events_[next_event].offset -= rendered_;
      ++next_event;
    }
    engine_->render(static_cast<int>(count), scratch_, events_ + first, next_event - first);
    for (uint32_t i = 0; i < count; ++i) {
      if (out_[0]) out_[0][rendered_ + i] = static_cast<float>(scratch_[2 * i]) / 32768.0f;
      if (out_[1]) out_[1][rendered_ + i] = static_cast<float>(scratch_[2 * i + 1]) / 32768.0f;
    }
    rendered_ += count;
  }
  // Keep the events not yet due.
  std::copy(events_ + next_event, events_ + event_count_, events_);
  event_count_ -= next_event;
}

// The held events, all due at the frame to come, applied before it.
void SynthPlugin::apply_held_events() {
  if (event_count_ == 0) return;
  engine_->render(0, scratch_, events_, event_count_);
  event_count_ = 0;
}

void SynthPlugin::request_patch(const LV2_Atom_Object* set) {
  const LV2_Atom* property = nullptr;
  const LV2_Atom* value = nullptr;
  lv2_atom_object_get(set, uris_.patch_property, &property, uris_.patch_value, &value, 0);
  if (!property || property->type != uris_.atom_urid ||
      reinterpret_cast<const LV2_Atom_URID*>(property)->body != uris_.wsy_patch)
    return;
  // The value's body is the path and its terminating zero. A set run()
  // cannot take goes to the worker all the same, which says why in the log.
  uint32_t size = 0;
  const char* path = nullptr;
  if (value && (value->type == uris_.atom_path || value->type == uris_.atom_string)) {
    path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
    size = static_cast<uint32_t>(strnlen(path, value->size));
  }
  request_.header = WorkerMessage{WorkerMessage::kLoadPatch, 0, nullptr};
  if (path && size > 0 && request_.set_path(path, size)) {
    schedule_.schedule_work(schedule_.handle, request_.size(), &request_);
    return;
  }
  const WorkerMessage refused{WorkerMessage::kSetRefused, path ? size : 0, nullptr};  // the length alone
  schedule_.schedule_work(schedule_.handle, sizeof refused, &refused);
}

// A patch:Set of the patch in use, on the notify port.
void SynthPlugin::announce_patch(int64_t frame) {
  if (!notify_open_) return;
  LV2_Atom_Forge_Frame object;
  const uint32_t size = static_cast<uint32_t>(strnlen(playing_path_, sizeof playing_path_));
  // Each call fails without writing when the buffer is full; the sequence
  // then ends where it was whole.
  if (!lv2_atom_forge_frame_time(&forge_, frame) || !lv2_atom_forge_object(&forge_, &object, 0, uris_.patch_set))
    return;
  lv2_atom_forge_key(&forge_, uris_.patch_property);
  lv2_atom_forge_urid(&forge_, uris_.wsy_patch);
  lv2_atom_forge_key(&forge_, uris_.patch_value);
  lv2_atom_forge_path(&forge_, playing_path_, size);
  lv2_atom_forge_pop(&forge_, &object);
}

// The engine's reports: the swapped-out patches go to the worker to be
// freed; the rest (the console's words, the notes) has no reader here.
void SynthPlugin::take_reports() {
  for (int i = retired_count_; i > 0; --i) {
    Patch* waiting = retired_[--retired_count_];
    retire(waiting);
  }
  Report report;
  while (engine_->take_report(report))
    if (report.kind == Report::kPatchRetired) retire(report.patch);
}

void SynthPlugin::retire(Patch* patch) {
  WorkerMessage message{WorkerMessage::kFreePatch, 0, patch};
  if (schedule_.schedule_work(schedule_.handle, sizeof message, &message) == LV2_WORKER_SUCCESS) return;
  if (retired_count_ < kMaxRetired) {
    retired_[retired_count_++] = patch;
    return;
  }
  // The worker's queue has been full for long: the patch stays allocated
  // rather than freed here. Nothing else is lost.
}

LV2_Worker_Status SynthPlugin::work_response(uint32_t size, const void* data) {
  if (size < sizeof(WorkerMessage)) return LV2_WORKER_ERR_UNKNOWN;
  WorkerMessage message;
  std::memcpy(&message, data, sizeof message);
  if (message.kind != WorkerMessage::kPatchLoaded || size < sizeof message + message.path_size)
    return LV2_WORKER_ERR_UNKNOWN;
  PatchPtr patch(message.patch);
  if (!engine_->swap_patch(patch)) {
    retire(patch.release());  // the engine's queue is full: this one is not heard
    return LV2_WORKER_SUCCESS;
  }
  const uint32_t path_size = std::min(message.path_size, kMaxPatchPath);
  std::memcpy(playing_path_, static_cast<const char*>(data) + sizeof message, path_size);
  playing_path_[path_size] = '\0';
  announce_ = true;
  return LV2_WORKER_SUCCESS;
}

// ---- The worker ----

LV2_Worker_Status SynthPlugin::work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                                    uint32_t size, const void* data) {
  if (size < sizeof(WorkerMessage)) return LV2_WORKER_ERR_UNKNOWN;
  WorkerMessage message;
  std::memcpy(&message, data, sizeof message);
  if (message.kind == WorkerMessage::kFreePatch) {
    PatchDeleter()(message.patch);
    return LV2_WORKER_SUCCESS;
  }
  if (message.kind == WorkerMessage::kSetRefused) {
    log_.error(message.path_size == 0
                   ? std::string("wsy: a patch was set without a file path; the patch before it plays on.")
                   : "wsy: a patch was set with a path of " + std::to_string(message.path_size) +
                         " bytes; wsy takes paths of up to " + std::to_string(kMaxPatchPath) +
                         " bytes. The patch before it plays on.");
    return LV2_WORKER_SUCCESS;
  }
  if (message.kind != WorkerMessage::kLoadPatch || size < sizeof message + message.path_size)
    return LV2_WORKER_ERR_UNKNOWN;
  const std::string path(static_cast<const char*>(data) + sizeof message, message.path_size);
  std::string text, error;
  if (!read_patch_file(path, text, error)) {
    log_.error("wsy: cannot read the patch file \"" + path + "\" (" + error + "); the patch before it plays on.");
    return LV2_WORKER_SUCCESS;
  }
  PatchPtr patch = load(path, text, error);
  if (!patch) {
    log_.error("wsy: the patch file \"" + path + "\" could not be loaded (" + error + "); the patch before it plays on.");
    return LV2_WORKER_SUCCESS;
  }
  // Its rate and its copies for every voice the engine has room for, made
  // here: the swap in work_response() then allocates nothing.
  engine_->prepare(*patch);

  WorkerMessageWithPath answer;
  answer.header = WorkerMessage{WorkerMessage::kPatchLoaded, 0, patch.get()};
  answer.set_path(path.data(), static_cast<uint32_t>(path.size()));
  if (respond(handle, answer.size(), &answer) != LV2_WORKER_SUCCESS) {
    log_.error("wsy: the patch file \"" + path + "\" was loaded but could not reach the sound (the host's worker "
               "queue is full); set it again.");
    return LV2_WORKER_ERR_NO_SPACE;
  }
  patch.release();  // run()'s now
  remember_source(path, text);
  return LV2_WORKER_SUCCESS;
}

// A patch from a file's text, its warnings to the host's log; null, with
// `why` set, when it does not load. An empty file is no patch: a file chosen
// while it is being written keeps the patch before it.
PatchPtr SynthPlugin::load(const std::string& path, const std::string& text, std::string& why) {
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    why = "the file is empty";
    return nullptr;
  }
  LoadOptions options;
  options.on_warning = [this](const std::string& line) { log_.warning(line); };
  LoadResult result;
  PatchPtr patch = load_patch(text, path, options, result);
  if (!patch) why = result.error;
  return patch;
}

void SynthPlugin::remember_source(const std::string& path, const std::string& text) {
  std::lock_guard<std::mutex> lock(source_mutex_);
  source_path_ = path;
  source_text_ = text;
}

// ---- State ----

LV2_State_Status SynthPlugin::save(LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t /*flags*/,
                                   const LV2_Feature* const* features) {
  std::string path, text;
  {
    std::lock_guard<std::mutex> lock(source_mutex_);
    path = source_path_;
    text = source_text_;
  }
  // The path as the host wants it kept (relative to the session, so that a
  // moved session finds its files); the text, for a machine without the file.
  const LV2_State_Map_Path* map_path = nullptr;
  lv2_features_query(features, LV2_STATE__mapPath, &map_path, false, nullptr);
  char* abstract = map_path ? map_path->abstract_path(map_path->handle, path.c_str()) : nullptr;
  const char* kept = abstract ? abstract : path.c_str();
  const uint32_t flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
  LV2_State_Status status = store(handle, uris_.wsy_patch, kept, std::strlen(kept) + 1, uris_.atom_path, flags);
  if (status == LV2_STATE_SUCCESS)
    status = store(handle, uris_.wsy_patch_text, text.c_str(), text.size() + 1, uris_.atom_string, flags);
  if (abstract) {
    const LV2_State_Free_Path* free_path = nullptr;
    lv2_features_query(features, LV2_STATE__freePath, &free_path, false, nullptr);
    if (free_path)
      free_path->free_path(free_path->handle, abstract);
    else
      std::free(abstract);
  }
  return status;
}

LV2_State_Status SynthPlugin::restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                                      uint32_t /*flags*/, const LV2_Feature* const* features) {
  size_t size = 0;
  uint32_t type = 0, value_flags = 0;
  const void* stored_path = retrieve(handle, uris_.wsy_patch, &size, &type, &value_flags);
  if (!stored_path || type != uris_.atom_path) return LV2_STATE_ERR_NO_PROPERTY;
  // The host gives an absolute path back; one made abstract by hand is mapped here.
  std::string path(static_cast<const char*>(stored_path), strnlen(static_cast<const char*>(stored_path), size));
  const LV2_State_Map_Path* map_path = nullptr;
  lv2_features_query(features, LV2_STATE__mapPath, &map_path, false, nullptr);
  if (map_path && !path.empty() && path[0] != '/') {
    if (char* absolute = map_path->absolute_path(map_path->handle, path.c_str())) {
      path = absolute;
      std::free(absolute);
    }
  }
  std::string saved_text;
  if (const void* text = retrieve(handle, uris_.wsy_patch_text, &size, &type, &value_flags);
      text && type == uris_.atom_string)
    saved_text.assign(static_cast<const char*>(text), strnlen(static_cast<const char*>(text), size));

  // The file as it is now, like any patch chosen; where it is gone or does
  // not load, the text the session saved.
  std::string text, why;
  PatchPtr patch;
  const bool readable = read_patch_file(path, text, why);
  if (readable) patch = load(path, text, why);
  const std::string trouble = std::string(readable ? "does not load" : "cannot be read") + " (" + why + ")";
  if (!patch && saved_text.empty()) {
    log_.error("wsy: the session's patch file \"" + path + "\" " + trouble +
               " and the session saved no text of it; the patch before it plays on.");
    return LV2_STATE_ERR_UNKNOWN;
  }
  if (!patch) {
    log_.warning("wsy: the session's patch file \"" + path + "\" " + trouble +
                 "; it plays the patch as the session saved it.");
    text = saved_text;
    patch = load(path, text, why);
  }
  if (!patch) {
    log_.error("wsy: the patch the session saved does not load (" + why + "); the patch before it plays on.");
    return LV2_STATE_ERR_UNKNOWN;
  }
  // Restoring never runs beside run(): the patch goes into the engine's
  // queue here (its voice copies made by swap_patch) and sounds from the
  // next run().
  if (!engine_->swap_patch(patch)) return LV2_STATE_ERR_UNKNOWN;
  remember_source(path, text);
  std::snprintf(playing_path_, sizeof playing_path_, "%s", path.c_str());
  announce_ = true;
  return LV2_STATE_SUCCESS;
}
