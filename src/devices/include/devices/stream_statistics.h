#pragma once
// How the sound is going, kept in the stream's StreamRecord: underflows, the
// timing of blocks, and key-to-sound latency. The audio thread writes (the
// calls marked so: no lock, no allocation, no I/O); the main thread and the
// signal handler read.
#include "devices/stream_record.h"

struct AudioStream;

// ---- Audio thread ----

void count_underflow(StreamRecord& record);
// At the start of a block: the time to hand to block_done, or 0 when blocks
// are not being timed (WSY_MEASURE_LATENCY unset).
long long block_started(const StreamRecord& record);
// Bookkeeping at the end of every block of `frames` at `sample_rate` that
// started at `started_ns` (block_started).
void block_done(StreamRecord& record, long frames, int sample_rate, long long started_ns);
// A block whose first sample reaches the device at `device_time`, asked for at
// `now`, both on the stream's clock (fsound_key_time): settles a key waiting to be measured.
void block_reaches_device(StreamRecord& record, double device_time, double now);

// Now, on the monotonic clock (CLOCK_MONOTONIC), in nanoseconds. Safe on the audio thread.
long long fsound_now_ns();

// ---- Main thread ----

// Measures key-to-sound latency on the stream of `record` if WSY_MEASURE_LATENCY is set.
void measure_latency_if_asked(StreamRecord& record);

// The stream's figures as one snapshot. Async-signal-safe.
StreamStatus fsound_stream_status(const AudioStream& stream);

// The one line that tells the user about the underflows of `status` (with
// the slowest block when measuring), into `buffer` (NUL-terminated, cut to
// `size`); empty when there were none and nothing was measured.
// Async-signal-safe. Returns the length written.
int fsound_underflow_line(const StreamStatus& status, char* buffer, int size);
// Writes that line for `stream` to standard error, if there is one; nothing
// for no stream. Async-signal-safe.
void fsound_report_underflows(const AudioStream* stream);

// Key-to-sound latency, measured when WSY_MEASURE_LATENCY is set: the main
// thread takes the stream's time when it takes a key off the window's queue
// (fsound_key_time), hands it over once the key has been acted on
// (fsound_key_handled); the audio thread compares it with the time at which
// the first sample of its next block reaches the device. No stream: nothing measured.
bool fsound_measuring_latency(const AudioStream* stream);
double fsound_key_time(const AudioStream* stream);
void fsound_key_handled(AudioStream* stream, double key_time);
// The latest figure in milliseconds, once per figure, and the part of it that
// lies between the start of the block and the device (the rest is the wait
// for the device to ask for that block).
bool fsound_take_key_latency(AudioStream* stream, double& milliseconds, double& device_milliseconds);
