#pragma once
// The audio layer wsy plays through: output types, drivers, initialisation and
// one callback stream, over PortAudio. Called from the main thread only; the
// stream's callback runs on a thread of the layer's own.

// Output types as FSOUND_SetOutput takes them and FSOUND_GetOutput reports them.
// The menu's codes select: 2 -> ALSA (reported 6), 1 -> OSS (reported 4),
// 7 -> JACK (reported 7), 0 -> no sound (a paced thread that discards samples).
enum OutputType {
  kOutputNoSound = 0,
  kOutputWaveout = 1,
  kOutputDirectSound = 2,
  kOutputUnnamed3 = 3,
  kOutputOss = 4,
  kOutputEsd = 5,
  kOutputAlsa = 6,
  kOutputAsio = 7,
};

// Error codes; error_text() turns them into words.
enum LayerError {
  kErrNone = 0,
  kErrAfterInit = 1,      // call not allowed after FSOUND_Init
  kErrNotInitialised = 2, // stream call before FSOUND_Init
  kErrOutputInit = 3,     // no device, or it could not be opened
  kErrDeviceInUse = 4,    // device busy
  kErrPlay = 5,           // the stream would not start
  kErrOutputFormat = 6,
  kErrNoMemory = 12,
  kErrBadParameter = 14,
};

// Stream mode bits. Only 16-bit signed stereo is supported; other bits are ignored.
constexpr unsigned kMode16Bits = 0x10;
constexpr unsigned kModeStereo = 0x40;
constexpr unsigned kModeSigned = 0x100;
constexpr unsigned kModeProgramFlag = 0x1000000;  // set by the program; means nothing to this layer

struct AudioStream;

// Fills `buffer` (`length` bytes of interleaved 16-bit stereo). Called on the
// layer's audio thread with the stream handle and the user data given at creation.
using StreamCallback = signed char (*)(void* stream, void* buffer, int length, void* user_data);

// What an output type really is here, for messages: "ALSA", "JACK", ...
const char* output_label(int output);

float FSOUND_GetVersion();
signed char FSOUND_SetOutput(int output_type);
int FSOUND_GetOutput();
// Output devices of the selected output, the system default first. Asked anew
// at each call; "No sound" is the one driver of the NoSound output.
int FSOUND_GetNumDrivers();
const char* FSOUND_GetDriverName(int driver);
signed char FSOUND_SetDriver(int driver);
signed char FSOUND_Init(int mix_rate, int max_software_channels, unsigned int flags);
// Stops and closes every stream and releases PortAudio. Safe to call at any time.
void FSOUND_Close();
int FSOUND_GetError();

// `length`: the largest block in bytes the callback is asked to fill at once.
AudioStream* FSOUND_Stream_Create(StreamCallback callback, int length, unsigned int mode,
                                    int sample_rate, void* user_data);
// Starts the stream; returns the channel, or -1 on failure.
int FSOUND_Stream_Play(int channel, AudioStream* stream);
signed char FSOUND_Stream_Close(AudioStream* stream);

// ---- Beyond the calls above: what wsy itself needs from its audio layer ----

// Block size. WSY_BUFFER_FRAMES, when set, is the block in frames the device
// is asked for (a whole number from kMinBlockFrames to kMaxBlockFrames);
// otherwise the device's own block is taken, with a latency of 256 frames
// asked for. Returns 0 for unset or empty text, -1 for text that is not such
// a number, else the number.
constexpr int kMinBlockFrames = 16;
constexpr int kMaxBlockFrames = 8192;
int fsound_parse_block_frames(const char* text);

// True once the device of a playing stream has gone away under it (the JACK
// server stopped, the card was unplugged): nothing will ask for samples any
// more. Main thread; no lock is taken. After it, FSOUND_Close leaves the dead
// device alone, so that the process can end at once.
bool fsound_stream_lost(AudioStream* stream);

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

// Now, on the clock fsound_next_block_due_ns() uses.
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
