// Cost of the engine per frame, against the arithmetic it cannot avoid.
//
// Every oscillator step needs one double-precision sin(); a patch evaluation
// is that many steps plus resets, modulation, mixing and tuning. Two
// baselines per shape do only the sin() calls and phase updates of the same
// number of oscillator steps:
//
// - "same sin() calls" replays the very arguments the engine passed to sin()
//   for that shape, in the same order. glibc's sin() costs more when its
//   arguments jump about (its branches stop predicting), which modulated
//   oscillators make them do, so this is the engine's own floor.
// - "smooth sin()" steps unmodulated oscillators, whose arguments creep
//   forward: sin() at its cheapest, a floor no modulated patch can reach.
//
// This program is linked with --wrap=sin: the engine's sin() calls pass
// through __wrap_sin, which records them while a baseline is being set up.
// The engine pays that extra call in every figure; the baselines call the
// library's sin() directly.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine_core.h"
#include "patch/patch.h"
#include "patch/patch_location.h"
#include "wsy/engine.h"

extern "C" double __real_sin(double);

namespace {
std::vector<double>* sin_recording = nullptr;
[[gnu::noinline, gnu::cold]] void record_sin(double x) { sin_recording->push_back(x); }
}  // namespace

extern "C" double __wrap_sin(double x) {
  if (sin_recording) [[unlikely]]
    record_sin(x);
  return __real_sin(x);
}

namespace {

// Patch texts for the shapes measured: chains (each oscillator modulates the
// next), fans (one LFO modulates every other), and a full 24-input mixer.
std::string chain_patch(int oscillators) {
  std::string text = "LFO0;*FREQ=5;\n";
  for (int i = 1; i < oscillators; ++i)
    text += "VCO" + std::to_string(i) + ";*NOTE=" + std::to_string(i % 12) + ";" +
            (i == 1 ? "LFO0" : "VCO" + std::to_string(i - 1)) + ":MOD_PHASE;\n";
  if (oscillators == 1) text = "VCO0;VCO0:MOD_PHASE;\n";
  const std::string last = oscillators == 1 ? "VCO0" : "VCO" + std::to_string(oscillators - 1);
  return text + "MIXER0;" + last + ":IN1;\n";
}

std::string fan_patch(int oscillators) {
  std::string text = "LFO0;*FREQ=5;\n", mixer = "MIXER0;";
  for (int i = 1; i < oscillators; ++i) {
    text += "VCO" + std::to_string(i) + ";*NOTE=" + std::to_string(i % 12) + ";LFO0:MOD_FREQ;\n";
    if (i <= 24) mixer += "VCO" + std::to_string(i) + ":IN" + std::to_string(i) + ";";
  }
  return text + mixer + "\n";
}

std::string mixer24_patch() {
  std::string text = "LFO0;*FREQ=0;\n", mixer = "MIXER0;";
  for (int i = 1; i <= 24; ++i) {
    text += "VCO" + std::to_string(i) + ";*NOTE=" + std::to_string(i) + ";LFO0:MOD_PHASE;\n";
    mixer += "VCO" + std::to_string(i) + ":IN" + std::to_string(i) + ";";
  }
  return text + mixer + "\n";
}

struct Shape {
  std::string name;
  std::string text;
};

std::vector<Shape> shapes() {
  std::vector<Shape> list;
  for (int n : {1, 4, 16, 64}) list.push_back({"chain/" + std::to_string(n), chain_patch(n)});
  for (int n : {4, 16, 64}) list.push_back({"fan/" + std::to_string(n), fan_patch(n)});
  list.push_back({"mixer24", mixer24_patch()});
  return list;
}

// An engine playing the patch `text`, built as the programs build it (the
// loader's trace and warnings go nowhere).
std::unique_ptr<Engine> start(const std::string& text, bool autoplay = true) {
  EngineSettings settings;
  settings.autoplay = autoplay;
  LoadResult result;
  std::unique_ptr<Engine> engine = Engine::from_text(text, "bench.wsy", settings, LoadOptions{}, result);
  if (!engine) std::abort();
  return engine;
}

// A patch of its own, loaded as the engine loads it.
PatchPtr load(const std::string& text) {
  LoadResult result;
  PatchPtr patch = load_patch(text, "bench.wsy", LoadOptions{}, result);
  if (!patch) std::abort();
  return patch;
}

// Oscillator steps in one evaluation: each link steps its source, each group its target.
int steps_per_frame(const Patch& patch) {
  int steps = 0;
  for (const VcoLinkGroup& group : patch.vco_links) steps += static_cast<int>(group.sources.size()) + 1;
  return steps;
}

void BM_Evaluate(benchmark::State& state, std::string text) {
  PatchPtr patch = load(text);
  for (auto _ : state) {
    patch->evaluate();
    benchmark::DoNotOptimize(patch->output);
  }
  state.counters["steps"] = steps_per_frame(*patch);
}

void BM_StreamCallback(benchmark::State& state, std::string text) {
  std::unique_ptr<Engine> engine = start(text, false);
  const int frames = static_cast<int>(state.range(0));
  std::vector<int16_t> buffer(2 * frames);
  Report report;
  for (auto _ : state) {
    stream_callback(nullptr, buffer.data(), frames * 4, engine.get());
    benchmark::DoNotOptimize(buffer.data());
    // One note, z, played again whenever it has run out: sin()'s price
    // depends on the pitch, so the figure is always taken at the same one.
    while (engine->take_report(report)) {}
    if (!engine_core(*engine).vca().active) engine->send(Command::play_note(58));
  }
  state.SetItemsProcessed(state.iterations() * frames);
}

// Several voices: an engine of `voices` voices playing the bundled patch,
// `sounding` of them holding the same note (each on a voice of its own, so
// that every voice does the same work as the one voice of an engine with
// `voices` 1), in blocks of 256 frames. Every 64 blocks, before the notes run
// out, all sound off and the notes struck again, so that as many sound in
// every block. With `voices` 1 this is the monophonic engine playing one note.
void BM_Voices(benchmark::State& state, int voices, int sounding) {
  constexpr int kFrames = 256;
  const std::string path = data_folders().bundled_patch;
  EngineSettings settings;
  settings.autoplay = false;
  settings.voices = voices;
  LoadResult result;
  std::unique_ptr<Engine> engine = Engine::from_file(path, settings, LoadOptions{}, result);
  if (!engine) {
    state.SkipWithError(("the bundled patch: " + result.error).c_str());
    return;
  }
  const uint8_t all_sound_off[] = {0xB0, 120, 0}, note_on[] = {0x90, 69, 127};
  auto strike = [&] {
    engine->send(Command::midi_message(all_sound_off, 3));
    for (int v = 0; v < sounding; ++v) engine->send(Command::midi_message(note_on, 3));
  };
  std::vector<int16_t> buffer(2 * kFrames);
  Report report;
  strike();
  int blocks = 0;
  for (auto _ : state) {
    stream_callback(nullptr, buffer.data(), kFrames * 4, engine.get());
    benchmark::DoNotOptimize(buffer.data());
    while (engine->take_report(report)) {}
    if (++blocks == 64) {
      strike();
      blocks = 0;
    }
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}

// The baselines' phase accumulators, one per step, each at a note's pitch,
// updated as an oscillator step updates its phase.
struct Phases {
  std::vector<float> phase, frequency;

  explicit Phases(int steps) : phase(steps, 0.0f), frequency(steps) {
    for (int i = 0; i < steps; ++i) frequency[i] = static_cast<float>(note_frequency(58 + i % 12));
  }
  float advance(int i) {
    float p = static_cast<float>(phase[i] + frequency[i] / static_cast<double>(kDefaultSampleRate));
    if (p > 10) p = static_cast<float>(p - 10.0);
    return phase[i] = p;
  }
};

// Only what no engine can skip: the phase update (its division included) and
// one sin() per step, on the arguments the engine gave sin() for this shape.
void BM_SameSinCalls(benchmark::State& state, std::string text) {
  constexpr int kFrames = 8192;  // 0.19 s of sound, replayed in a loop
  PatchPtr patch = load(text);
  std::vector<double> arguments;
  sin_recording = &arguments;
  for (int frame = 0; frame < kFrames; ++frame) patch->evaluate();
  sin_recording = nullptr;
  const int steps = static_cast<int>(arguments.size() / kFrames);
  Phases phases(steps);
  std::vector<float> output(steps);
  const double* next = arguments.data();
  const double* const end = next + arguments.size();
  for (auto _ : state) {
    for (int i = 0; i < steps; ++i) {
      phases.advance(i);
      output[i] = static_cast<float>(__real_sin(*next++));
    }
    if (next == end) next = arguments.data();
    benchmark::DoNotOptimize(output.data());
    benchmark::DoNotOptimize(phases.phase.data());
  }
}

// The same number of steps on unmodulated oscillators.
void BM_SmoothSin(benchmark::State& state, std::string text) {
  const int steps = steps_per_frame(*load(text));
  Phases phases(steps);
  std::vector<float> output(steps);
  for (auto _ : state) {
    for (int i = 0; i < steps; ++i) output[i] = static_cast<float>(__real_sin((phases.advance(i) + 1.0) * 6.2831853));
    benchmark::DoNotOptimize(output.data());
  }
}

// sin() alone, on 32 arguments that move by `step` radians (times 1 to 4.1)
// a call: its price depends on how far they move between calls, since its
// branches (which range, which quadrant) predict well only for arguments
// that creep. 1e-7: an LFO; 0.06: a 440 Hz tone; 1: a phase swung at audio rate.
void BM_SinArguments(benchmark::State& state, double step) {
  constexpr int kCalls = 32;
  double argument[kCalls], output[kCalls];
  for (int i = 0; i < kCalls; ++i) argument[i] = 10.0 + 1.9 * i;
  for (auto _ : state) {
    for (int i = 0; i < kCalls; ++i) {
      argument[i] += step * (1.0 + 0.1 * i);
      if (argument[i] > 80.0) argument[i] -= 70.0;
      output[i] = __real_sin(argument[i]);
    }
    benchmark::DoNotOptimize(output);
  }
  state.SetItemsProcessed(state.iterations() * kCalls);
}

// Prints the usual table, then engine / baseline per shape.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // One figure per benchmark: the median of the repetitions when there are
    // several, else the single run.
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        ns_per_iteration_[run.run_name.str()] = run.GetAdjustedRealTime();
      else if (run.run_type == Run::RT_Iteration && run.iterations > 0 && run.repetitions <= 1)
        ns_per_iteration_[run.run_name.str()] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-12s %12s %12s %12s %8s %8s\n", "shape", "evaluate", "same sin()", "smooth sin()",
                "ratio", "smooth");
    for (const Shape& shape : shapes()) {
      const auto engine = ns_per_iteration_.find("evaluate/" + shape.name);
      const auto same = ns_per_iteration_.find("same_sin/" + shape.name);
      const auto smooth = ns_per_iteration_.find("smooth_sin/" + shape.name);
      if (engine == ns_per_iteration_.end() || same == ns_per_iteration_.end() || smooth == ns_per_iteration_.end())
        continue;
      std::printf("%-12s %9.1f ns %9.1f ns %9.1f ns %8.3f %8.3f\n", shape.name.c_str(), engine->second,
                  same->second, smooth->second, engine->second / same->second, engine->second / smooth->second);
    }
  }

 private:
  std::map<std::string, double> ns_per_iteration_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Shape& shape : shapes()) {
    benchmark::RegisterBenchmark(("evaluate/" + shape.name).c_str(), BM_Evaluate, shape.text);
    benchmark::RegisterBenchmark(("same_sin/" + shape.name).c_str(), BM_SameSinCalls, shape.text);
    benchmark::RegisterBenchmark(("smooth_sin/" + shape.name).c_str(), BM_SmoothSin, shape.text);
    benchmark::RegisterBenchmark(("stream/" + shape.name).c_str(), BM_StreamCallback, shape.text)
        ->Arg(256)->Arg(8192);
  }
  // stream/voices/N: N voices sounding; stream/voices/N_with_M_free: one of N.
  for (int n : {1, 2, 8, 32})
    benchmark::RegisterBenchmark(("stream/voices/" + std::to_string(n)).c_str(), BM_Voices, n, n);
  for (int n : {2, 8, 32})
    benchmark::RegisterBenchmark(("stream/voices/" + std::to_string(n) + "_with_" + std::to_string(n - 1) + "_free").c_str(),
                                 BM_Voices, n, 1);
  benchmark::RegisterBenchmark("sin_arguments/creeping", BM_SinArguments, 1e-7);
  benchmark::RegisterBenchmark("sin_arguments/tone", BM_SinArguments, 0.06);
  benchmark::RegisterBenchmark("sin_arguments/jumping", BM_SinArguments, 1.0);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
