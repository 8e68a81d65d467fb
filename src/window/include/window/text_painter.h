#pragma once
// One font of the window, drawing single lines of UTF-8 text on a surface
// (SDL_ttf on SDL 1.2).
#include <SDL.h>
#include <SDL_ttf.h>

#include <string>

// The packaged fonts (fonts-dejavu-core).
constexpr const char* kSansFontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* kMonoFontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

class TextPainter {
 public:
  TextPainter() = default;
  TextPainter(const TextPainter&) = delete;
  TextPainter& operator=(const TextPainter&) = delete;
  ~TextPainter();

  // Opens `file` at `points`; false, with the reason on standard error, when it cannot.
  bool open(const char* file, int points);
  int line_height() const;
  // How many pixels wide `text` is drawn (0 without a font).
  int width(const std::string& text) const;

  // Draws `text` with its top left corner at (x, y), on the solid `background`
  // (the cheapest way SDL_ttf renders: no blending with what lies below).
  void draw(SDL_Surface* target, int x, int y, const std::string& text, SDL_Color ink, SDL_Color background) const;

 private:
  TTF_Font* font_ = nullptr;
};
