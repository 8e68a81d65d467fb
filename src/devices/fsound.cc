// The audio layer's calls: each checks its arguments against what the layer
// remembers, hands the work to the chosen output, and records the error.
#include "devices/fsound.h"

#include <algorithm>
#include <new>

#include "devices/audio_output.h"
#include "devices/audio_stream.h"
#include "devices/block_size.h"
#include "devices/layer_state.h"
#include "devices/library_chatter.h"
#include "devices/stream_statistics.h"

namespace {

bool is_open(AudioStream* stream) {
  return std::find(layer.streams.begin(), layer.streams.end(), stream) != layer.streams.end();
}

// Every output FSOUND_GetOutput can report, by its names.
struct OutputNames {
  int output;
  const char* label;       // in messages: what it really is here
  const char* menu_title;  // in the console's driver list, as the menu calls it
};
constexpr OutputNames kOutputNames[] = {
    {kOutputNoSound, "NoSound", "NoSound"},
    {kOutputOss, "OSS", "Open Sound System"},
    {kOutputAlsa, "ALSA", "Alsa"},
    {kOutputJack, "JACK", "ASIO"},
};

const OutputNames* names_of(int output) {
  for (const OutputNames& names : kOutputNames)
    if (names.output == output) return &names;
  return nullptr;
}

}  // namespace

const char* output_label(int output) {
  const OutputNames* names = names_of(output);
  return names ? names->label : "this output";
}

const char* output_menu_title(int output) {
  const OutputNames* names = names_of(output);
  return names ? names->menu_title : "";
}

signed char FSOUND_SetOutput(int output_type) {
  if (layer.initialised) return layer_fail(kErrAfterInit);
  switch (output_type) {
    case kOutputNoSound: layer.output = kOutputNoSound; break;
    case kOutputAlsaMenuCode:
    case kOutputAlsa: layer.output = kOutputAlsa; break;
    case kOutputOssMenuCode:
    case kOutputOss: layer.output = kOutputOss; break;
    case kOutputJack: layer.output = kOutputJack; break;
    default: return layer_fail(kErrBadParameter);
  }
  return 1;
}

int FSOUND_GetOutput() { return layer.output; }

int FSOUND_GetNumDrivers() { return output_driver_count(layer.output); }

const char* FSOUND_GetDriverName(int driver) {
  const char* name = output_driver_name(layer.output, driver);
  if (!name) {
    layer_fail(kErrBadParameter);
    return nullptr;
  }
  layer.names.push_back(name);
  return layer.names.back().c_str();
}

signed char FSOUND_SetDriver(int driver) {
  if (layer.initialised) return layer_fail(kErrAfterInit);
  if (driver < 0) return layer_fail(kErrBadParameter);
  layer.driver = driver;
  return 1;
}

signed char FSOUND_Init(int mix_rate, int max_software_channels, unsigned int flags) {
  if (layer.initialised) return layer_fail(kErrAfterInit);
  if (mix_rate < kLowestRate || mix_rate > kHighestRate || max_software_channels < 0)
    return layer_fail(kErrBadParameter);
  int rate = mix_rate;
  const int error = output_check(layer.output, layer.driver, (flags & kInitDeviceRate) != 0, rate);
  if (error != kErrNone) return layer_fail(error);
  layer.initialised = true;
  layer.rate = rate;
  layer.error = kErrNone;
  return 1;
}

void FSOUND_Close() {
  forward_jack_errors(false);
  bool lost = false;
  for (AudioStream* s : layer.streams) lost = lost || s->lost;
  // A lost device would keep every call waiting: leave its streams to the end of the process.
  if (lost) layer.streams.clear();
  while (!layer.streams.empty()) FSOUND_Stream_Close(layer.streams.back());
  output_release(lost);
  layer.initialised = false;
  layer.rate = 0;
  layer.names.clear();
}

int FSOUND_GetOutputRate() { return layer.initialised ? layer.rate : 0; }

int FSOUND_GetError() { return layer.error; }

AudioStream* FSOUND_Stream_Create(StreamCallback callback, int length, unsigned int mode, int sample_rate,
                                    void* user_data) {
  if (!layer.initialised) {
    layer_fail(kErrNotInitialised);
    return nullptr;
  }
  const unsigned needed = kMode16Bits | kModeStereo;
  if (!callback || length < 4 || (mode & needed) != needed || sample_rate < kLowestRate ||
      sample_rate > kHighestRate) {
    layer_fail(kErrBadParameter);
    return nullptr;
  }
  AudioStream* s = new (std::nothrow) AudioStream;
  if (!s) {
    layer_fail(kErrNoMemory);
    return nullptr;
  }
  s->callback = callback;
  s->user_data = user_data;
  s->max_bytes = length & ~3;
  s->sample_rate = sample_rate;
  s->asked_frames = block_frames_from_environment();
  const int error = output_open(*s, layer.output, layer.driver);
  if (error != kErrNone) {
    delete s;
    layer_fail(error);
    return nullptr;
  }
  layer.streams.push_back(s);
  layer.error = kErrNone;
  return s;
}

int FSOUND_Stream_Play(int channel, AudioStream* stream) {
  if (!layer.initialised) {
    layer_fail(kErrNotInitialised);
    return -1;
  }
  if (!stream || channel < 0 || !is_open(stream)) {
    layer_fail(kErrBadParameter);
    return -1;
  }
  if (stream->playing) return channel;
  const int error = output_start(*stream);
  if (error != kErrNone) {
    layer_fail(error);
    return -1;
  }
  stream->playing = true;
  layer.error = kErrNone;
  output_report_playing(*stream);
  return channel;
}

signed char FSOUND_Stream_Close(AudioStream* stream) {
  if (!stream || !is_open(stream)) return layer_fail(kErrBadParameter);
  layer.streams.erase(std::find(layer.streams.begin(), layer.streams.end(), stream));
  output_stop(*stream);
  output_close(*stream);
  delete stream;
  return 1;
}
