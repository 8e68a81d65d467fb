#include "voice.h"

int choose_voice(const Voice* voices, int count, int32_t note) {
  for (int v = 0; v < count; ++v)
    if (!voices[v].busy) return v;
  int same = -1, released = -1, oldest = 0;
  for (int v = 0; v < count; ++v) {
    const Voice& voice = voices[v];
    if (voice.note == note && (same < 0 || voice.started > voices[same].started)) same = v;
    if (voice.released() && (released < 0 || voice.released_at < voices[released].released_at)) released = v;
    if (voice.started < voices[oldest].started) oldest = v;
  }
  if (same >= 0) return same;
  if (released >= 0) return released;
  return oldest;
}
