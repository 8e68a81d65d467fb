#include "synth/vco.h"

#include <cmath>

namespace {

// r mod d with the sign of r (r >= 0 here), in double so that any divisor from
// a float is safe; a divisor of 0 yields NaN, which never equals a remainder.
double remainder_of(int r, double d) { return std::fmod(static_cast<double>(r), d); }

}  // namespace

void Vco::shape_other(Random& noise) {
  switch (waveform) {
    case kRamp:
      output = static_cast<float>(static_cast<double>(phase) * amplitude);
      break;
    case kShiftedRamp:
      output = static_cast<float>(static_cast<double>(phase) * amplitude - 0.5);
      break;
    case kSquare3: {
      // Each test sees what the previous one left, so amplitudes of 0.5 and
      // below fold back to 0 on the positive side.
      output = static_cast<float>(std::sin((static_cast<double>(phase) + phase_offset) * kTwoPi));
      if (output > 0.5) output = amplitude;
      if (output >= 0 && output <= 0.5) output = 0;
      if (output >= -0.5 && output < 0) output = 0;
      if (output < -0.5) output = -amplitude;
      break;
    }
    case kNoise: {
      if (amplitude == 0) {
        output = 0;
        break;
      }
      double v = 0;
      const int r1 = noise.next();
      const double d = std::trunc(static_cast<double>(frequency) - 439.0) + 1.0;
      if (remainder_of(r1, d) == 1.0) {
        const int r2 = noise.next();
        const double m = std::trunc(static_cast<double>(amplitude) * 100.0) + 111.0;
        const double burst = remainder_of(r2, m);
        v = std::isnan(burst) ? 0.0 : burst;  // m == 0: no burst
      }
      output = static_cast<float>((v - 50.0 * amplitude) / 100.0);
      break;
    }
    default:
      break;  // unknown waveform: output holds, phase still runs
  }
}
