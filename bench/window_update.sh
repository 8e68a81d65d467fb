#!/bin/sh
# The window's CPU cost per update under Xvfb, for each way of sending the
# picture to the display, counting both wsy's side and the X server's.
# Usage, from the repository's top folder: bench/window_update.sh [BINARY] [UPDATES]
# (BINARY defaults to build/release/wsy-window-bench, UPDATES to 200: 10 s each.)
set -e
bench=${1:-build/release/wsy-window-bench}
updates=${2:-200}
[ -x "$bench" ] || { echo "window_update.sh: $bench is not built (cmake --build build/release)" >&2; exit 2; }

fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x900x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
xvfb=$!
read -r display <"$fifo"
rm -f "$fifo"
trap 'kill $xvfb' EXIT
ticks=$(getconf CLK_TCK)
# CPU milliseconds the X server has used so far.
xvfb_ms() { awk -v t="$ticks" '{ print ($14 + $15) * 1000 / t }' "/proc/$xvfb/stat"; }

# run LABEL [VARIABLE=VALUE...]: one run of the benchmark with those variables set.
run() {
  label=$1; shift
  before=$(xvfb_ms)
  line=$(env DISPLAY=":$display" "$@" "$bench" --updates "$updates" $BENCH_ARGS)
  after=$(xvfb_ms)
  echo "$label: $line; Xvfb $(echo "$before $after $updates" | awk '{ printf "%.2f", ($2 - $1) / $3 }') ms CPU per update"
}

for args in "--send changed --change scope" "--send changed --change all" "--send changed --change nothing" \
            "--send whole --change scope"; do
  BENCH_ARGS=$args
  # What sdl12-compat picks by itself: an OpenGL renderer (Mesa's llvmpipe on Xvfb).
  run "OpenGL renderer (sdl12-compat's choice)" SDL_RENDER_DRIVER=
  run "software renderer, window texture" SDL_RENDER_DRIVER=software
  # SDL2's software renderer drawing straight into the X window's shared-memory image.
  run "software renderer, window surface" SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0
  BENCH_ARGS="$args --wsy-choice yes"
  run "wsy's choice" DUMMY=
done
