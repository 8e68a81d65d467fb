#include "window/window_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "patch/patch.h"
#include "session/key_table.h"
#include "window/note_name.h"
#include "window/sounding_text.h"

using namespace window_layout;

namespace {

constexpr SDL_Color kBackground{18, 20, 26, 0};
constexpr SDL_Color kInk{222, 224, 230, 0};
constexpr SDL_Color kDimInk{140, 146, 160, 0};
constexpr SDL_Color kHeldRow{46, 100, 190, 0};
constexpr SDL_Color kWhiteInk{255, 255, 255, 0};
constexpr SDL_Color kBarFrame{70, 76, 92, 0};
constexpr SDL_Color kBarFill{80, 200, 120, 0};
constexpr SDL_Color kScopeBackground{6, 8, 12, 0};
constexpr SDL_Color kScopeAxis{44, 50, 64, 0};
constexpr SDL_Color kTrace{120, 235, 150, 0};

// The note keys in the order the keyboard has them; their notes come from the key table.
constexpr char kNoteKeys[] = {'z', 'x', 'c', 'v', 'b', 'n'};
constexpr int kNoteKeyCount = sizeof kNoteKeys;

std::string key_row_text(int row) {
  if (row < kNoteKeyCount) {
    const int32_t note = *note_for_key(kNoteKeys[row]);
    return std::string(1, kNoteKeys[row]) + "  " + note_name(note) + "  " + whole_hertz(note_frequency(note));
  }
  if (row == kNoteKeyCount) return "Enter  replay, retuning the last linked oscillator";
  return "Esc  quit";
}

std::string link_text(const LinkLine& link) { return link.source + " \u2192 " + link.target + "  " + link.input; }

std::vector<std::string> status_lines(const WindowStatus& s) {
  std::vector<std::string> lines;
  std::string output = "Output: " + (s.output.empty() ? std::string("none yet") : s.output);
  if (s.block_frames > 0) output += ", " + std::to_string(s.block_frames) + "-frame blocks";
  lines.push_back(output);
  if (!s.midi.empty()) lines.push_back("MIDI: " + s.midi);
  if (s.underflows > 0) lines.push_back("Underflows: " + std::to_string(s.underflows));
  if (!s.last_reload.empty()) lines.push_back("Patch: " + s.last_reload);
  return lines;
}

}  // namespace

bool WindowView::open(SDL_Surface* screen) {
  screen_ = screen;
  whole_ = true;
  return screen_ && sans_.open(kSansFontFile, 16) && mono_.open(kMonoFontFile, 16) &&
         small_mono_.open(kMonoFontFile, 13);
}

int WindowView::update(const WindowState& state, int64_t now_ns) {
  if (!(SDL_GetAppState() & SDL_APPACTIVE)) {
    was_visible_ = false;
    return 0;
  }
  if (!was_visible_) {
    was_visible_ = true;
    whole_ = true;
  }
  if (!pacer_.due(now_ns)) return 0;
  return draw(state);
}

int WindowView::draw(const WindowState& state) {
  if (!screen_) return 0;
  dirty_.clear();
  const bool all = whole_;
  if (all) {
    fill(SDL_Rect{0, 0, kWidth, kHeight}, kBackground);
    sans_.draw(screen_, kMargin, kKeysTop, "Keys", kDimInk, kBackground);
  }
  draw_keys(state, all);
  draw_note(state, all);
  draw_level(state.level, all);
  draw_scope(state.scope, state.scope_frames ? state.scope_frames : kScopeShownFrames, all);
  draw_patch(state, all);
  draw_status(state.status, all);
  if (all) {
    dirty_.assign(1, SDL_Rect{0, 0, kWidth, kHeight});
    whole_ = false;
  }
  if (!dirty_.empty()) SDL_UpdateRects(screen_, static_cast<int>(dirty_.size()), dirty_.data());
  return static_cast<int>(dirty_.size());
}

void WindowView::fill(const SDL_Rect& area, SDL_Color color) {
  SDL_Rect r = area;
  SDL_FillRect(screen_, &r, SDL_MapRGB(screen_->format, color.r, color.g, color.b));
}

void WindowView::draw_keys(const WindowState& state, bool all) {
  for (int row = 0; row < kKeyRows; ++row) {
    const bool lit = row < kNoteKeyCount &&
                     (state.held_key == kNoteKeys[row] ||
                      std::find(state.held_keys.begin(), state.held_keys.end(), kNoteKeys[row]) != state.held_keys.end());
    if (!all && lit == shown_.key_lit[row]) continue;
    shown_.key_lit[row] = lit;
    const SDL_Rect area = key_row(row);
    const SDL_Color background = lit ? kHeldRow : kBackground;
    fill(area, background);
    const int text_top = area.y + (area.h - mono_.line_height()) / 2;
    mono_.draw(screen_, area.x + kMargin, text_top, key_row_text(row), lit ? kWhiteInk : kInk, background);
    changed(area);
  }
}

void WindowView::draw_note(const WindowState& state, bool all) {
  std::vector<std::string> lines;
  if (state.voices <= 1) {
    lines.push_back(sounding_text(state.sounding));
  } else {
    lines.push_back(voices_heading(state));
    const int width = kNote.w - 2 * kMargin;
    const auto fits = [&](const std::string& line) { return small_mono_.width(line) <= width; };
    std::vector<std::string> notes = wrap_words(voice_notes_text(state), fits);
    const size_t room = static_cast<size_t>(
        std::max(1, (kNote.h - sans_.line_height()) / std::max(1, small_mono_.line_height())));
    if (notes.size() > room) {
      // The last line that fits says that more follow.
      notes.resize(room);
      std::string& last = notes.back();
      while (!fits(last + " \u2026") && last.find(' ') != std::string::npos) last.erase(last.rfind(' '));
      while (!last.empty() && last.back() == ' ') last.pop_back();
      last += " \u2026";
    }
    lines.insert(lines.end(), notes.begin(), notes.end());
  }
  if (!all && lines == shown_.note) return;
  fill(kNote, kBackground);
  if (state.voices <= 1) {
    sans_.draw(screen_, kMargin, kNote.y + (kNote.h - sans_.line_height()) / 2, lines[0], kInk, kBackground);
  } else {
    SDL_Rect clip = kNote;
    SDL_SetClipRect(screen_, &clip);
    const int room = (kNote.h - sans_.line_height()) / std::max(1, small_mono_.line_height());
    int y = kNote.y + std::max(0, (kNote.h - sans_.line_height() - room * small_mono_.line_height()) / 2);
    sans_.draw(screen_, kMargin, y, lines[0], kInk, kBackground);
    y += sans_.line_height();
    for (size_t i = 1; i < lines.size(); ++i, y += small_mono_.line_height())
      small_mono_.draw(screen_, kMargin, y, lines[i], kInk, kBackground);
    SDL_SetClipRect(screen_, nullptr);
  }
  shown_.note = std::move(lines);
  changed(kNote);
}

void WindowView::draw_level(float level, bool all) {
  const int inner = kLevelBar.w - 4;
  const float clamped = std::isfinite(level) ? std::clamp(level, 0.0f, 1.0f) : 0.0f;
  const int bar = static_cast<int>(std::lround(clamped * inner));
  if (!all && bar == shown_.bar) return;
  if (all) {
    fill(kLevel, kBackground);
    sans_.draw(screen_, kMargin, kLevelBar.y + (kLevelBar.h - sans_.line_height()) / 2, "Envelope", kDimInk,
               kBackground);
  }
  fill(kLevelBar, kBarFrame);
  const SDL_Rect inside{static_cast<Sint16>(kLevelBar.x + 2), static_cast<Sint16>(kLevelBar.y + 2),
                        static_cast<Uint16>(inner), static_cast<Uint16>(kLevelBar.h - 4)};
  fill(inside, kScopeBackground);
  if (bar > 0) fill(SDL_Rect{inside.x, inside.y, static_cast<Uint16>(bar), inside.h}, kBarFill);
  shown_.bar = bar;
  changed(all ? kLevel : kLevelBar);
}

void WindowView::draw_scope(const ScopeSnapshot& scope, int shown, bool all) {
  const int width = kScope.w, height = kScope.h;
  columns_.resize(width);
  shown = std::min(shown, ScopeSnapshot::kFrames);
  const int start = scope_trigger(scope.samples, ScopeSnapshot::kFrames, shown);
  scope_columns(scope.samples + start, shown, width, height, columns_.data());
  if (!all && columns_ == shown_.trace) return;
  fill(kScope, kScopeBackground);
  fill(SDL_Rect{kScope.x, static_cast<Sint16>(kScope.y + height / 2), kScope.w, 1}, kScopeAxis);
  const Uint32 trace = SDL_MapRGB(screen_->format, kTrace.r, kTrace.g, kTrace.b);
  for (int x = 0; x < width; ++x) {
    SDL_Rect span{static_cast<Sint16>(kScope.x + x), static_cast<Sint16>(kScope.y + columns_[x].top), 1,
                  static_cast<Uint16>(columns_[x].bottom - columns_[x].top + 1)};
    SDL_FillRect(screen_, &span, trace);
  }
  shown_.trace = columns_;
  changed(kScope);
}

void WindowView::draw_lines(const SDL_Rect& area, const std::vector<std::string>& lines,
                            const TextPainter& first_font) {
  fill(area, kBackground);
  SDL_Rect clip = area;
  SDL_SetClipRect(screen_, &clip);
  int y = area.y;
  for (size_t i = 0; i < lines.size(); ++i) {
    const TextPainter& font = i == 0 ? first_font : small_mono_;
    font.draw(screen_, kMargin, y, lines[i], i == 0 ? kInk : kDimInk, kBackground);
    y += font.line_height();
  }
  SDL_SetClipRect(screen_, nullptr);
  changed(area);
}

void WindowView::draw_patch(const WindowState& state, bool all) {
  std::vector<std::string> lines;
  lines.push_back("Patch: " + (state.patch_file.empty() ? std::string("none") : state.patch_file));
  const int room = (kPatch.h - sans_.line_height()) / std::max(1, small_mono_.line_height());
  const int count = static_cast<int>(state.links.size());
  if (count == 0) lines.push_back("no links: nothing sounds");
  const int listed = count <= room ? count : room - 1;
  for (int i = 0; i < listed; ++i) lines.push_back(link_text(state.links[i]));
  if (listed < count) lines.push_back("\u2026 and " + std::to_string(count - listed) + " more links");
  if (!all && lines == shown_.patch) return;
  draw_lines(kPatch, lines, sans_);
  shown_.patch = std::move(lines);
}

void WindowView::draw_status(const WindowStatus& status, bool all) {
  std::vector<std::string> lines = status_lines(status);
  if (!all && lines == shown_.status) return;
  draw_lines(kStatus, lines, small_mono_);
  shown_.status = std::move(lines);
}
