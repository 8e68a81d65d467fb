#pragma once
// One callback stream of the audio layer: what every output kind shares, and
// the part each kind keeps for itself. Created, started, stopped and closed on
// the main thread; the callback runs on the output's own audio thread.
#include <string>
#include <vector>

#include "devices/fsound.h"
#include "devices/jack_stream.h"
#include "devices/nosound_output.h"
#include "devices/portaudio_output.h"
#include "devices/stream_record.h"

// Which output plays a stream; audio_output.cc routes every call by it.
enum class OutputKind { kNoSound, kPortAudio, kJack };

struct AudioStream {
  OutputKind kind = OutputKind::kNoSound;
  StreamCallback callback = nullptr;
  void* user_data = nullptr;
  int max_bytes = 0;  // largest block handed to the callback, whole frames
  int sample_rate = 0;
  int asked_frames = 0;  // block size asked of the device (WSY_BUFFER_FRAMES), 0 for the output's own
  bool playing = false;
  bool lost = false;  // the device went away: the output is not called for it any more
  // An output with MIDI events timed in its blocks (JACK) calls this in place
  // of `callback`; the others ignore it. `midi_sources`: ports to connect from.
  StreamMidiCallback midi_callback = nullptr;
  std::vector<std::string> midi_sources;
  // What the stream's threads tell the main thread (and the signal handler).
  StreamRecord record;

  PortAudioStream portaudio;
  NoSoundStream nosound;
  JackStream jack;
};
