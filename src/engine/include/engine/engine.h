#pragma once
#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "engine/command.h"
#include "engine/report.h"
#include "engine/scope_tap.h"
#include "midi/midi_parser.h"
#include "midi/midi_voice.h"
#include "midi/raw_midi_event.h"
#include "patch/patch.h"
#include "synth/random.h"
#include "synth/vca.h"

// Lock-free single-producer/single-consumer queues of fixed capacity: pushing
// never blocks and never allocates; a full queue refuses the item.
template <typename T, size_t N>
using FixedQueue = boost::lockfree::spsc_queue<T, boost::lockfree::capacity<N>>;

struct EngineSettings {
  bool autoplay = true;   // a random note whenever the envelope has run out
  int32_t enter_note = 58;
  FILE* console = stdout;      // the loader's trace and the report
  FILE* diagnostics = stderr;  // warnings about the patch file
  MidiSettings midi;           // the channel listened to and the bend range
};

// The synthesizer that sounds: a patch, the envelope, the two random
// generators, the frame counter, and the two queues to and from the rest of
// the program.
//
// Threads. The audio thread alone calls render() and apply_due_commands(),
// and alone touches the patch, the envelope and the generators once the
// engine plays. Exactly one other thread sends commands (send) and exactly
// one takes reports (take_report); frames() may be read from anywhere.
class Engine {
 public:
  // Commands and reports in flight at most. Enough for any keyboard and MIDI
  // rate: the audio thread takes every waiting command at each block.
  static constexpr size_t kCommandCapacity = 4096;
  static constexpr size_t kReportCapacity = 65536;
  // MIDI messages from a live input's own thread (the ALSA sequencer).
  static constexpr size_t kMidiInputCapacity = 4096;

  Engine(Patch* patch, const EngineSettings& settings);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Audio thread. Computes `frames` stereo frames into `out` (left, right
  // interleaved). Before each frame: the commands due by then, among those
  // waiting when the block began, in the order sent; then auto-play; then
  // the envelope step, the patch evaluation and the product.
  void render(int frames, int16_t* out);
  // The same for a block with timed MIDI events (a JACK period): each event,
  // in order, is applied before the frame at its offset (after the commands
  // due then); offsets at or beyond `frames` apply before the last frame.
  // Running status carries from one event and one block to the next.
  void render(int frames, int16_t* out, const RawMidiEvent* events, int event_count);
  // Audio thread, or the renderer's only thread: applies the waiting commands
  // due before the current frame without computing a frame.
  void apply_due_commands();

  // Sending thread. False, and counted, when the queue is full.
  bool send(const Command& command);
  long refused_commands() const { return refused_commands_.load(std::memory_order_relaxed); }

  // The MIDI input's thread: its own single-producer queue, taken whole at
  // the start of each block (kAtOnce). False, and counted with the refused
  // commands, when it is full.
  bool send_from_midi_input(const Command& command);

  // Receiving thread. False when no report waits.
  bool take_report(Report& report) { return reports_.pop(report); }
  long lost_reports() const { return lost_reports_.load(std::memory_order_relaxed); }

  // An eventfd (or -1) that the audio thread adds 1 to after a block that
  // produced reports, so that the receiving thread can sleep until then.
  // Written without waiting (EFD_NONBLOCK). Set before the engine plays.
  void set_wake_fd(int fd) { wake_fd_ = fd; }

  // Frames computed so far (published after each block).
  int64_t frames() const { return published_frames_.load(std::memory_order_acquire); }

  // The patch sounding now: the audio thread's once the engine plays.
  Patch& patch() { return *patch_; }
  const Vca& vca() const { return vca_; }
  // Each block's left channel and the envelope level after it, for any thread to read.
  const ScopeTap& scope() const { return scope_; }
  // Audio thread (or tests once it is stopped): the MIDI keyboard state.
  const MidiVoice& midi_voice() const { return midi_voice_; }

 private:
  void apply(const Command& command);
  void trigger(Report::Origin origin);
  void release();
  void swap_patch(Patch* next);
  void auto_play();
  void play_random_note();
  void report(const Report& report);
  void drain_due(size_t& waiting);
  void drain_midi_input();
  void apply_midi(const MidiMessage& message);
  void apply_raw_midi(const RawMidiEvent& event);

  Patch* patch_;
  Vca vca_;
  Random note_random_;  // draws the random notes; the patch holds the noise generator
  EngineSettings settings_;
  int64_t frame_ = 0;
  std::atomic<int64_t> published_frames_{0};
  FixedQueue<Command, kCommandCapacity> commands_;
  FixedQueue<Report, kReportCapacity> reports_;
  FixedQueue<Command, kMidiInputCapacity> midi_input_;
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

// The audio layer's callback: fills `length` / 4 frames of `buffer` from the
// Engine given as `user_data`. Always returns 1. Real-time code.
signed char stream_callback(void* stream, void* buffer, int length, void* user_data);

// The same for an output whose blocks carry timed MIDI events (JACK): the
// Engine given as `user_data` renders `frames` frames with them. Real-time code.
void engine_midi_block(void* user_data, int frames, int16_t* out, const RawMidiEvent* events, int event_count);

// A frame value to a 16-bit sample: truncated toward zero, low 16 bits kept
// (values out of range wrap, they are not clipped); NaN and values beyond a
// 64-bit integer give 0.
int16_t to_sample(double value);

// Both programs' start: the patch at `path` loaded, reported and handed to a
// new engine. Null, after a message on standard error, when the file cannot
// be read.
Engine* start_engine(const char* path, const EngineSettings& settings);
