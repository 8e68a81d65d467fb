#pragma once
// The window's face: the keys and their notes, the note sounding (with
// several voices: each busy voice's note and how many are busy), the
// envelope, an oscilloscope, the patch's links and the status, drawn from a
// WindowState on SDL 1.2's screen surface. Only what differs from the picture
// on the screen is drawn again, and only those rectangles are sent to the
// display.
#include <SDL.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "window/redraw_pacer.h"
#include "window/scope_trace.h"
#include "window/text_painter.h"
#include "window/window_layout.h"
#include "window/window_state.h"

class WindowView {
 public:
  static constexpr int kRedrawsPerSecond = 20;

  // Takes the screen surface of SDL_SetVideoMode and opens the fonts; false,
  // with the reason on standard error, when a font cannot be opened.
  bool open(SDL_Surface* screen);

  // The main loop's call: draws what changed and shows it, at most
  // kRedrawsPerSecond times a second and only while the window is visible
  // (SDL_APPACTIVE). `now_ns` is any monotonic clock. Returns how many
  // rectangles went to the display (0: nothing to do, or not now).
  int update(const WindowState& state, int64_t now_ns);

  // Draws what changed and shows it now, whatever the time and visibility.
  int draw(const WindowState& state);

  // The next draw repaints everything (the display lost the picture: an
  // expose, or the window shown again).
  void invalidate() { whole_ = true; }

 private:
  // What is on the screen now, part by part.
  struct Shown {
    std::array<bool, window_layout::kKeyRows> key_lit{};
    std::vector<std::string> note;
    int bar = -1;
    std::vector<ScopeColumn> trace;
    std::vector<std::string> patch;
    std::vector<std::string> status;
  };

  void draw_keys(const WindowState& state, bool all);
  // One voice: the note line. Several: how many voices are busy, then their notes.
  void draw_note(const WindowState& state, bool all);
  void draw_level(float level, bool all);
  // The newest `shown` frames of `scope` from a rising zero crossing.
  void draw_scope(const ScopeSnapshot& scope, int shown, bool all);
  void draw_patch(const WindowState& state, bool all);
  void draw_status(const WindowStatus& status, bool all);
  void draw_lines(const SDL_Rect& area, const std::vector<std::string>& lines, const TextPainter& first_font);
  void fill(const SDL_Rect& area, SDL_Color color);
  void changed(const SDL_Rect& area) { dirty_.push_back(area); }

  SDL_Surface* screen_ = nullptr;
  TextPainter sans_;
  TextPainter mono_;
  TextPainter small_mono_;
  RedrawPacer pacer_{kRedrawsPerSecond};
  bool whole_ = true;
  bool was_visible_ = true;
  Shown shown_;
  std::vector<SDL_Rect> dirty_;
  std::vector<ScopeColumn> columns_;  // scratch, kept to avoid allocating each time
};
