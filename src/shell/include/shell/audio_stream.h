#pragma once
// One callback stream of the audio layer: what every output kind shares, and
// the part each kind keeps for itself. Created, started, stopped and closed on
// the main thread; the callback runs on the output's own audio thread.
#include "shell/fsound.h"
#include "shell/nosound_output.h"
#include "shell/portaudio_output.h"

// Which output plays a stream; audio_output.cc routes every call by it.
enum class OutputKind { kNoSound, kPortAudio };

struct AudioStream {
  OutputKind kind = OutputKind::kNoSound;
  StreamCallback callback = nullptr;
  void* user_data = nullptr;
  int max_bytes = 0;  // largest block handed to the callback, whole frames
  int sample_rate = 0;
  int asked_frames = 0;  // block size asked of the device (WSY_BUFFER_FRAMES), 0 for the output's own
  bool playing = false;
  bool lost = false;  // the device went away: the output is not called for it any more

  PortAudioStream portaudio;
  NoSoundStream nosound;
};
