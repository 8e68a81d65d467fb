#include "devices/audio_output.h"

#include "devices/layer_error.h"

OutputKind output_kind(int output) {
  switch (output) {
    case kOutputNoSound: return OutputKind::kNoSound;
    case kOutputJack: return OutputKind::kJack;
    default: return OutputKind::kPortAudio;
  }
}

int output_driver_count(int output) {
  switch (output_kind(output)) {
    case OutputKind::kNoSound: return nosound_driver_count();
    case OutputKind::kPortAudio: return portaudio_driver_count(output);
    case OutputKind::kJack: return jack_stream_driver_count();
  }
  return 0;
}

const char* output_driver_name(int output, int driver) {
  switch (output_kind(output)) {
    case OutputKind::kNoSound: return nosound_driver_name(driver);
    case OutputKind::kPortAudio: return portaudio_driver_name(output, driver);
    case OutputKind::kJack: return jack_stream_driver_name(driver);
  }
  return nullptr;
}

int output_check(int output, int driver, bool device_rate, int& sample_rate) {
  switch (output_kind(output)) {
    case OutputKind::kNoSound: return nosound_check(driver);
    case OutputKind::kPortAudio: return portaudio_check(output, driver, sample_rate);
    case OutputKind::kJack: return jack_stream_check(driver, device_rate, sample_rate);
  }
  return kErrOutputInit;
}

int output_open(AudioStream& stream, int output, int driver) {
  stream.kind = output_kind(output);
  switch (stream.kind) {
    case OutputKind::kNoSound: return nosound_open(stream);
    case OutputKind::kPortAudio: return portaudio_open(stream, output, driver);
    case OutputKind::kJack: return jack_stream_open(stream);
  }
  return kErrOutputInit;
}

int output_start(AudioStream& stream) {
  switch (stream.kind) {
    case OutputKind::kNoSound: return nosound_start(stream);
    case OutputKind::kPortAudio: return portaudio_start(stream);
    case OutputKind::kJack: return jack_stream_start(stream);
  }
  return kErrPlay;
}

void output_stop(AudioStream& stream) {
  if (!stream.playing) return;
  stream.playing = false;
  if (stream.lost) return;
  switch (stream.kind) {
    case OutputKind::kNoSound: nosound_stop(stream); break;
    case OutputKind::kPortAudio: portaudio_stop(stream); break;
    case OutputKind::kJack: jack_stream_stop(stream); break;
  }
}

void output_close(AudioStream& stream) {
  switch (stream.kind) {
    case OutputKind::kNoSound: break;  // the stream's own members let go of it
    case OutputKind::kPortAudio: portaudio_close(stream); break;
    case OutputKind::kJack: jack_stream_close(stream); break;
  }
}

void output_report_playing(const AudioStream& stream) {
  switch (stream.kind) {
    case OutputKind::kNoSound: nosound_report_playing(stream); break;
    case OutputKind::kPortAudio: portaudio_report_playing(stream); break;
    case OutputKind::kJack: jack_stream_report_playing(stream); break;
  }
}

double output_stream_time(const AudioStream& stream) {
  switch (stream.kind) {
    case OutputKind::kNoSound: return 0.0;  // never measured: it has no device
    case OutputKind::kPortAudio: return portaudio_stream_time(stream);
    case OutputKind::kJack: return jack_stream_stream_time(stream);
  }
  return 0.0;
}

void output_release(bool device_lost) { portaudio_release(device_lost); }

bool fsound_stream_lost(AudioStream* stream) {
  if (!stream || !stream->playing) return false;
  if (stream->lost) return true;
  switch (stream->kind) {
    case OutputKind::kNoSound: break;  // no device to lose
    case OutputKind::kPortAudio: stream->lost = portaudio_device_gone(*stream); break;
    case OutputKind::kJack: stream->lost = jack_stream_gone(*stream); break;
  }
  return stream->lost;
}

bool fsound_stream_take_midi(AudioStream* stream, StreamMidiCallback callback, const std::vector<std::string>& sources) {
  if (!stream || stream->kind != OutputKind::kJack) return false;
  stream->midi_callback = callback;
  stream->midi_sources = sources;
  return true;
}

std::string fsound_stream_label(const AudioStream* stream) {
  if (!stream) return "";
  switch (stream->kind) {
    case OutputKind::kNoSound: return output_label(kOutputNoSound);
    case OutputKind::kPortAudio:
      return stream->portaudio.host_name + ", device \"" + stream->portaudio.device_name + "\"";
    case OutputKind::kJack:
      return std::string(output_label(kOutputJack)) + ", client \"" +
             (stream->jack.client ? stream->jack.client->client_name() : "") + "\"";
  }
  return "";
}

std::string fsound_stream_midi_input(const AudioStream* stream) {
  return stream && stream->kind == OutputKind::kJack ? jack_stream_midi_input(*stream) : "";
}
