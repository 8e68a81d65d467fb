#include "devices/block_size.h"

#include <cstdio>
#include <cstdlib>

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

int block_frames_from_environment() {
  static int frames = -2;  // not read yet
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
