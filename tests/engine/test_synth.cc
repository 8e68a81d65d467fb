// Oscillator, mixer and envelope, against the numbers the sound was defined by.
#include <gtest/gtest.h>

#include <cmath>

#include "synth/mixer.h"
#include "synth/vca.h"
#include "synth/vco.h"
#include "../test_support.h"

namespace {

Random noise;

TEST(Vco, FirstStepOfTheLoadersOscillator) {
  Vco vco(1.0f, 440.0f, Vco::kSine);
  EXPECT_EQ(vco.phase_offset, 1.0f);
  EXPECT_EQ(vco.step(noise), 1);
  EXPECT_EQ(vco.phase, static_cast<float>(440.0 / 44100.0));
  EXPECT_NEAR(vco.phase, 0.0099773, 1e-7);
  EXPECT_NEAR(vco.get_output(), 0.0626, 5e-5);
}

TEST(Vco, PhaseWrapsOnceAtTenCycles) {
  Vco vco(1.0f, 44100.0f, Vco::kRamp);
  for (int i = 0; i < 10; ++i) vco.step(noise);
  EXPECT_EQ(vco.phase, 10.0f);  // exactly 10 stays
  EXPECT_EQ(vco.output, 10.0f);
  vco.step(noise);
  EXPECT_EQ(vco.phase, 1.0f);

  Vco fast(1.0f, 882000.0f, Vco::kRamp);  // 20 cycles a step: one subtraction cannot keep up
  fast.step(noise);
  EXPECT_EQ(fast.phase, 10.0f);
  fast.step(noise);
  EXPECT_EQ(fast.phase, 20.0f);
  fast.step(noise);
  EXPECT_EQ(fast.phase, 30.0f);

  Vco backwards(1.0f, -44100.0f, Vco::kShiftedRamp);
  for (int i = 0; i < 12; ++i) backwards.step(noise);
  EXPECT_EQ(backwards.phase, -12.0f);  // nothing wraps below 0
  EXPECT_EQ(backwards.output, -12.5f);  // the 0.5 is not scaled
}

TEST(Vco, ThreeLevelSquareRetestsWhatTheTestBeforeLeft) {
  // Phase + offset at a quarter, a twelfth... of a cycle gives s = sin(...) exactly where wanted.
  auto square = [](float amplitude, double s) {
    Vco vco(amplitude, 0.0f, Vco::kSquare3);
    vco.phase_offset = static_cast<float>(std::asin(s) / 6.2831853);
    vco.step(noise);
    return vco.output;
  };
  EXPECT_EQ(square(1.0f, 0.6), 1.0f);
  EXPECT_EQ(square(1.0f, 0.45), 0.0f);
  EXPECT_EQ(square(1.0f, -0.45), 0.0f);
  EXPECT_EQ(square(1.0f, -0.51), -1.0f);
  EXPECT_EQ(square(0.3f, 0.6), 0.0f);   // set to 0.3, then the second test makes it 0
  EXPECT_EQ(square(0.3f, -0.6), -0.3f);
  EXPECT_EQ(square(-1.0f, 0.6), 1.0f);  // -(-1) where s < -0.5 after the first test
  EXPECT_EQ(square(0.5f, 0.6), 0.0f);   // 0.5 is still in the band that gives 0

  // Exactly +-0.5 lies in the silent band (the sine of the same offset shows s is exact).
  for (double half : {0.5, -0.5}) {
    Vco sine(1.0f, 0.0f, Vco::kSine);
    sine.phase_offset = static_cast<float>(std::asin(half) / 6.2831853);
    sine.step(noise);
    ASSERT_EQ(sine.output, static_cast<float>(half));
    EXPECT_EQ(square(1.0f, half), 0.0f) << half;
  }
}

TEST(Vco, NoiseFollowsTheGeneratorRule) {
  Vco silent(0.0f, 440.0f, Vco::kNoise);
  Random r;
  silent.step(r);
  EXPECT_EQ(silent.output, 0.0f);
  EXPECT_EQ(r.state, 1u);  // nothing drawn

  // At 440 Hz the divisor is 2: an odd draw brings a burst of (r2 mod 211 - 50) / 100.
  Vco vco(1.0f, 440.0f, Vco::kNoise);
  Random gen, model;
  int bursts = 0;
  for (int i = 0; i < 1000; ++i) {
    vco.step(gen);
    const int r1 = model.next();
    float expected = -0.5f;
    if (r1 % 2 == 1) {
      expected = static_cast<float>((model.next() % 211 - 50.0) / 100.0);
      ++bursts;
    }
    ASSERT_EQ(vco.output, expected) << "sample " << i;
  }
  EXPECT_GT(bursts, 400);

  // A zero divisor (437 < frequency <= 438) brings no burst and no crash.
  Vco zero(1.0f, 437.5f, Vco::kNoise);
  for (int i = 0; i < 100; ++i) {
    zero.step(gen);
    ASSERT_EQ(zero.output, -0.5f);
  }
}

TEST(Vco, UnknownWaveformHoldsItsOutput) {
  Vco vco(1.0f, 440.0f, 6);
  vco.output = 0.25f;
  vco.step(noise);
  EXPECT_EQ(vco.output, 0.25f);
  EXPECT_GT(vco.phase, 0.0f);
}

TEST(Mixer, WholeNumberGains) {
  Mixer mixer;
  mixer.sum();
  EXPECT_EQ(mixer.get_output(), 0.0f);

  mixer.input_count = 1;
  mixer.inputs[0] = 0.5f;
  EXPECT_EQ(mixer.sum(), 1);
  EXPECT_EQ(mixer.get_output(), 5000.0f);

  mixer.input_count = 3;
  mixer.inputs[0] = 1.0f;
  mixer.inputs[1] = -1.0f;
  mixer.inputs[2] = 0.25f;
  mixer.sum();
  EXPECT_EQ(mixer.get_output(), 833.25f);

  const int gains[24] = {10000, 5000, 3333, 2500, 2000, 1666, 1428, 1250, 1111, 1000, 909, 833,
                         769,   714,  666,  625,  588,  555,  526,  500,  476,  454,  434,  416};
  for (int n = 1; n <= 24; ++n) {
    Mixer m;
    m.input_count = n;
    m.inputs[n - 1] = 1.0f;
    m.sum();
    EXPECT_EQ(m.get_output(), static_cast<float>(gains[n - 1])) << n << " inputs";
  }

  Mixer two;  // only inputs 1..input_count are heard
  two.input_count = 2;
  two.inputs[0] = 1.0f;
  two.inputs[2] = 1.0f;
  two.sum();
  EXPECT_EQ(two.get_output(), 5000.0f);

  Mixer crowded;  // more links than inputs: small gain, the 24 inputs summed, nothing beyond read
  crowded.input_count = 30;
  for (float& input : crowded.inputs) input = 1.0f;
  crowded.sum();
  EXPECT_EQ(crowded.get_output(), 24.0f * 333);
}

struct EnvelopeRun {
  Vca vca;
  float step() {
    vca.step();
    return vca.level;
  }
};

TEST(Vca, DefaultEnvelopeStepByStep) {
  EnvelopeRun run;
  EXPECT_FALSE(run.vca.active);
  EXPECT_EQ(run.step(), 0.0f);  // idle

  run.vca.trigger();
  EXPECT_TRUE(run.vca.active);
  float time = 0;  // the float time after k - 1 advances, as each step sees it
  for (int k = 1; k <= 201; ++k) {
    ASSERT_EQ(run.step(), time) << "attack step " << k;
    time = static_cast<float>(static_cast<double>(time) + 0.005);
  }
  EXPECT_EQ(run.vca.level, 0.9999992f);
  EXPECT_NEAR(run.step(), 0.99995, 1e-6);  // step 202, first decay step
  for (int k = 203; k <= 20203; ++k) run.step();
  EXPECT_TRUE(run.vca.active);
  const float last = run.step();  // step 20204, last decay step
  EXPECT_NEAR(last, 0.0000087, 5e-7);
  EXPECT_GT(last, 0.0f);
  EXPECT_EQ(run.step(), 0.0f);  // step 20205 ends the note
  EXPECT_FALSE(run.vca.active);
  EXPECT_EQ(run.step(), 0.0f);
}

TEST(Vca, ReleaseDuringAttackLetsTheRampFinish) {
  EnvelopeRun run;
  run.vca.trigger();
  for (int k = 1; k <= 50; ++k) run.step();
  run.vca.release();
  for (int k = 51; k <= 201; ++k) ASSERT_GT(run.step(), 0.0f) << k;
  for (int k = 202; k <= 30000; ++k) ASSERT_EQ(run.step(), 0.0f) << k;
  EXPECT_TRUE(run.vca.active);  // a released note stays active and silent
  const float frozen = run.vca.time;
  run.step();
  EXPECT_EQ(run.vca.time, frozen);
}

TEST(Vca, ReleaseInDecaySilencesAtOnceAndNeverEnds) {
  EnvelopeRun run;
  run.vca.trigger();
  for (int k = 1; k <= 1000; ++k) run.step();
  EXPECT_GT(run.vca.level, 0.9f);
  run.vca.release();
  EXPECT_EQ(run.step(), 0.0f);
  for (int k = 0; k < 40000; ++k) run.step();
  EXPECT_TRUE(run.vca.active);
  run.vca.trigger();  // a trigger starts over from 0 with the release cleared
  EXPECT_FALSE(run.vca.released);
  EXPECT_EQ(run.step(), 0.0f);
  EXPECT_EQ(run.step(), 0.005f);
}

TEST(Vca, ReleaseTimeAndSustain) {
  EnvelopeRun run;
  run.vca.release_time = 2;
  run.vca.trigger();
  for (int k = 1; k <= 500; ++k) run.step();
  run.vca.release();
  float level = run.vca.level;
  for (int k = 0; k < 5; ++k) {
    level = static_cast<float>(level - level / 200.0);
    ASSERT_EQ(run.step(), level);
  }

  EnvelopeRun held;
  held.vca.sustain = 0.5f;
  held.vca.trigger();
  for (int k = 1; k <= 201; ++k) held.step();
  const float top = held.vca.level;
  EXPECT_EQ(held.step(), static_cast<float>(top - top / 1000.0));
  for (int k = 0; k < 5000; ++k) held.step();
  EXPECT_EQ(held.vca.level, 0.5f);  // peak * sustain, held
  EXPECT_TRUE(held.vca.active);
  EXPECT_EQ(held.vca.time, static_cast<float>(static_cast<double>(0.9999992f) + 0.005));
}

TEST(Vca, OtherShapes) {
  // A decay window of one step: the step that reaches its end exactly ends the note.
  EnvelopeRun shortest;
  shortest.vca.attack = 0;
  shortest.vca.decay = 0.005f;
  shortest.vca.trigger();
  EXPECT_EQ(shortest.step(), 1.0f);  // the decay starts at the peak
  EXPECT_TRUE(shortest.vca.active);
  EXPECT_EQ(shortest.step(), 0.0f);
  EXPECT_FALSE(shortest.vca.active);

  // A sustain above the peak: compared with the sustain, held at peak * sustain.
  EnvelopeRun low;
  low.vca.peak = 0.5f;
  low.vca.sustain = 0.8f;
  low.vca.trigger();
  for (int k = 1; k <= 201; ++k) low.step();
  EXPECT_LT(low.vca.level, 0.5f);
  EXPECT_EQ(low.step(), 0.4f);
  EXPECT_EQ(low.step(), 0.4f);

  // A trigger silences at once, before any step.
  EnvelopeRun again;
  again.vca.trigger();
  for (int k = 0; k < 500; ++k) again.step();
  ASSERT_GT(again.vca.level, 0.9f);
  again.vca.trigger();
  EXPECT_EQ(again.vca.level, 0.0f);
}

TEST(Vca, ReleaseWhileIdleOnlyMarksIt) {
  EnvelopeRun run;
  run.vca.release();
  EXPECT_TRUE(run.vca.released);
  EXPECT_FALSE(run.vca.active);
  EXPECT_EQ(run.step(), 0.0f);
  run.vca.trigger();
  EXPECT_FALSE(run.vca.released);
}

}  // namespace
