#pragma once
// The audio layer wsy plays through: output types, drivers, initialisation and
// one callback stream. Called from the main thread only; the stream's callback
// runs on a thread of the output's own. The outputs themselves are in
// audio_output.h; block size, statistics and latency in block_size.h and
// stream_statistics.h.
#include <cstdint>

#include "midi/raw_midi_event.h"
#include "devices/layer_error.h"

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

// Stream mode bits. Only 16-bit signed stereo is supported; other bits are ignored.
constexpr unsigned kMode16Bits = 0x10;
constexpr unsigned kModeStereo = 0x40;
constexpr unsigned kModeSigned = 0x100;
constexpr unsigned kModeProgramFlag = 0x1000000;  // set by the program; means nothing to this layer

struct AudioStream;

// Fills `buffer` (`length` bytes of interleaved 16-bit stereo). Called on the
// layer's audio thread with the stream handle and the user data given at creation.
using StreamCallback = signed char (*)(void* stream, void* buffer, int length, void* user_data);
// Fills `frames` frames of interleaved 16-bit stereo, applying MIDI `events`
// (in time order, offsets within the block) before their frames. Called on
// the audio thread of an output that has MIDI of its own (JACK).
using StreamMidiCallback = void (*)(void* user_data, int frames, int16_t* out, const RawMidiEvent* events,
                                    int event_count);

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
// Stops and closes every stream and releases the sound libraries. Safe to call at any time.
void FSOUND_Close();
int FSOUND_GetError();

// `length`: the largest block in bytes the callback is asked to fill at once.
AudioStream* FSOUND_Stream_Create(StreamCallback callback, int length, unsigned int mode,
                                    int sample_rate, void* user_data);
// Starts the stream; returns the channel, or -1 on failure.
int FSOUND_Stream_Play(int channel, AudioStream* stream);
signed char FSOUND_Stream_Close(AudioStream* stream);
