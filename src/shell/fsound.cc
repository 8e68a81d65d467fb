#include "shell/fsound.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <portaudio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <deque>
#include <vector>

struct AudioStream {
  StreamCallback callback = nullptr;
  void* user_data = nullptr;
  int max_bytes = 0;  // largest block handed to the callback, whole frames
  int sample_rate = 0;
  bool playing = false;

  // Through PortAudio.
  PaStream* pa = nullptr;
  std::string host_name;
  std::string device_name;

  // NoSound: a thread of our own pulls the callback at real-time pace.
  std::thread pump;
  std::atomic<bool> pumping{false};
  std::unique_ptr<unsigned char[]> scratch;
  int pump_bytes = 0;

  // Frames of the first block asked for, 0 until then (written by the audio thread).
  std::atomic<long> first_block_frames{0};
  // Block size asked of the device (WSY_BUFFER_FRAMES), 0 for the device's own.
  int asked_frames = 0;
  // Set by PortAudio's finished callback when the stream ends by itself.
  std::atomic<bool> finished{false};
  bool lost = false;  // the device went away: PortAudio is not called for it any more
};

namespace {

constexpr float kVersion = 3.74f;
constexpr int kTargetFrames = 256;     // low latency, 5.8 ms at 44100 Hz
constexpr int kNoSoundBlockFrames = 256;
constexpr long long kBillion = 1000000000LL;

struct Layer {
  int output = kOutputAlsa;  // what FSOUND_GetOutput reports
  int driver = 0;
  bool initialised = false;
  int mix_rate = 0;
  int error = kErrNone;
  bool pa_tried = false;
  bool pa_up = false;
  std::vector<AudioStream*> streams;
  std::deque<std::string> names;  // driver names handed out; a deque keeps earlier ones in place
};

Layer layer;

// libjack reports from its own threads: once we play, its errors reach the user.
std::atomic<bool> forward_jack_errors{false};

// Written by the audio thread, read by the main thread (and a signal handler).
std::atomic<long> underflow_count{0};
std::atomic<long> block_frames_now{0};       // frames of the latest block
std::atomic<long long> last_block_end_ns{0};  // CLOCK_MONOTONIC, end of the latest block
std::atomic<long long> block_period_ns{0};

// Key-to-sound measurement (WSY_MEASURE_LATENCY).
std::atomic<bool> measuring{false};
std::atomic<bool> key_pending{false};     // main -> audio thread
std::atomic<double> key_stream_time{0.0};
std::atomic<bool> latency_ready{false};   // audio thread -> main
std::atomic<double> latency_seconds{0.0};
std::atomic<double> device_seconds{0.0};  // the part of it from the block's start to the device
std::atomic<long long> slowest_block_ns{0};  // the longest a callback took, to weigh underflows against
AudioStream* measured = nullptr;

long long monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);  // answered in user space (vDSO): fine on the audio thread
  return static_cast<long long>(now.tv_sec) * kBillion + now.tv_nsec;
}

// Bookkeeping at the end of every block, on the audio thread.
void block_done(long frames, int sample_rate) {
  block_frames_now.store(frames, std::memory_order_relaxed);
  block_period_ns.store(frames * kBillion / sample_rate, std::memory_order_relaxed);
  last_block_end_ns.store(monotonic_ns(), std::memory_order_relaxed);
}

// Appends text or a number to a fixed buffer without the C library's
// formatting, which is not safe in a signal handler.
struct Line {
  char* at;
  int left;
  int length = 0;
  void put(const char* text) {
    for (; *text && left > 1; ++text, --left, ++length) *at++ = *text;
    *at = '\0';
  }
  void put(long value) {
    char digits[24];
    int n = 0;
    unsigned long v = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do digits[n++] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0 && n < 23);
    if (value < 0) digits[n++] = '-';
    char text[25];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = '\0';
    put(text);
  }
};

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
void quiet_jack(const char*) {}
void jack_error_to_user(const char* message) {
  if (forward_jack_errors.load(std::memory_order_relaxed)) std::fprintf(stderr, "wsy: JACK: %s\n", message);
}

signed char fail(int code) {
  layer.error = code;
  return 0;
}

}  // namespace

const char* output_label(int output) {
  switch (output) {
    case kOutputNoSound: return "NoSound";
    case kOutputOss: return "OSS";
    case kOutputAlsa: return "ALSA";
    case kOutputAsio: return "JACK";
    default: return "this output";
  }
}

namespace {

bool start_portaudio() {
  if (layer.pa_tried) return layer.pa_up;
  layer.pa_tried = true;
  // Probing every ALSA plugin and looking for a JACK server prints dozens of
  // lines that mean nothing to a user; our own messages say what failed.
  snd_lib_error_set_handler(quiet_alsa);
  jack_set_error_function(jack_error_to_user);
  jack_set_info_function(quiet_jack);
  setenv("JACK_NO_START_SERVER", "1", 0);  // list a running server, never start one
  const PaError err = Pa_Initialize();
  if (err != paNoError) {
    std::fprintf(stderr, "wsy: the audio system (PortAudio) could not start: %s; only NoSound (4) can play.\n",
                 Pa_GetErrorText(err));
    return false;
  }
  layer.pa_up = true;
  return true;
}

PaHostApiIndex host_api() {
  PaHostApiTypeId type;
  switch (layer.output) {
    case kOutputAlsa: type = paALSA; break;
    case kOutputOss: type = paOSS; break;
    case kOutputAsio: type = paJACK; break;
    default: return -1;
  }
  if (!start_portaudio()) return -1;
  const PaHostApiIndex index = Pa_HostApiTypeIdToHostApiIndex(type);
  return index < 0 ? -1 : index;
}

// Output devices of the selected host API, its default first.
std::vector<PaDeviceIndex> devices() {
  std::vector<PaDeviceIndex> list;
  const PaHostApiIndex api = host_api();
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

// The block size WSY_BUFFER_FRAMES asks for, 0 when it asks for none. A bad
// value is reported once and leaves the default.
int requested_frames() {
  static int frames = -2;
  if (frames != -2) return frames;
  const char* text = std::getenv("WSY_BUFFER_FRAMES");
  frames = fsound_parse_block_frames(text);
  if (frames < 0) {
    std::fprintf(stderr,
                 "wsy: WSY_BUFFER_FRAMES=\"%s\" is not a block size (a whole number of frames from %d to %d); "
                 "using the default.\n",
                 text, kMinBlockFrames, kMaxBlockFrames);
    frames = 0;
  }
  return frames;
}

// Output parameters for the chosen device, or false with a message and the error set.
bool output_parameters(int sample_rate, PaStreamParameters& out, std::string& host, std::string& name) {
  const std::vector<PaDeviceIndex> list = devices();
  if (layer.driver < 0 || layer.driver >= static_cast<int>(list.size())) {
    std::fprintf(stderr, "wsy: %s has no output device number %d (%zu found); choose another output.\n",
                 output_label(layer.output), layer.driver + 1, list.size());
    fail(kErrOutputInit);
    return false;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(list[layer.driver]);
  out = PaStreamParameters{};
  out.device = list[layer.driver];
  out.channelCount = 2;
  out.sampleFormat = paInt16;
  out.suggestedLatency = static_cast<double>(requested_frames() ? requested_frames() : kTargetFrames) / sample_rate;
  out.hostApiSpecificStreamInfo = nullptr;
  host = Pa_GetHostApiInfo(info->hostApi)->name;
  name = info->name;
  return true;
}

void explain(const char* what, const std::string& host, const std::string& name, int sample_rate, PaError err) {
  std::fprintf(stderr, "wsy: %s %s device \"%s\" for 16-bit stereo at %d Hz: %s", what, host.c_str(),
               name.c_str(), sample_rate, Pa_GetErrorText(err));
  if (err == paInvalidSampleRate && layer.output == kOutputAsio)
    std::fprintf(stderr, " (start the JACK server with -r %d)", sample_rate);
  std::fputs(".\n", stderr);
}

// Hands a PortAudio block to the callback, in pieces no larger than max_bytes.
// Real-time code like the callback it calls: no allocation, no lock, no I/O.
int pa_callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                PaStreamCallbackFlags status, void* user) {
  AudioStream* s = static_cast<AudioStream*>(user);
  const bool timing = measuring.load(std::memory_order_relaxed);
  const long long started = timing ? monotonic_ns() : 0;
  if (s->first_block_frames.load(std::memory_order_relaxed) == 0)
    s->first_block_frames.store(static_cast<long>(frames), std::memory_order_relaxed);
  if (status & paOutputUnderflow) underflow_count.fetch_add(1, std::memory_order_relaxed);
  // A key acted on before this block started sounds from the block's first
  // sample, which reaches the device at outputBufferDacTime.
  if (key_pending.load(std::memory_order_acquire)) {
    latency_seconds.store(time->outputBufferDacTime - key_stream_time.load(std::memory_order_relaxed),
                          std::memory_order_relaxed);
    device_seconds.store(time->outputBufferDacTime - time->currentTime, std::memory_order_relaxed);
    latency_ready.store(true, std::memory_order_release);
    key_pending.store(false, std::memory_order_release);
  }
  unsigned char* out = static_cast<unsigned char*>(output);
  unsigned long bytes = frames * 4;
  while (bytes > 0) {
    const int chunk = static_cast<int>(std::min<unsigned long>(bytes, s->max_bytes));
    s->callback(s, out, chunk, s->user_data);
    out += chunk;
    bytes -= chunk;
  }
  block_done(static_cast<long>(frames), s->sample_rate);
  if (timing) {
    const long long took = last_block_end_ns.load(std::memory_order_relaxed) - started;
    if (took > slowest_block_ns.load(std::memory_order_relaxed)) slowest_block_ns.store(took, std::memory_order_relaxed);
  }
  return paContinue;
}

void pa_finished(void* user) { static_cast<AudioStream*>(user)->finished.store(true, std::memory_order_relaxed); }

// NoSound: pulls blocks at the stream's rate against the monotonic clock and
// throws them away. After a long stall it starts afresh rather than catch up in a burst.
void pump(AudioStream* s) {
  using Clock = std::chrono::steady_clock;
  const long frames = s->pump_bytes / 4;
  auto start = Clock::now();
  long long done = 0;
  while (s->pumping.load(std::memory_order_relaxed)) {
    s->callback(s, s->scratch.get(), s->pump_bytes, s->user_data);
    block_done(frames, s->sample_rate);
    done += frames;
    auto due = start + std::chrono::nanoseconds(done * 1000000000LL / s->sample_rate);
    const auto now = Clock::now();
    if (now - due > std::chrono::milliseconds(200)) {
      start = now;
      done = 0;
      continue;
    }
    std::this_thread::sleep_until(due);
  }
}

void stop(AudioStream* s) {
  if (!s->playing) return;
  s->playing = false;
  if (s->lost) return;  // stopping would wait for a device that is gone
  if (s->pa) {
    Pa_StopStream(s->pa);
  } else {
    s->pumping.store(false, std::memory_order_relaxed);
    if (s->pump.joinable()) s->pump.join();
  }
}

void report_playing(AudioStream* s) {
  if (!s->pa) {
    std::fprintf(stderr,
                 "wsy: playing without sound (NoSound): %ld-frame blocks%s at %d Hz are computed and discarded.\n",
                 static_cast<long>(s->pump_bytes / 4), s->asked_frames ? " (WSY_BUFFER_FRAMES)" : "", s->sample_rate);
    return;
  }
  // The block size is known once the device has asked for the first one.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (s->first_block_frames.load(std::memory_order_relaxed) == 0 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const long block = s->first_block_frames.load(std::memory_order_relaxed);
  const PaStreamInfo* info = Pa_GetStreamInfo(s->pa);
  const double latency = info ? info->outputLatency : 0.0;
  std::fprintf(stderr, "wsy: playing through %s, device \"%s\": ", s->host_name.c_str(), s->device_name.c_str());
  if (block > 0)
    std::fprintf(stderr, "%ld-frame blocks%s", block, s->asked_frames ? " (WSY_BUFFER_FRAMES)" : "");
  else
    std::fputs("no block asked for yet", stderr);
  std::fprintf(stderr, ", output latency %.1f ms (%.0f frames).\n", latency * 1000.0, latency * s->sample_rate);
}

}  // namespace

float FSOUND_GetVersion() { return kVersion; }

signed char FSOUND_SetOutput(int output_type) {
  if (layer.initialised) return fail(kErrAfterInit);
  switch (output_type) {
    case kOutputNoSound: layer.output = kOutputNoSound; break;
    case kOutputDirectSound:
    case kOutputAlsa: layer.output = kOutputAlsa; break;
    case kOutputWaveout:
    case kOutputOss: layer.output = kOutputOss; break;
    case kOutputAsio: layer.output = kOutputAsio; break;
    default: return fail(kErrBadParameter);
  }
  return 1;
}

int FSOUND_GetOutput() { return layer.output; }

int FSOUND_GetNumDrivers() {
  if (layer.output == kOutputNoSound) return 1;
  return static_cast<int>(devices().size());
}

const char* FSOUND_GetDriverName(int driver) {
  if (layer.output == kOutputNoSound) {
    if (driver == 0) return "No sound";
    fail(kErrBadParameter);
    return nullptr;
  }
  const std::vector<PaDeviceIndex> list = devices();
  if (driver < 0 || driver >= static_cast<int>(list.size())) {
    fail(kErrBadParameter);
    return nullptr;
  }
  layer.names.push_back(Pa_GetDeviceInfo(list[driver])->name);
  return layer.names.back().c_str();
}

signed char FSOUND_SetDriver(int driver) {
  if (layer.initialised) return fail(kErrAfterInit);
  if (driver < 0) return fail(kErrBadParameter);
  layer.driver = driver;
  return 1;
}

signed char FSOUND_Init(int mix_rate, int max_software_channels, unsigned int /*flags*/) {
  if (layer.initialised) return fail(kErrAfterInit);
  if (mix_rate < 4000 || mix_rate > 192000 || max_software_channels < 0) return fail(kErrBadParameter);
  if (layer.output != kOutputNoSound) {
    if (host_api() < 0) {
      std::fprintf(stderr, "wsy: %s is not available here: no output device was found for it.\n",
                   output_label(layer.output));
      return fail(kErrOutputInit);
    }
    PaStreamParameters out;
    std::string host, name;
    if (!output_parameters(mix_rate, out, host, name)) return 0;
    const PaError err = Pa_IsFormatSupported(nullptr, &out, mix_rate);
    if (err != paFormatIsSupported) {
      explain("cannot use the", host, name, mix_rate, err);
      return fail(code_for(err));
    }
  } else if (layer.driver != 0) {
    std::fprintf(stderr, "wsy: NoSound has one driver only, number 1.\n");
    return fail(kErrOutputInit);
  }
  layer.mix_rate = mix_rate;
  layer.initialised = true;
  underflow_count.store(0, std::memory_order_relaxed);
  layer.error = kErrNone;
  return 1;
}

void FSOUND_Close() {
  forward_jack_errors.store(false, std::memory_order_relaxed);
  bool lost = false;
  for (AudioStream* s : layer.streams) lost = lost || s->lost;
  // PortAudio would wait on a lost JACK server for a second per call: leave
  // it, and the lost streams, to the end of the process.
  if (lost) layer.streams.clear();
  while (!layer.streams.empty()) FSOUND_Stream_Close(layer.streams.back());
  measured = nullptr;
  if (layer.pa_up && !lost) Pa_Terminate();
  layer.pa_up = false;
  layer.pa_tried = false;
  layer.initialised = false;
  layer.names.clear();
}

int FSOUND_GetError() { return layer.error; }

AudioStream* FSOUND_Stream_Create(StreamCallback callback, int length, unsigned int mode, int sample_rate,
                                    void* user_data) {
  if (!layer.initialised) {
    fail(kErrNotInitialised);
    return nullptr;
  }
  const unsigned needed = kMode16Bits | kModeStereo;
  if (!callback || length < 4 || (mode & needed) != needed || sample_rate < 4000 || sample_rate > 192000) {
    fail(kErrBadParameter);
    return nullptr;
  }
  AudioStream* s = new (std::nothrow) AudioStream;
  if (!s) {
    fail(kErrNoMemory);
    return nullptr;
  }
  s->callback = callback;
  s->user_data = user_data;
  s->max_bytes = length & ~3;
  s->sample_rate = sample_rate;

  s->asked_frames = requested_frames();
  if (layer.output == kOutputNoSound) {
    s->pump_bytes = std::min(s->max_bytes, (s->asked_frames ? s->asked_frames : kNoSoundBlockFrames) * 4);
    s->scratch.reset(new (std::nothrow) unsigned char[s->pump_bytes]);
    if (!s->scratch) {
      delete s;
      fail(kErrNoMemory);
      return nullptr;
    }
  } else {
    PaStreamParameters out;
    if (!output_parameters(sample_rate, out, s->host_name, s->device_name)) {
      delete s;
      return nullptr;
    }
    const unsigned long frames = s->asked_frames ? s->asked_frames : paFramesPerBufferUnspecified;
    const PaError err =
        Pa_OpenStream(&s->pa, nullptr, &out, sample_rate, frames, paClipOff | paDitherOff, pa_callback, s);
    if (err != paNoError) {
      explain("cannot open the", s->host_name, s->device_name, sample_rate, err);
      delete s;
      fail(code_for(err));
      return nullptr;
    }
    Pa_SetStreamFinishedCallback(s->pa, pa_finished);
  }
  layer.streams.push_back(s);
  layer.error = kErrNone;
  return s;
}

int FSOUND_Stream_Play(int channel, AudioStream* stream) {
  if (!layer.initialised) {
    fail(kErrNotInitialised);
    return -1;
  }
  if (!stream || channel < 0 || std::find(layer.streams.begin(), layer.streams.end(), stream) == layer.streams.end()) {
    fail(kErrBadParameter);
    return -1;
  }
  if (stream->playing) return channel;
  if (stream->pa) {
    forward_jack_errors.store(true, std::memory_order_relaxed);
    const PaError err = Pa_StartStream(stream->pa);
    if (err != paNoError) {
      std::fprintf(stderr, "wsy: the %s device \"%s\" would not start: %s.\n", stream->host_name.c_str(),
                   stream->device_name.c_str(), Pa_GetErrorText(err));
      fail(kErrPlay);
      return -1;
    }
  } else {
    stream->pumping.store(true, std::memory_order_relaxed);
    try {
      stream->pump = std::thread(pump, stream);
    } catch (const std::exception& e) {
      stream->pumping.store(false, std::memory_order_relaxed);
      std::fprintf(stderr, "wsy: cannot start the NoSound thread: %s.\n", e.what());
      fail(kErrPlay);
      return -1;
    }
  }
  stream->playing = true;
  layer.error = kErrNone;
  if (stream->pa && std::getenv("WSY_MEASURE_LATENCY")) {
    measuring.store(true, std::memory_order_relaxed);
    measured = stream;
  }
  report_playing(stream);
  return channel;
}

signed char FSOUND_Stream_Close(AudioStream* stream) {
  auto it = std::find(layer.streams.begin(), layer.streams.end(), stream);
  if (!stream || it == layer.streams.end()) return fail(kErrBadParameter);
  layer.streams.erase(it);
  if (stream == measured) measured = nullptr;
  stop(stream);
  if (stream->pa && !stream->lost) Pa_CloseStream(stream->pa);
  delete stream;
  return 1;
}

int fsound_parse_block_frames(const char* text) {
  if (!text || !*text) return 0;
  long value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return -1;
    value = value * 10 + (*c - '0');
    if (value > kMaxBlockFrames) return -1;
  }
  return value < kMinBlockFrames ? -1 : static_cast<int>(value);
}

bool fsound_stream_lost(AudioStream* s) {
  if (!s || !s->playing || !s->pa) return false;
  if (s->lost) return true;
  // JACK's shutdown only clears the stream's active state; a host API that
  // gives up on a broken device also calls the finished callback.
  if (s->finished.load(std::memory_order_relaxed) || Pa_IsStreamActive(s->pa) != 1) {
    s->lost = true;
    forward_jack_errors.store(false, std::memory_order_relaxed);  // what the dead client says next is noise
  }
  return s->lost;
}

long fsound_underflows() { return underflow_count.load(std::memory_order_relaxed); }

int fsound_underflow_line(long count, long block_frames, char* buffer, int size) {
  if (size <= 0) return 0;
  Line line{buffer, size};
  buffer[0] = '\0';
  if (count == 0 && !measuring.load(std::memory_order_relaxed)) return 0;
  line.put("wsy: ");
  line.put(count);
  line.put(count == 1 ? " underflow" : " underflows");
  if (count == 0) {
    line.put(": the device never asked for samples late.\n");
  } else {
    line.put(" while playing: the device asked for samples late and the sound broke up");
    if (block_frames > 0) {
      line.put(" (blocks of ");
      line.put(block_frames);
      line.put(" frames); if you hear crackles, try a larger WSY_BUFFER_FRAMES, such as ");
      line.put(std::min<long>(block_frames * 2, kMaxBlockFrames));
    }
    line.put(".\n");
  }
  if (measuring.load(std::memory_order_relaxed)) {
    // Measured: how close wsy itself came to being late.
    line.put("wsy: the slowest block took ");
    line.put(static_cast<long>(slowest_block_ns.load(std::memory_order_relaxed) / 1000));
    line.put(" us to fill; a block lasts ");
    line.put(static_cast<long>(block_period_ns.load(std::memory_order_relaxed) / 1000));
    line.put(" us.\n");
  }
  return line.length;
}

void fsound_report_underflows() {
  char text[512];
  const int n = fsound_underflow_line(fsound_underflows(), block_frames_now.load(std::memory_order_relaxed), text,
                                      sizeof text);
  if (n > 0 && write(STDERR_FILENO, text, n) < 0) {
    // Nothing more can be said.
  }
}

long long fsound_now_ns() { return monotonic_ns(); }

long long fsound_next_block_due_ns() {
  const long long last = last_block_end_ns.load(std::memory_order_relaxed);
  return last ? last + block_period_ns.load(std::memory_order_relaxed) : 0;
}

bool fsound_measuring_latency() { return measured != nullptr; }

double fsound_key_time() { return fsound_measuring_latency() ? Pa_GetStreamTime(measured->pa) : 0.0; }

void fsound_key_handled(double key_time) {
  if (!fsound_measuring_latency() || key_pending.load(std::memory_order_acquire)) return;
  key_stream_time.store(key_time, std::memory_order_relaxed);
  key_pending.store(true, std::memory_order_release);
}

bool fsound_take_key_latency(double& milliseconds, double& device_milliseconds) {
  if (!latency_ready.load(std::memory_order_acquire)) return false;
  milliseconds = latency_seconds.load(std::memory_order_relaxed) * 1000.0;
  device_milliseconds = device_seconds.load(std::memory_order_relaxed) * 1000.0;
  latency_ready.store(false, std::memory_order_relaxed);
  return true;
}
