#pragma once
// The audio layer wsy plays through: output types, drivers, initialisation and
// one callback stream, over PortAudio. Called from the main thread only; the
// stream's callback runs on a thread of the layer's own.

// Output types as FSOUND_SetOutput takes them and FSOUND_GetOutput reports them.
// The menu's codes select: 2 -> ALSA (reported 6), 1 -> OSS (reported 4),
// 7 -> JACK (reported 7), 0 -> no sound (a paced thread that discards samples).
enum FSOUND_OUTPUTTYPES {
  FSOUND_OUTPUT_NOSOUND = 0,
  FSOUND_OUTPUT_WINMM = 1,
  FSOUND_OUTPUT_DSOUND = 2,
  FSOUND_OUTPUT_A3D = 3,
  FSOUND_OUTPUT_OSS = 4,
  FSOUND_OUTPUT_ESD = 5,
  FSOUND_OUTPUT_ALSA = 6,
  FSOUND_OUTPUT_ASIO = 7,
};

// Error codes; error_text() turns them into words.
enum FMOD_ERRORS {
  FMOD_ERR_NONE = 0,
  FMOD_ERR_BUSY = 1,           // call not allowed after FSOUND_Init
  FMOD_ERR_UNINITIALIZED = 2,  // stream call before FSOUND_Init
  FMOD_ERR_INIT = 3,           // no device, or it could not be opened
  FMOD_ERR_ALLOCATED = 4,      // device busy
  FMOD_ERR_PLAY = 5,           // the stream would not start
  FMOD_ERR_OUTPUT_FORMAT = 6,
  FMOD_ERR_MEMORY = 12,
  FMOD_ERR_INVALID_PARAM = 14,
};

// Stream mode bits. Only 16-bit signed stereo is supported; other bits are ignored.
constexpr unsigned FSOUND_16BITS = 0x10;
constexpr unsigned FSOUND_STEREO = 0x40;
constexpr unsigned FSOUND_SIGNED = 0x100;

struct FSOUND_STREAM;

// Fills `buffer` (`length` bytes of interleaved 16-bit stereo). Called on the
// layer's audio thread with the stream handle and the user data given at creation.
using FSOUND_STREAMCALLBACK = signed char (*)(void* stream, void* buffer, int length, void* user_data);

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
FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int length, unsigned int mode,
                                    int sample_rate, void* user_data);
// Starts the stream; returns the channel, or -1 on failure.
int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream);
signed char FSOUND_Stream_Close(FSOUND_STREAM* stream);
