#pragma once
// How the sound is going: underflows, the timing of blocks, and key-to-sound
// latency. The audio thread writes (the calls marked so: no lock, no
// allocation, no I/O); the main thread and signal handlers read.

struct AudioStream;

// ---- Written by the audio thread ----

void count_underflow();
// Bookkeeping at the end of every block of `frames` at `sample_rate`.
void block_done(long frames, int sample_rate);
// True while blocks are being timed (WSY_MEASURE_LATENCY on a stream that can be measured).
bool timing_blocks();
// A block that started at `started_ns` (fsound_now_ns) ended with the latest block_done.
void block_took_since(long long started_ns);
// A block whose first sample reaches the device at `device_time`, asked for at
// `now`, both on the stream's clock (fsound_key_time): settles a key waiting to be measured.
void block_reaches_device(double device_time, double now);

// ---- Main thread ----

// Underflows count from zero again (FSOUND_Init).
void reset_underflows();
// Measures key-to-sound latency on `stream` if WSY_MEASURE_LATENCY is set.
void measure_latency_if_asked(AudioStream* stream);
// Stops measuring on `stream` (closed), or on any stream (nullptr).
void stop_measuring(AudioStream* stream);

// Frames of the latest block the device asked for; 0 before the first.
long fsound_block_frames();

// Underflows since FSOUND_Init: blocks the device asked for too late to play
// them in time (the sound broke up). Counted on the audio thread.
long fsound_underflows();
// The one line that tells the user about `count` underflows with blocks of
// `block_frames`, into `buffer` (NUL-terminated, cut to `size`); empty when
// count is 0. Async-signal-safe. Returns the length written.
int fsound_underflow_line(long count, long block_frames, char* buffer, int size);
// Writes that line for this run to standard error, if there were underflows
// (or always, with WSY_MEASURE_LATENCY set). Async-signal-safe.
void fsound_report_underflows();

// The time at which the audio thread should have finished its next block, in
// nanoseconds of the monotonic clock (CLOCK_MONOTONIC), or 0 when no block
// has been computed yet. The main loop sleeps until then: the envelope it
// watches changes only inside a block.
long long fsound_next_block_due_ns();

// Now, on the clock fsound_next_block_due_ns() uses. Safe on the audio thread.
long long fsound_now_ns();

// Key-to-sound latency, measured when WSY_MEASURE_LATENCY is set: the main
// thread takes the stream's time when it takes a key off the window's queue
// (fsound_key_time), hands it over once the key has been acted on
// (fsound_key_handled); the audio thread compares it with the time at which
// the first sample of its next block reaches the device.
bool fsound_measuring_latency();
double fsound_key_time();
void fsound_key_handled(double key_time);
// The latest figure in milliseconds, once per figure, and the part of it that
// lies between the start of the block and the device (the rest is the wait
// for the device to ask for that block).
bool fsound_take_key_latency(double& milliseconds, double& device_milliseconds);
