#pragma once
// The outputs wsy reaches through PortAudio: ALSA and OSS, each a host
// API whose output devices are the drivers, the host API's default first.
// PortAudio starts on the first call that needs a device list.
#include <portaudio.h>

#include <string>

struct AudioStream;

// What a PortAudio stream keeps besides the common part.
struct PortAudioStream {
  PaStream* stream = nullptr;
  std::string host_name;
  std::string device_name;
  // The first block's size and the end of the stream are in AudioStream::record.
};

// `output` is an output type (kOutputAlsa or kOutputOss), `driver`
// an index into its device list. Calls that can fail return a LayerError and
// say why on standard error.
int portaudio_driver_count(int output);
const char* portaudio_driver_name(int output, int driver);  // nullptr when there is no such device
int portaudio_check(int output, int driver, int sample_rate);
int portaudio_open(AudioStream& stream, int output, int driver);
int portaudio_start(AudioStream& stream);
void portaudio_stop(AudioStream& stream);
void portaudio_close(AudioStream& stream);
// Waits for the device's first block (2 s at most) to say how it plays.
void portaudio_report_playing(const AudioStream& stream);
// True once the device has gone away under a playing stream.
bool portaudio_device_gone(AudioStream& stream);
// The stream's clock in seconds, which the device times its blocks on.
double portaudio_stream_time(const AudioStream& stream);
// ---- PortAudio's callback thread ----
// The stream callback PortAudio calls with the AudioStream as `user`: records
// the first block's size and an underflow PortAudio reports, settles a key
// waiting to be measured (the block's first sample reaches the device at
// time->outputBufferDacTime), and fills `output` (`frames` frames of 16-bit
// stereo) through the stream's callback in pieces of its largest block at
// most. Returns paContinue. No allocation, no lock, no I/O.
int portaudio_stream_callback(const void* input, void* output, unsigned long frames,
                              const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags status, void* user);

// Lets PortAudio go (FSOUND_Close). With a lost device it is left to the end
// of the process: PortAudio could wait on it.
void portaudio_release(bool device_lost);
