#pragma once
// What wsy's window shows, gathered on the main thread: the held key and the
// note sounding (with several voices, each voice's note) from the engine's
// reports, the level and the scope from its
// tap, the patch's file and links, the output and its block size, underflows
// and the last reload. Drawn by a WindowView, paced and only while visible.
#include <SDL.h>

#include <memory>
#include <string>

#include "window/window_state.h"
#include "window/window_view.h"
#include "wsy/engine.h"


class WindowPresenter {
 public:
  // Opens the view on the screen surface; false (nothing is ever drawn) when
  // there is no screen or its fonts cannot be opened.
  bool open(SDL_Surface* screen);
  bool is_open() const { return open_; }

  // The patch playing now: its file and its links. Only names are read,
  // which never change once loaded, so the patch may already be the engine's.
  void show_patch(const std::string& file, const Patch& patch);
  // The output that plays: "JACK, client \"wsy\"", "ALSA, device \"default\"".
  void show_output(const std::string& label) { state_->status.output = label; }
  // How the output plays now: frames of its latest block (0 before the
  // first) and its underflows so far.
  void show_stream(long block_frames, long underflows) {
    state_->status.block_frames = static_cast<int>(block_frames);
    state_->status.underflows = underflows;
  }
  void show_reload(const std::string& result) { state_->status.last_reload = result; }
  void show_midi(const std::string& input) { state_->status.midi = input; }
  // The engine's voices (EngineSettings::voices, 1..kMaxVoices), before its
  // first report: with 1 the window shows the one note as a monophonic
  // keyboard; with more, each busy voice's note and how many are busy.
  void show_voices(int voices);

  // Every report of the engine, in order.
  void take(const Report& report);

  // The display lost the picture: the next update repaints everything.
  void invalidate() { view_.invalidate(); }

  // The main loop's call: draws what changed, at most 20 times a second and
  // only while the window is visible. Returns how many rectangles went to
  // the display (0: nothing to do, or not now).
  int update(const Engine& engine);

  // What the window shows now, as gathered so far.
  const WindowState& state() const { return *state_; }

 private:
  WindowView view_;
  std::unique_ptr<WindowState> state_ = std::make_unique<WindowState>();
  bool open_ = false;
  int64_t sounding_since_ = 0;  // frame of the last note's start
};
