#include "window/text_painter.h"

#include <cstdio>

TextPainter::~TextPainter() {
  if (font_) TTF_CloseFont(font_);
}

bool TextPainter::open(const char* file, int points) {
  if (!TTF_WasInit() && TTF_Init() != 0) {
    std::fprintf(stderr, "wsy: the window cannot draw text (SDL_ttf: %s); it stays blank.\n", TTF_GetError());
    return false;
  }
  font_ = TTF_OpenFont(file, points);
  if (!font_) {
    std::fprintf(stderr,
                 "wsy: the font %s could not be opened (%s); the window stays blank. Install the package "
                 "fonts-dejavu-core.\n",
                 file, TTF_GetError());
    return false;
  }
  return true;
}

int TextPainter::line_height() const { return font_ ? TTF_FontLineSkip(font_) : 0; }

int TextPainter::width(const std::string& text) const {
  int w = 0, h = 0;
  if (!font_ || TTF_SizeUTF8(font_, text.c_str(), &w, &h) != 0) return 0;
  return w;
}

void TextPainter::draw(SDL_Surface* target, int x, int y, const std::string& text, SDL_Color ink,
                       SDL_Color background) const {
  if (!font_ || text.empty()) return;
  SDL_Surface* line = TTF_RenderUTF8_Shaded(font_, text.c_str(), ink, background);
  if (!line) return;
  SDL_Rect at{static_cast<Sint16>(x), static_cast<Sint16>(y), 0, 0};
  SDL_BlitSurface(line, nullptr, target, &at);
  SDL_FreeSurface(line);
}
