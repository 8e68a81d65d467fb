#pragma once
// The engine's insides, private to src/engine and its tests: the state the
// audio thread plays with, behind the public Engine (wsy/engine.h), which
// hands each block to it.
#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <cstdint>

#include "midi/midi_parser.h"
#include "midi/midi_voice.h"
#include "midi/raw_midi_event.h"
#include "patch/patch.h"
#include "scope_tap.h"
#include "synth/random.h"
#include "synth/vca.h"
#include "voice.h"
#include "wsy/engine.h"

// Lock-free single-producer/single-consumer queues of fixed capacity: pushing
// never blocks and never allocates; a full queue refuses the item.
template <typename T, size_t N>
using FixedQueue = boost::lockfree::spsc_queue<T, boost::lockfree::capacity<N>>;

// A patch, the envelope, the random notes, the frame counter, and the queues
// to and from the host. Threads as for Engine.
class EngineCore {
 public:
  // Owns `patch`.
  EngineCore(Patch* patch, const EngineSettings& settings);
  // Frees the patch, the patches of swaps still queued and those of reports not taken.
  ~EngineCore();
  EngineCore(const EngineCore&) = delete;
  EngineCore& operator=(const EngineCore&) = delete;

  void render(int frames, int16_t* out, const RawMidiEvent* events, int event_count);
  void apply_due_commands();
  void change_settings(const EngineSettings& settings);

  bool send(const Command& command);
  long refused_commands() const { return refused_commands_.load(std::memory_order_relaxed); }
  bool send_from_midi_input(const Command& command);

  bool take_report(Report& report) { return reports_.pop(report); }
  long lost_reports() const { return lost_reports_.load(std::memory_order_relaxed); }

  void set_wake_fd(int fd) { wake_fd_ = fd; }
  int64_t frames() const { return published_frames_.load(std::memory_order_acquire); }
  int sample_rate() const { return sample_rate_; }  // fixed, so any thread may ask
  const EngineSettings& settings() const { return settings_; }
  // Voices the engine has patch copies for; fixed, so any thread may ask.
  int voice_room() const { return voice_room_; }

  // The patch sounding now: the audio thread's once the engine plays.
  Patch& patch() { return *patch_; }
  const Patch& patch() const { return *patch_; }
  const Vca& vca() const { return vca_; }
  const ScopeTap& scope() const { return scope_; }
  // Audio thread (or tests once it is stopped): the MIDI keyboard state.
  const MidiVoice& midi_voice() const { return midi_voice_; }
  // With several voices: each voice (voice 0 plays patch()).
  int voice_count() const { return settings_.voices; }
  const Voice& voice(int v) const { return voices_[v]; }

 private:
  void apply(const Command& command);
  void trigger(Report::Origin origin);
  void release();
  void swap_patch(Patch* next);
  void auto_play();
  void play_random_note();
  double velocity_gain(int velocity) const;
  void set_voice_count(int voices);

  // With several voices (settings_.voices > 1).
  bool apply_to_voices(const Command& command);
  void apply_midi_to_voices(const MidiMessage& message);
  // Starts `note` on voice `v`, or on the voice the rules choose (-1); returns the voice.
  int start_voice(int32_t note, Report::Origin origin, double gain, int v = -1);
  void release_voice(int v);
  void silence_voice(int v);
  void release_sustained();
  // Marks voice `v` busy or free, in the voice and in busy_mask_.
  void set_busy(int v, bool busy);
  void auto_play_voices();
  // Inlined into render(): a call a frame would cost a lone voice 4 % more than one voice.
  [[gnu::always_inline]] inline double sum_of_voices();
  float loudest_voice_level() const;
  void report(const Report& report);
  void drain_due(size_t& waiting);
  void drain_midi_input();
  void apply_midi(const MidiMessage& message);
  void apply_raw_midi(const RawMidiEvent& event);

  Patch* patch_;
  Vca vca_;
  double gain_ = 1.0;  // the velocity scaling of the note sounding (one voice)
  // Several voices: voices_[0].patch is patch_, the others its voice copies.
  Voice voices_[kMaxVoices];
  uint32_t busy_mask_ = 0;    // bit v: voices_[v].busy (kMaxVoices is 32)
  bool pedal_down_ = false;
  int64_t order_ = 0;         // counts note starts and releases, to find the oldest
  int32_t last_note_ = 58;    // the note Enter plays again
  int enter_voice_ = -1;      // the voice Enter started
  Random note_random_;  // draws the random notes; the patch holds the noise generator
  EngineSettings settings_;
  const int sample_rate_;
  const int voice_room_;
  int64_t frame_ = 0;
  std::atomic<int64_t> published_frames_{0};
  FixedQueue<Command, Engine::kCommandCapacity> commands_;
  FixedQueue<Report, Engine::kReportCapacity> reports_;
  FixedQueue<Command, Engine::kMidiInputCapacity> midi_input_;
  // MIDI: the keyboard logic and the pitch bend it holds live here, not in
  // the patch, so they stay when the patch changes.
  MidiVoice midi_voice_;
  MidiParser live_parser_;  // the bytes of timed events (running status allowed)
  double bend_ = 0;         // semitones, handed to every evaluation
  std::atomic<long> refused_commands_{0};
  std::atomic<long> lost_reports_{0};
  int wake_fd_ = -1;
  bool reported_ = false;  // this block produced a report
  ScopeTap scope_;
};

// The core behind a public Engine, for the engine's own tests.
EngineCore& engine_core(Engine& engine);
