#!/bin/sh
# Builds a fuzzer with clang++ (whatever compiler the main build uses) and
# runs it.
#
#   tests/fuzz/run_fuzzer.sh [--target patch|smf] OUT_DIR [libFuzzer options...]
#
# Targets (default: patch):
#   patch  patch_fuzzer.cc: arbitrary bytes as a patch file, loaded, reported
#          and played. Seeds: RODUV_2.WSY, patches/, tests/malformed/ and
#          tests/fuzz/corpus/; regressions in tests/fuzz/regressions/.
#   smf    smf_fuzzer.cc: arbitrary bytes as a Standard MIDI File and as a live
#          MIDI stream. Seeds: tests/midi/malformed/ and tests/fuzz/smf_corpus/;
#          regressions in tests/fuzz/smf_regressions/.
#
# OUT_DIR receives the binary (OUT_DIR/patch_fuzzer or OUT_DIR/smf_fuzzer) and
# a working corpus (OUT_DIR/fuzz-corpus) that grows from the seeds; give each
# target a folder of its own. First every seed and every regression input is
# run once; then the fuzzer runs with the options given, e.g.
# -max_total_time=60 or -runs=10000000. Any crash, sanitizer report, leak or
# timeout ends it with a non-zero status and leaves the input in OUT_DIR
# (crash-*, leak-*, timeout-*, oom-*).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
usage="usage: $0 [--target patch|smf] OUT_DIR [libFuzzer options...]"
target=patch
if [ "${1:-}" = --target ]; then
  [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
  target=$2; shift 2
fi
[ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }
out=$1; shift
mkdir -p "$out"
out=$(cd "$out" && pwd)

case $target in
  patch)
    name=patch_fuzzer
    # The loader and event handling carry the fuzzer's coverage; the per-sample
    # code runs under the same sanitizers but without coverage hooks, which would
    # otherwise cost most of the time of every run and guide nothing.
    guided="$here/patch_fuzzer.cc $(ls "$src"/src/patch/*.cc | grep -v -e /evaluate.cc -e /patch_location.cc) $(ls "$src"/src/engine/*.cc)"
    unguided="$(ls "$src"/src/synth/*.cc) $src/src/patch/evaluate.cc $(ls "$src"/src/midi/*.cc)"
    sources="$here/patch_fuzzer.cc $src/src/synth $src/src/patch $src/src/engine $src/src/midi"
    includes="-I$src/src/synth/include -I$src/src/patch/include -I$src/src/engine/include -I$src/src/midi/include"
    seeds="$src/RODUV_2.WSY $src/patches/*.wsy $src/tests/malformed/*.wsy $here/corpus/*"
    regressions=$here/regressions
    ;;
  smf)
    name=smf_fuzzer
    guided="$here/smf_fuzzer.cc $(ls "$src"/src/midi/*.cc)"
    unguided=""
    sources="$here/smf_fuzzer.cc $src/src/midi"
    includes="-I$src/src/midi/include"
    seeds="$src/tests/midi/malformed/*.mid $here/smf_corpus/*"
    regressions=$here/smf_regressions
    ;;
  *)
    echo "$usage" >&2; exit 2 ;;
esac

CXX_FUZZ=${CXX_FUZZ:-clang++}
if ! command -v "$CXX_FUZZ" >/dev/null 2>&1; then
  echo "run_fuzzer.sh: $CXX_FUZZ not found: the fuzzer needs the Debian packages clang and libclang-rt-14-dev" >&2
  exit 1
fi

# Rebuilt whenever a source or header is newer than the binary.
bin=$out/$name
stale=no
if [ ! -x "$bin" ]; then
  stale=yes
# shellcheck disable=SC2086
elif [ -n "$(find $sources -newer "$bin" -name '*.[ch]*' 2>/dev/null | head -n 1)" ]; then
  stale=yes
fi
if [ $stale = yes ]; then
  echo "run_fuzzer.sh: building $bin" >&2
  flags="-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-fast-math
    -fno-sanitize-recover=all $includes"
  rm -rf "$out/obj" && mkdir -p "$out/obj"
  for f in $guided; do
    # shellcheck disable=SC2086
    "$CXX_FUZZ" $flags -fsanitize=fuzzer,address,undefined -c "$f" -o "$out/obj/$(basename "$(dirname "$f")")_$(basename "$f").o"
  done
  for f in $unguided; do
    # shellcheck disable=SC2086
    "$CXX_FUZZ" $flags -fsanitize=address,undefined -c "$f" -o "$out/obj/$(basename "$(dirname "$f")")_$(basename "$f").o"
  done
  "$CXX_FUZZ" -fsanitize=fuzzer,address,undefined "$out"/obj/*.o -o "$bin.tmp"
  mv "$bin.tmp" "$bin"
fi

# A small quarantine and short allocation stacks: the loader allocates for
# every field, and the default 256 MB quarantine halves the speed of long runs.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:quarantine_size_mb=16:malloc_context_size=5"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Seeds, gathered afresh so that there is one copy of each.
rm -rf "$out/seeds"
mkdir -p "$out/seeds" "$out/fuzz-corpus"
for f in $seeds; do
  [ -f "$f" ] && cp "$f" "$out/seeds/"
done
mkdir -p "$out/regressions"  # an empty stand-in while there are none
[ -d "$regressions" ] || regressions=$out/regressions

cd "$out"
# Every regression input and seed, once.
if ! "$bin" -runs=0 -max_len=4096 "$regressions" "$out/seeds" >"$out/replay.log" 2>&1; then
  cat "$out/replay.log" >&2
  echo "run_fuzzer.sh: a regression or seed input fails" >&2
  exit 1
fi
echo "run_fuzzer.sh: replayed $(find "$regressions" "$out/seeds" -type f | wc -l) regression and seed inputs" >&2

"$bin" -max_len=4096 -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
  "$@" "$out/fuzz-corpus" "$out/seeds"
