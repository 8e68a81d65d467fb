#include "window/window_presenter.h"

#include <time.h>

#include <algorithm>

#include "patch/patch.h"
#include "session/key_table.h"
#include "window/scope_trace.h"
#include "wsy/engine.h"

namespace {

// A link's parameter as the window names it.
std::string modulation_word(uint8_t modulation, const std::string& param) {
  if (modulation & kModAmp) return "amp";
  if (modulation & kModFreq) return "freq";
  if (modulation & kModPhase) return "phase";
  return param;
}

SoundingNote::Cause cause_of(Report::Origin origin) {
  switch (origin) {
    case Report::kByAutoPlay: return SoundingNote::Cause::kAutoPlay;
    case Report::kByMidi: return SoundingNote::Cause::kMidi;
    case Report::kByEnter: return SoundingNote::Cause::kEnter;
    default: return SoundingNote::Cause::kKey;
  }
}

// Frames after a note's start after which a level of 0 means its envelope ran out.
constexpr int64_t kAttackFrames = 2048;

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

bool WindowPresenter::open(SDL_Surface* screen) {
  open_ = view_.open(screen);
  return open_;
}

void WindowPresenter::show_voices(int voices) {
  WindowState& state = *state_;
  state.voices = std::clamp(voices, 1, kMaxVoices);
  state.voice_notes.assign(state.voices > 1 ? state.voices : 0, SoundingNote{});
  state.held_keys.clear();
}

void WindowPresenter::show_patch(const std::string& file, const Patch& patch) {
  const size_t slash = file.rfind('/');
  state_->patch_file = slash == std::string::npos ? file : file.substr(slash + 1);
  // The lists are newest first: shown in the file's order.
  std::vector<LinkLine>& links = state_->links;
  links.clear();
  for (auto group = patch.vco_links.rbegin(); group != patch.vco_links.rend(); ++group)
    for (size_t k = group->sources.size(); k-- > 0;)
      links.push_back({group->source_names[k], group->target->name,
                       modulation_word(group->modulations[k], group->params[k])});
  for (auto group = patch.mixer_links.rbegin(); group != patch.mixer_links.rend(); ++group)
    for (size_t k = group->sources.size(); k-- > 0;)
      links.push_back({group->source_names[k], group->target->name, group->input_names[k]});
}

void WindowPresenter::take(const Report& report) {
  switch (report.kind) {
    case Report::kApplied: {
      const Command& command = report.command;
      if (command.kind != Command::kPlayNote && command.kind != Command::kReleaseNote) break;
      const std::optional<int32_t> key = key_for_note(command.note);
      if (!key) break;
      if (command.kind == Command::kPlayNote) state_->held_key = *key;
      else if (*key == state_->held_key) state_->held_key = 0;
      if (state_->voices > 1) {
        // Every key held lights: each plays a voice of its own.
        std::vector<int32_t>& held = state_->held_keys;
        held.erase(std::remove(held.begin(), held.end(), *key), held.end());
        if (command.kind == Command::kPlayNote) held.push_back(*key);
      }
      break;
    }
    case Report::kSounding: {
      SoundingNote* sounding = &state_->sounding;
      if (state_->voices > 1) {
        if (report.voice < 0 || report.voice >= state_->voices) break;
        sounding = &state_->voice_notes[report.voice];
      }
      sounding->cause = cause_of(report.origin);
      sounding->note = report.note;
      sounding->hz = note_frequency(report.note);
      sounding_since_ = report.frame;
      break;
    }
    case Report::kUntrig:
      // With several voices a released note sounds on until its voice is free.
      if (state_->voices <= 1) state_->sounding.cause = SoundingNote::Cause::kNone;
      break;
    case Report::kVoiceFree:
      if (state_->voices > 1 && report.voice >= 0 && report.voice < state_->voices)
        state_->voice_notes[report.voice].cause = SoundingNote::Cause::kNone;
      break;
    default:
      break;
  }
}

int WindowPresenter::update(const Engine& engine) {
  if (!open_) return 0;
  WindowState& state = *state_;
  engine.read_scope(state.scope);
  state.scope_frames = scope_shown_frames(engine.sample_rate());
  state.level = state.scope.level;
  // A note whose envelope ran out by itself sounds no more. (With several
  // voices each voice's end is reported; the level, the loudest voice's, is
  // 0 only when none sounds: this only tidies up after lost reports.)
  if (state.level == 0 && state.scope.frames_written > sounding_since_ + kAttackFrames) {
    state.sounding.cause = SoundingNote::Cause::kNone;
    for (SoundingNote& voice : state.voice_notes) voice.cause = SoundingNote::Cause::kNone;
  }
  return view_.update(state, monotonic_ns());
}
