#pragma once
// Where each part of the window lies on the 640 × 800 screen, top to bottom.
#include <SDL.h>

namespace window_layout {

constexpr int kWidth = 640;
constexpr int kHeight = 800;
constexpr int kMargin = 12;

// The keys: a heading, then one row per key (six notes, Enter, Esc).
constexpr int kKeysTop = 8;
constexpr int kKeyRowsTop = 36;
constexpr int kKeyRowHeight = 26;
constexpr int kKeyRows = 8;
// The note sounding now.
constexpr SDL_Rect kNote{0, 252, kWidth, 52};
// The envelope's level: a label and a bar.
constexpr SDL_Rect kLevel{0, 306, kWidth, 40};
constexpr SDL_Rect kLevelBar{110, 314, kWidth - 110 - kMargin, 22};
// The oscilloscope.
constexpr SDL_Rect kScope{kMargin, 352, kWidth - 2 * kMargin, 200};
// The patch: its file, then its links.
constexpr SDL_Rect kPatch{0, 560, kWidth, 148};
// Status lines.
constexpr SDL_Rect kStatus{0, 712, kWidth, 88};

constexpr SDL_Rect key_row(int row) {
  return SDL_Rect{kMargin / 2, static_cast<Sint16>(kKeyRowsTop + row * kKeyRowHeight), kWidth - kMargin,
                  kKeyRowHeight};
}

}  // namespace window_layout
