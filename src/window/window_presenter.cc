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
      break;
    }
    case Report::kSounding:
      state_->sounding.cause = cause_of(report.origin);
      state_->sounding.note = report.note;
      state_->sounding.hz = note_frequency(report.note);
      sounding_since_ = report.frame;
      break;
    case Report::kUntrig:
      state_->sounding.cause = SoundingNote::Cause::kNone;
      break;
    default:
      break;
  }
}

void WindowPresenter::update(const Engine& engine) {
  if (!open_) return;
  WindowState& state = *state_;
  engine.read_scope(state.scope);
  state.scope_frames = scope_shown_frames(engine.sample_rate());
  state.level = state.scope.level;
  // A note whose envelope ran out by itself sounds no more.
  if (state.level == 0 && state.scope.frames_written > sounding_since_ + kAttackFrames)
    state.sounding.cause = SoundingNote::Cause::kNone;
  view_.update(state, monotonic_ns());
}
