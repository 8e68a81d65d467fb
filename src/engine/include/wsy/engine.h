#pragma once
// wsy's synthesizer engine, for any host: a program with a sound card, a
// renderer into files, a plugin. This is the whole of what a host includes;
// it links wsy_engine and needs no other include folder. The engine opens no
// device, starts no thread, keeps no process-wide state and prints nothing
// unless a host asks it to (LoadOptions::trace, LoadOptions::on_warning).
//
// A host makes an Engine from a patch file or from its text, then, on its
// audio thread, renders blocks of 16-bit stereo frames at its sample rate (with the
// MIDI events of the block, timed), and, on one other thread, sends commands
// (notes, actions, patch swaps, MIDI) and takes the reports of what the audio
// thread did (the console words, the commands applied, the notes started,
// the patches swapped out). It may swap in a new patch while playing, and
// read the newest output for a scope.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The MIDI bytes record (MidiBytes) and a block's timed MIDI event
// (RawMidiEvent) belong to the MIDI part of the library; their header needs
// nothing else and is taken in from its place beside this folder, so that a
// host puts no MIDI include folder on its line.
#include "../../../midi/include/midi/raw_midi_event.h"

// ---- Sample rates ----

// Frames per second an engine computes: a whole number from kMinSampleRate to
// kMaxSampleRate, chosen when the engine is made. At kDefaultSampleRate every
// sample is the one wsy has always played.
constexpr int kDefaultSampleRate = 44100, kMinSampleRate = 8000, kMaxSampleRate = 192000;

// ---- Voices ----

// Notes an engine sounds at once: 1 (the monophonic keyboard, the default)
// to kMaxVoices. Each further voice is a whole copy of the patch.
constexpr int kMaxVoices = 32;

// ---- Patches ----

// A loaded patch. Its details are the patch part's (patch/patch.h, for the
// few hosts that draw a patch's links); to a host it is a handle.
struct Patch;
struct PatchDeleter {
  void operator()(Patch* patch) const;
};
// A patch the host owns. Destroy it off the audio thread.
using PatchPtr = std::unique_ptr<Patch, PatchDeleter>;

// Where loading a patch writes what it has to say.
struct LoadOptions {
  // The loader's trace and the patch's report (what wsy prints on standard
  // output). Null: written nowhere.
  FILE* trace = nullptr;
  // Each warning about the patch file as it is found, one line without its
  // line break ("wsy: FILE: warning: ..."). Empty: the warnings are returned
  // in LoadResult::warnings.
  std::function<void(const std::string& line)> on_warning;
};

struct LoadResult {
  std::string error;                  // why nothing was loaded ("cannot read the patch file ..."); empty when it was
  std::vector<std::string> warnings;  // with no LoadOptions::on_warning: each warning, one line
};

// A patch from a file's `text`; `name` stands for the file in warnings. Null,
// with `result.error` set, when it cannot be loaded.
PatchPtr load_patch(const std::string& text, const std::string& name, const LoadOptions& options, LoadResult& result);
// A patch from the file at `path`. Null, with `result.error` set, when the
// file cannot be read.
PatchPtr load_patch_file(const std::string& path, const LoadOptions& options, LoadResult& result);

// The text of the patch file at `path`, for a host that keeps it (a plugin's
// saved state) and loads it with load_patch. False, with `error` saying why
// in a few words, when it cannot be read.
bool read_patch_file(const std::string& path, std::string& text, std::string& error);

// ---- Commands and reports ----

// What a host asks of the sound: one small record through the engine's
// command queue. Copied by value; holds no pointer the audio thread would
// have to free.
struct Command {
  enum Kind : uint8_t {
    kPlayNote,       // a note key pressed: `note` plays (58 is 440 Hz)
    kReleaseNote,    // a note key let go (`note`: its note): the envelope releases
    kReplay,         // Enter: the first oscillator link retuned to EngineSettings::enter_note, the note played again
    kReleaseReplay,  // Enter let go: the envelope releases
    kRandomNote,     // a random note, as when the envelope runs out
    kSwapPatch,      // sent by Engine::swap_patch only; in a report, `patch` is the patch swapped in
    kMidi,           // `midi`: one complete MIDI channel message (status byte first)
  };
  // Due before this frame; kAtOnce: before the first frame of the block that
  // takes the command off the queue.
  static constexpr int64_t kAtOnce = -1;

  Kind kind = kRandomNote;
  int32_t note = 0;  // kPlayNote, kReleaseNote
  int64_t frame = kAtOnce;
  Patch* patch = nullptr;  // kSwapPatch: the engine's from the moment it is sent
  MidiBytes midi;          // kMidi

  static Command play_note(int32_t note, int64_t frame = kAtOnce) { return with(kPlayNote, frame, note); }
  static Command release_note(int32_t note, int64_t frame = kAtOnce) { return with(kReleaseNote, frame, note); }
  static Command replay(int64_t frame = kAtOnce) { return with(kReplay, frame); }
  static Command release_replay(int64_t frame = kAtOnce) { return with(kReleaseReplay, frame); }
  static Command random_note(int64_t frame = kAtOnce) { return with(kRandomNote, frame); }
  static Command midi_message(const MidiBytes& bytes, int64_t frame = kAtOnce) {
    Command command = with(kMidi, frame);
    command.midi = bytes;
    return command;
  }
  static Command midi_message(const uint8_t* bytes, int size, int64_t frame = kAtOnce) {
    return midi_message(MidiBytes::of(bytes, size), frame);
  }

 private:
  static Command with(Kind kind, int64_t frame, int32_t note = 0) {
    Command command;
    command.kind = kind;
    command.frame = frame;
    command.note = note;
    return command;
  }
};

// What the audio thread has to say, in the order it happened: the console
// words, each command it applied and at which frame, the note now sounding,
// the patches it swapped out.
struct Report {
  enum Kind : uint8_t {
    kTrig,     // prints "\nTRIG\n"
    kUntrig,   // prints "UNTRIG\n"
    kMiam,     // prints "MIAM\n": the envelope ran out and auto-play starts a note
    kApplied,  // `command` was applied before `frame` (for a session log)
    kSounding, // a note started: `note`, started by `origin`
    kPatchRetired,  // `patch` was swapped out: the host's now; destroy it (PatchPtr) off the audio thread
    kVoiceFree,     // with several voices: `voice` has fallen silent and is free for another note
  };
  enum Origin : uint8_t { kByKey, kByEnter, kByAutoPlay, kByMidi };

  Kind kind = kTrig;
  Origin origin = kByKey;
  int32_t note = 0;
  int32_t voice = 0;  // kTrig, kUntrig, kSounding, kVoiceFree: the voice (0 with one voice)
  int64_t frame = 0;
  Command command;
  Patch* patch = nullptr;  // kPatchRetired

  static Report of(Kind kind, int64_t frame) {
    Report report;
    report.kind = kind;
    report.frame = frame;
    return report;
  }
};

// The console text of a report, or null for reports that print nothing.
const char* report_text(const Report& report);

// ---- The scope ----

// The newest output: kFrames frames of the left channel, oldest first.
struct ScopeSnapshot {
  static constexpr int kFrames = 8192;  // 20 ms to show at up to 192000 Hz (3840 frames), and room to find a trigger
  int64_t frames_written = 0;           // frames written since the start; samples[kFrames - 1] is the last
  float level = 0;                      // the envelope's level (0..1) after the last frame
  int16_t samples[kFrames] = {};        // left channel; frames before the start are 0
};

// ---- The engine ----

struct EngineSettings {
  bool autoplay = true;      // a random note whenever the envelope has run out
  int32_t enter_note = 58;   // the note Enter retunes the first oscillator link to
  uint8_t midi_channel = 0;  // 1..16: MIDI on that channel only; 0: on all of them
  uint8_t bend_range = 2;    // semitones at full pitch bend, 0..24
  // Frames per second, kMinSampleRate..kMaxSampleRate (a rate outside is
  // taken as the nearest end), fixed for the engine's life. Every patch the
  // engine plays, the one it is made with and each one swapped in, plays at
  // it: pitches stay in hertz, the envelope's times in seconds.
  int sample_rate = kDefaultSampleRate;
  // Notes at once, 1..kMaxVoices (outside: the nearest end). With 1, the
  // monophonic keyboard: a new note takes the one envelope over. With more,
  // each note its own voice, the voices' sum saturating at the 16-bit limits.
  int voices = 1;
  // Voices an engine makes room for (patch copies) when it is made, so that
  // change_settings may raise `voices` up to it while playing; at least
  // `voices`.
  int voice_room = 1;
  // Touch, 0..1: each note's output is scaled by 1 - S + S * (v / 127)^2 for
  // its note on's velocity v (keys and auto-play play at 127). 0: every note
  // at full level, as without velocity.
  double velocity = 0;

  bool operator==(const EngineSettings&) const = default;
};

class EngineCore;

// The synthesizer that sounds: a patch (its own), the envelope, the random
// notes, the frame counter and the queues to and from the host.
//
// Threads. The audio thread alone calls render() and apply_due_commands().
// Exactly one other thread sends commands (send, swap_patch) and exactly one
// takes reports (take_report); a live MIDI input's thread may use
// send_from_midi_input; frames() and read_scope() may be called from
// anywhere. Nothing here allocates, locks or waits on the audio thread.
class Engine {
 public:
  // Commands and reports in flight at most. Enough for any keyboard and MIDI
  // rate: the audio thread takes every waiting command at each block.
  static constexpr size_t kCommandCapacity = 4096;
  static constexpr size_t kReportCapacity = 65536;
  // MIDI messages from a live input's own thread (the ALSA sequencer).
  static constexpr size_t kMidiInputCapacity = 4096;

  // An engine playing the patch in the file at `path`, or in `text` (`name`
  // stands for its file in warnings). Null, with `result.error` set, when
  // the patch cannot be loaded.
  static std::unique_ptr<Engine> from_file(const std::string& path, const EngineSettings& settings,
                                           const LoadOptions& options, LoadResult& result);
  static std::unique_ptr<Engine> from_text(const std::string& text, const std::string& name,
                                           const EngineSettings& settings, const LoadOptions& options,
                                           LoadResult& result);
  // An engine playing `patch` (not null).
  Engine(PatchPtr patch, const EngineSettings& settings);
  // Frees the patch playing, the patches still queued and those in reports not taken.
  ~Engine();
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
  // With `frames` 0, the due commands and every event apply before the next
  // frame. Running status carries from one event and one block to the next.
  void render(int frames, int16_t* out, const RawMidiEvent* events, int event_count);
  // Audio thread, or a renderer's only thread: applies the waiting commands
  // due before the current frame without computing a frame.
  void apply_due_commands();
  // Audio thread, between blocks: new settings while playing (a plugin's
  // control ports), heard from the next frame. The sample rate and the voice
  // room stay the ones the engine was made with (voices beyond the room are
  // not heard); a bend held now is heard at the new range; voices dropped
  // fall silent at once.
  void change_settings(const EngineSettings& settings);
  // The settings in use. Audio thread, or before the engine plays.
  EngineSettings settings() const;

  // Sending thread. False, and counted, when the queue is full; false for a
  // kSwapPatch command, which only swap_patch() sends.
  bool send(const Command& command);
  // Sending thread: `patch` replaces the one playing before `frame`, in
  // every voice (the copies for the further voices are made here). On
  // success the engine owns it (`patch` is left empty); the old one comes
  // back in a kPatchRetired report. False, and counted, when the queue is
  // full: `patch` stays the caller's.
  bool swap_patch(PatchPtr& patch, int64_t frame = Command::kAtOnce);
  // Any thread: readies `patch` for this engine (its rate, the copies for
  // its further voices), so that a swap_patch made later on the audio
  // thread (a plugin's) allocates nothing. swap_patch does it otherwise.
  void prepare(Patch& patch) const;
  long refused_commands() const;

  // Frames per second this engine computes (EngineSettings::sample_rate).
  int sample_rate() const;

  // A live MIDI input's thread: a queue of its own, taken whole at the start
  // of each block (kAtOnce). False, and counted with the refused commands,
  // when it is full.
  bool send_from_midi_input(const Command& command);

  // Receiving thread. False when no report waits.
  bool take_report(Report& report);
  long lost_reports() const;

  // An eventfd (or -1) that the audio thread adds 1 to after a block that
  // produced reports, so that the receiving thread can sleep until there is
  // something to take instead of polling. Set before the engine plays.
  //
  // The one system call the audio thread makes, at most once a block. The
  // descriptor must be made with EFD_NONBLOCK: write() on a non-blocking
  // eventfd adds to a 64-bit counter in the kernel and returns; it cannot
  // block (a full counter fails with EAGAIN at once, and the reader is then
  // awake anyway), it allocates nothing and takes no lock a user thread can
  // hold. Its price is one system call, about a microsecond, only after
  // blocks in which something happened (a note, a command).
  void set_wake_fd(int fd);

  // Frames computed so far (published after each block).
  int64_t frames() const;

  // Any thread: copies the newest output frames and the envelope's level.
  // False when the audio thread overwrote them on every try.
  bool read_scope(ScopeSnapshot& out) const;

  // The patch the engine was made with, for hosts that show its details.
  // Before the engine plays only; later patches come in the kApplied reports
  // of their swaps (Report::command.patch).
  const Patch& patch() const;

 private:
  friend EngineCore& engine_core(Engine& engine);
  std::unique_ptr<EngineCore> core_;
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

// ---- Patch swaps for a host that prints the loader's trace ----

// Patches on their way into a playing engine, for hosts that print what the
// loader says where the engine applies the swap, in the engine's order among
// TRIG, UNTRIG and MIAM (wsy and wsy-render print the same words in the
// same order). A new patch is loaded into memory with its trace kept; the
// trace comes back when the engine reports the swap applied. The patches the
// engine gives back are destroyed here. Receiving thread only.
class PatchHandOver {
 public:
  // A new patch from a file's `text` (`name` names the file in warnings,
  // which go to `on_warning` at once). Swap it in with Engine::swap_patch.
  // Null when the loader failed, with `error` set.
  PatchPtr load(const std::string& text, const std::string& name,
                const std::function<void(const std::string&)>& on_warning, std::string& error);
  // The last loaded patch will not reach the engine: its trace is dropped.
  void cancel_last();

  // Every report, in order. For an applied swap, returns true with what the
  // loader printed (to print now) and the text it was loaded from (for a
  // session log). A retired patch is destroyed.
  bool take(const Report& report, std::string& printed, std::string& text);

 private:
  struct Loaded {
    std::string printed;
    std::string text;
  };
  std::deque<Loaded> pending_;
};
