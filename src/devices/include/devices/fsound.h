#pragma once
// The audio layer wsy plays through: output types, drivers, initialisation and
// one callback stream. Called from the main thread only; the stream's callback
// runs on a thread of the output's own. The outputs themselves are in
// audio_output.h; block size, statistics and latency in block_size.h and
// stream_statistics.h.
#include <cstdint>

#include "devices/layer_error.h"
#include "midi/raw_midi_event.h"

// Output types as FSOUND_SetOutput takes them and FSOUND_GetOutput reports
// them, each named after what it opens. The console menu's keys select codes
// 2, 1, 7 and 0; codes 2 and 1 are the menu's and select ALSA and OSS, which
// FSOUND_GetOutput then reports as 6 and 4. Codes 3 and 5 are refused.
enum OutputType {
  kOutputNoSound = 0,       // a paced thread that computes the samples and discards them
  kOutputOssMenuCode = 1,   // selects kOutputOss
  kOutputAlsaMenuCode = 2,  // selects kOutputAlsa
  kOutputOss = 4,           // OSS through PortAudio
  kOutputAlsa = 6,          // ALSA through PortAudio
  kOutputJack = 7,          // wsy's own JACK client
};

// Stream mode bits. Only 16-bit signed stereo is supported; other bits are ignored.
constexpr unsigned kMode16Bits = 0x10;
constexpr unsigned kModeStereo = 0x40;
constexpr unsigned kModeSigned = 0x100;
constexpr unsigned kModeProgramFlag = 0x1000000;  // set by the program; means nothing to this layer

// The rates the layer plays at, in frames per second: those wsy's sound can
// be computed at. FSOUND_Init and FSOUND_Stream_Create refuse any other.
constexpr int kLowestRate = 8000;
constexpr int kHighestRate = 192000;

// FSOUND_Init flag: an output whose device keeps a rate of its own (the
// JACK server's) plays at that rate, whatever `mix_rate` asks for. Without
// it such a device must run at `mix_rate` exactly. Outputs that play at the
// rate they are asked for (ALSA, OSS, NoSound) take `mix_rate` either way.
constexpr unsigned kInitDeviceRate = 0x10000000;

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
// ("this output" for a code FSOUND_GetOutput never reports).
const char* output_label(int output);
// The output type as the console's driver list names it: "Alsa", "ASIO", ...
// (empty for a code FSOUND_GetOutput never reports).
const char* output_menu_title(int output);

signed char FSOUND_SetOutput(int output_type);
int FSOUND_GetOutput();
// Output devices of the selected output, the system default first. Asked anew
// at each call; "No sound" is the one driver of the NoSound output.
int FSOUND_GetNumDrivers();
const char* FSOUND_GetDriverName(int driver);
signed char FSOUND_SetDriver(int driver);
signed char FSOUND_Init(int mix_rate, int max_software_channels, unsigned int flags);
// The rate the layer plays at since FSOUND_Init: `mix_rate`, or with
// kInitDeviceRate the device's own. 0 when it is not initialised.
int FSOUND_GetOutputRate();
// Stops and closes every stream and releases the sound libraries. Safe to call at any time.
void FSOUND_Close();
int FSOUND_GetError();

// `length`: the largest block in bytes the callback is asked to fill at once.
AudioStream* FSOUND_Stream_Create(StreamCallback callback, int length, unsigned int mode,
                                    int sample_rate, void* user_data);
// Starts the stream; returns the channel, or -1 on failure.
int FSOUND_Stream_Play(int channel, AudioStream* stream);
signed char FSOUND_Stream_Close(AudioStream* stream);
