#include "devices/portaudio_output.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "devices/audio_stream.h"
#include "devices/block_size.h"
#include "devices/fsound.h"
#include "devices/layer_error.h"
#include "devices/library_chatter.h"
#include "devices/stream_statistics.h"
#include "devices/terminal_signals.h"

namespace {

bool pa_tried = false;
bool pa_up = false;

bool start_portaudio() {
  if (pa_tried) return pa_up;
  pa_tried = true;
  silence_library_chatter();
  setenv("JACK_NO_START_SERVER", "1", 0);  // list a running server, never start one
  // Here and below: PortAudio's host APIs and ALSA's plugins (PulseAudio's,
  // JACK's) may start threads of their own when devices are listed or opened.
  const TerminalSignalsBlocked for_library_threads;
  const PaError err = Pa_Initialize();
  if (err != paNoError) {
    std::fprintf(stderr, "wsy: the audio system (PortAudio) could not start: %s; only NoSound (4) can play.\n",
                 Pa_GetErrorText(err));
    return false;
  }
  pa_up = true;
  return true;
}

PaHostApiIndex host_api(int output) {
  PaHostApiTypeId type;
  switch (output) {
    case kOutputAlsa: type = paALSA; break;
    case kOutputOss: type = paOSS; break;
    default: return -1;
  }
  if (!start_portaudio()) return -1;
  const PaHostApiIndex index = Pa_HostApiTypeIdToHostApiIndex(type);
  return index < 0 ? -1 : index;
}

// Output devices of the output's host API, its default first.
std::vector<PaDeviceIndex> devices(int output) {
  std::vector<PaDeviceIndex> list;
  const PaHostApiIndex api = host_api(output);
  if (api < 0) return list;
  const PaHostApiInfo* info = Pa_GetHostApiInfo(api);
  if (!info) return list;
  const PaDeviceIndex preferred = info->defaultOutputDevice;
  if (preferred >= 0) list.push_back(preferred);
  for (int i = 0; i < info->deviceCount; ++i) {
    const PaDeviceIndex device = Pa_HostApiDeviceIndexToDeviceIndex(api, i);
    const PaDeviceInfo* d = device >= 0 ? Pa_GetDeviceInfo(device) : nullptr;
    if (d && d->maxOutputChannels > 0 && device != preferred) list.push_back(device);
  }
  return list;
}

int code_for(PaError err) {
  switch (err) {
    case paInsufficientMemory: return kErrNoMemory;
    case paDeviceUnavailable: return kErrDeviceInUse;
    case paInvalidFlag:
    case paBadBufferPtr:
    case paBadIODeviceCombination: return kErrBadParameter;
    default: return kErrOutputInit;
  }
}

// Output parameters for the chosen device, or false with a message.
bool output_parameters(int output, int driver, int sample_rate, PaStreamParameters& out, std::string& host,
                       std::string& name) {
  const std::vector<PaDeviceIndex> list = devices(output);
  if (driver < 0 || driver >= static_cast<int>(list.size())) {
    std::fprintf(stderr, "wsy: %s has no output device number %d (%zu found); choose another output.\n",
                 output_label(output), driver + 1, list.size());
    return false;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(list[driver]);
  const int asked = block_frames_from_environment();
  out = PaStreamParameters{};
  out.device = list[driver];
  out.channelCount = 2;
  out.sampleFormat = paInt16;
  out.suggestedLatency = static_cast<double>(asked ? asked : kDefaultBlockFrames) / sample_rate;
  out.hostApiSpecificStreamInfo = nullptr;
  host = Pa_GetHostApiInfo(info->hostApi)->name;
  name = info->name;
  return true;
}

void explain(const char* what, const std::string& host, const std::string& name, int sample_rate,
             PaError err) {
  std::fprintf(stderr, "wsy: %s %s device \"%s\" for 16-bit stereo at %d Hz: %s.\n", what, host.c_str(),
               name.c_str(), sample_rate, Pa_GetErrorText(err));
}

void pa_finished(void* user) {
  static_cast<AudioStream*>(user)->record.finished.store(true, std::memory_order_relaxed);
}

}  // namespace

int portaudio_stream_callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                              PaStreamCallbackFlags status, void* user) {
  AudioStream* s = static_cast<AudioStream*>(user);
  StreamRecord& record = s->record;
  const long long started = block_started(record);
  if (record.first_block_frames.load(std::memory_order_relaxed) == 0)
    record.first_block_frames.store(static_cast<long>(frames), std::memory_order_relaxed);
  if (status & paOutputUnderflow) count_underflow(record);
  // The block's first sample reaches the device at outputBufferDacTime.
  block_reaches_device(record, time->outputBufferDacTime, time->currentTime);
  unsigned char* out = static_cast<unsigned char*>(output);
  unsigned long bytes = frames * 4;
  while (bytes > 0) {
    const int chunk = static_cast<int>(std::min<unsigned long>(bytes, s->max_bytes));
    s->callback(s, out, chunk, s->user_data);
    out += chunk;
    bytes -= chunk;
  }
  block_done(record, static_cast<long>(frames), s->sample_rate, started);
  return paContinue;
}

int portaudio_driver_count(int output) { return static_cast<int>(devices(output).size()); }

const char* portaudio_driver_name(int output, int driver) {
  const std::vector<PaDeviceIndex> list = devices(output);
  if (driver < 0 || driver >= static_cast<int>(list.size())) return nullptr;
  return Pa_GetDeviceInfo(list[driver])->name;
}

int portaudio_check(int output, int driver, int sample_rate) {
  if (host_api(output) < 0) {
    std::fprintf(stderr, "wsy: %s is not available here: no output device was found for it.\n",
                 output_label(output));
    return kErrOutputInit;
  }
  PaStreamParameters out;
  std::string host, name;
  if (!output_parameters(output, driver, sample_rate, out, host, name)) return kErrOutputInit;
  const TerminalSignalsBlocked for_library_threads;
  const PaError err = Pa_IsFormatSupported(nullptr, &out, sample_rate);
  if (err != paFormatIsSupported) {
    explain("cannot use the", host, name, sample_rate, err);
    return code_for(err);
  }
  return kErrNone;
}

int portaudio_open(AudioStream& s, int output, int driver) {
  PortAudioStream& pa = s.portaudio;
  PaStreamParameters out;
  if (!output_parameters(output, driver, s.sample_rate, out, pa.host_name, pa.device_name)) return kErrOutputInit;
  const unsigned long frames = s.asked_frames ? s.asked_frames : paFramesPerBufferUnspecified;
  const TerminalSignalsBlocked for_library_threads;
  const PaError err =
      Pa_OpenStream(&pa.stream, nullptr, &out, s.sample_rate, frames, paClipOff | paDitherOff,
                    portaudio_stream_callback, &s);
  if (err != paNoError) {
    explain("cannot open the", pa.host_name, pa.device_name, s.sample_rate, err);
    return code_for(err);
  }
  Pa_SetStreamFinishedCallback(pa.stream, pa_finished);
  return kErrNone;
}

int portaudio_start(AudioStream& s) {
  forward_jack_errors(true);
  const TerminalSignalsBlocked for_the_callback_thread;
  const PaError err = Pa_StartStream(s.portaudio.stream);
  if (err != paNoError) {
    std::fprintf(stderr, "wsy: the %s device \"%s\" would not start: %s.\n", s.portaudio.host_name.c_str(),
                 s.portaudio.device_name.c_str(), Pa_GetErrorText(err));
    return kErrPlay;
  }
  measure_latency_if_asked(s.record);
  return kErrNone;
}

void portaudio_stop(AudioStream& s) { Pa_StopStream(s.portaudio.stream); }

void portaudio_close(AudioStream& s) {
  // Closing a device may close a library's client that put back a signal mask
  // it saved under a guard (libjack, behind ALSA's JACK plugin).
  const TerminalSignalsBlocked for_library_masks;
  if (!s.lost) Pa_CloseStream(s.portaudio.stream);
}

void portaudio_report_playing(const AudioStream& s) {
  const PortAudioStream& pa = s.portaudio;
  // The block size is known once the device has asked for the first one.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (s.record.first_block_frames.load(std::memory_order_relaxed) == 0 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const long block = s.record.first_block_frames.load(std::memory_order_relaxed);
  const PaStreamInfo* info = Pa_GetStreamInfo(pa.stream);
  const double latency = info ? info->outputLatency : 0.0;
  std::fprintf(stderr, "wsy: playing through %s, device \"%s\": ", pa.host_name.c_str(), pa.device_name.c_str());
  if (block > 0)
    std::fprintf(stderr, "%ld-frame blocks%s", block, s.asked_frames ? " (WSY_BUFFER_FRAMES)" : "");
  else
    std::fputs("no block asked for yet", stderr);
  std::fprintf(stderr, ", output latency %.1f ms (%.0f frames) at %d Hz.\n", latency * 1000.0, latency * s.sample_rate,
               s.sample_rate);
}

bool portaudio_device_gone(AudioStream& s) {
  // A host API that gives up on a broken device ends the stream (it is no
  // longer active) and calls the finished callback.
  if (!s.record.finished.load(std::memory_order_relaxed) && Pa_IsStreamActive(s.portaudio.stream) == 1)
    return false;
  forward_jack_errors(false);  // an ALSA device played through JACK's plugin: what it says next is noise
  return true;
}

double portaudio_stream_time(const AudioStream& s) { return Pa_GetStreamTime(s.portaudio.stream); }

void portaudio_release(bool device_lost) {
  const TerminalSignalsBlocked for_library_masks;  // as in portaudio_close
  if (pa_up && !device_lost) Pa_Terminate();
  pa_up = false;
  pa_tried = false;
}
