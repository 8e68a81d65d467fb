#pragma once
#include <cstdint>

struct Patch;
struct Vca;

// The one patch and the one sounding envelope that the stream plays. Set by
// start-up before the stream is created, never changed afterwards.
extern Patch* the_patch;
extern Vca* the_vca;

// Fills `buffer` with length / 4 interleaved 16-bit stereo frames, computed on
// the spot: envelope step, patch evaluation, product. Always returns 1.
// Real-time code: no allocation, no lock, no I/O.
signed char stream_callback(void* stream, void* buffer, int length, void* user_data);

// A frame value to a 16-bit sample: truncated toward zero, low 16 bits kept
// (values out of range wrap, they are not clipped); NaN and values beyond a
// 64-bit integer give 0.
int16_t to_sample(double value);
