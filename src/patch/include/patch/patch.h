#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "synth/mixer.h"
#include "synth/random.h"
#include "synth/vca.h"
#include "synth/vco.h"

// How a link's parameter name acts on its target, found once at load time.
enum Modulation : uint8_t { kModAmp = 1, kModFreq = 2, kModPhase = 4 };

// The incoming links of one oscillator. The lists are paired by index, newest
// link first. A null source is a name that matched no oscillator: it is silent.
struct VcoLinkGroup {
  std::vector<Vco*> sources;
  std::vector<std::string> params;
  std::vector<std::string> source_names;  // as written in the file, for the report
  std::vector<uint8_t> modulations;       // Modulation bits of each param
  Vco* target = nullptr;
  int32_t note = 0;                       // added to the base note it is played at

  // Audio thread: the last note and bend the target was tuned to and its
  // pitch, so that pow() runs only when either changes (same result either way).
  int32_t tuned_note = 0;
  double tuned_bend = 0;
  float tuned_frequency = 0;
  bool tuned = false;
};

// The inputs of one mixer, paired by index, newest link first.
struct MixerLinkGroup {
  std::vector<Vco*> sources;
  std::vector<std::string> input_names;
  std::vector<std::string> source_names;
  std::vector<int> input_slots;  // index into the mixer's inputs, or -1: stores nothing
  Mixer* target = nullptr;
};

// The whole synthesizer in memory. Built and reported on the main thread, then
// handed to the engine, which alone touches it from then on: only `output`,
// `base_note`, the note of vco_links[0] and the modules' own state change.
// The registries own the modules.
struct Patch {
  static constexpr const char* kDefaultFile = "RODUV_2.WSY";

  Patch() = default;
  Patch(const Patch&) = delete;
  Patch& operator=(const Patch&) = delete;
  ~Patch();

  float output = 0;
  int32_t base_note = 58;
  std::vector<MixerLinkGroup> mixer_links;  // every list: newest first
  std::vector<VcoLinkGroup> vco_links;
  std::vector<Vco*> vcos;
  std::vector<Vca*> vcas;
  std::vector<Mixer*> mixers;

  Random noise;                     // the audio thread's generator (noise waveform)
  // With several voices, a copy of this patch for each voice after the
  // first, made off the audio thread (they go and come with this one).
  std::vector<std::unique_ptr<Patch>> voice_copies;
  FILE* console = stdout;           // loader trace and report
  FILE* diagnostics = stderr;       // warnings about the patch file

  // Reads a patch file, printing the loader's trace. False, with `error` set,
  // when the file cannot be read at all; malformed entries only warn.
  bool load(const char* path, std::string& error);
  // The same from a file's text already read; `name` stands for the file in warnings.
  bool load_text(const std::string& text, const char* name, std::string& error);
  void report() const;
  // A patch of its own modules, links and noise generator, each as it is
  // now (no voice copies, no streams): another voice playing the same file.
  std::unique_ptr<Patch> copy() const;
  Vco* find_vco(const char* name) const;
  // Every oscillator steps `rate` times a second from now on (a patch is
  // loaded at 44100; whoever plays it sets its rate before it plays).
  void set_sample_rate(int rate);

  // One sample. `bend`: the pitch bend in semitones, added to every retuned
  // note; it belongs to whoever plays the patch, not to the patch.
  void evaluate(double bend = 0.0);
  float get_output() const { return output; }
};

// Start-up's first step for both programs: a new Patch loaded from `path` and
// reported on `console`, warnings on `diagnostics`. Null, after a message on
// `diagnostics`, when the file cannot be read.
Patch* load_and_report(const char* path, FILE* console = stdout, FILE* diagnostics = stderr);

// The whole of a patch file, read at once, so that what is loaded and what
// is kept (a session log's copy) are the same bytes. False, with `error` set,
// when it cannot be read (missing, no right to read it, a folder).
bool read_patch_text(const char* path, std::string& text, std::string& error);

// Pitch of note n bent by `bend` semitones, in hertz, in double precision:
// 8.1757989 * 2^(((n + 11) + bend) / 12). Without a bend, exactly the
// unbent pitch (adding 0.0 changes no double).
double note_frequency(int32_t n, double bend = 0.0);
