#include "window/window_video.h"

#include <cstdlib>

void choose_cheap_window_updates() {
  setenv("SDL_RENDER_DRIVER", "software", 0);
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
}
