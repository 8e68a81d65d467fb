#pragma once
// How the window's pictures reach the display.
//
// sdl12-compat draws an SDL 1.2 window through an SDL2 renderer and by
// default picks OpenGL, which on a display without a graphics card (Xvfb, a
// remote X) is Mesa's software rasteriser: about 9 ms of CPU for every
// update, whatever its size. SDL2's own software renderer writing straight
// into the window's shared-memory image costs about 1.4 ms for the same
// update (bench/window_update.sh). Call before SDL_Init; a user's own setting
// of SDL_RENDER_DRIVER or SDL_FRAMEBUFFER_ACCELERATION is left as it is.
void choose_cheap_window_updates();
