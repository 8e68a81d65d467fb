#pragma once
// One instance of the wsy LV2 instrument: an Engine at the host's rate, fed
// with the MIDI of the control port at the frames the host stamped, its
// 16-bit output handed on as floats (L / 32768, R / 32768), the patch file a
// parameter loaded by the worker, and the session state.
//
// Threads, as LV2 has them: run() and work_response() are the audio thread
// (they never allocate, free, lock, wait or log); work() is the worker's;
// save() may run beside run(); instantiate, restore and the destructor run
// alone.
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/worker/worker.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "patch_worker_messages.h"
#include "plugin_log.h"
#include "plugin_uris.h"
#include "wsy/engine.h"

class SynthPlugin {
 public:
  enum Port : uint32_t {
    kControl,
    kNotify,
    kOutLeft,
    kOutRight,
    kAutoplay,
    kBendRange,
    kMidiChannel,
    kVoices,
    kVelocity,
    kPortCount
  };

  // Null, said through the host's log, when the host lacks a required
  // feature, its rate is one wsy cannot play, or the bundled patch cannot be
  // loaded.
  static SynthPlugin* make(double sample_rate, const char* bundle_path, const LV2_Feature* const* features);
  ~SynthPlugin();
  SynthPlugin(const SynthPlugin&) = delete;
  SynthPlugin& operator=(const SynthPlugin&) = delete;

  void connect(uint32_t port, void* data);
  void run(uint32_t frames);

  LV2_Worker_Status work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                         const void* data);
  LV2_Worker_Status work_response(uint32_t size, const void* data);

  LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t flags,
                        const LV2_Feature* const* features);
  LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t flags,
                           const LV2_Feature* const* features);

 private:
  // Frames the engine computes at a time into the 16-bit scratch block; a
  // run() of any length is cut into pieces of at most this many.
  static constexpr uint32_t kChunkFrames = 512;
  // MIDI events held for the engine at once; more in one run() are handed
  // over in several batches.
  static constexpr int kMaxEvents = 1024;
  // Swapped-out patches waiting for room in the worker's queue.
  static constexpr int kMaxRetired = 64;

  SynthPlugin(const LV2_URID_Map& map, const LV2_Worker_Schedule& schedule, const LV2_Log_Log* log);

  // Audio thread.
  void take_controls();
  void read_control_events();
  void add_midi_event(uint32_t frame, const uint8_t* bytes, uint32_t size);
  void render_until(uint32_t frame);
  void apply_held_events();
  void take_reports();
  void retire(Patch* patch);
  void request_patch(const LV2_Atom_Object* set);
  void announce_patch(int64_t frame);
  void start_notify();

  // Worker and host threads: loading.
  PatchPtr load(const std::string& path, const std::string& text, std::string& why);
  void remember_source(const std::string& path, const std::string& text);

  const LV2_URID_Map& map_;
  const LV2_Worker_Schedule& schedule_;
  PluginUris uris_;
  PluginLog log_;
  std::unique_ptr<Engine> engine_;

  // Ports.
  const LV2_Atom_Sequence* control_ = nullptr;
  LV2_Atom_Sequence* notify_ = nullptr;
  float* out_[2] = {nullptr, nullptr};
  const float* autoplay_ = nullptr;
  const float* bend_range_ = nullptr;
  const float* midi_channel_ = nullptr;
  const float* voices_ = nullptr;
  const float* velocity_ = nullptr;

  // The run() in progress.
  uint32_t run_frames_ = 0;
  uint32_t rendered_ = 0;  // frames of this run() computed so far
  RawMidiEvent events_[kMaxEvents];
  int event_count_ = 0;
  int16_t scratch_[2 * kChunkFrames] = {};
  LV2_Atom_Forge forge_;
  bool notify_open_ = false;
  LV2_Atom_Forge_Frame notify_frame_;

  // The patch in use, as run() knows it: its path, for patch:Get, and
  // whether the notify port has yet to say it changed.
  char playing_path_[kMaxPatchPath + 1] = {};
  bool announce_ = false;
  Patch* retired_[kMaxRetired] = {};
  int retired_count_ = 0;
  WorkerMessageWithPath request_;

  // The file and text of the newest patch loaded, for save(), which may run
  // beside the worker.
  std::mutex source_mutex_;
  std::string source_path_;
  std::string source_text_;
};
