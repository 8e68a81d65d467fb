#pragma once
// The outputs wsy reaches through PortAudio: ALSA, OSS and JACK, each a host
// API whose output devices are the drivers, the host API's default first.
// PortAudio starts on the first call that needs a device list.
#include <portaudio.h>

#include <atomic>
#include <string>

struct AudioStream;

// What a PortAudio stream keeps besides the common part.
struct PortAudioStream {
  PaStream* stream = nullptr;
  std::string host_name;
  std::string device_name;
  // Frames of the first block asked for, 0 until then (written by the audio thread).
  std::atomic<long> first_block_frames{0};
  // Set by PortAudio's finished callback when the stream ends by itself.
  std::atomic<bool> finished{false};
};

// `output` is an output type (kOutputAlsa, kOutputOss, kOutputAsio), `driver`
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
// Lets PortAudio go (FSOUND_Close). With a lost device it is left to the end
// of the process: PortAudio would wait on a lost JACK server for a second per call.
void portaudio_release(bool device_lost);
