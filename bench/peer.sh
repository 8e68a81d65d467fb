#!/bin/sh
# wsy-render against Csound on the same work: a 440 Hz sine whose frequency is
# multiplied by (1 + a 5 Hz sine), 600 s at 44100 Hz, written to a WAV file.
# Csound runs at ksmps=1 (sample-accurate, as wsy is) and at ksmps=32 (its
# oscillators' control input updated once per 32 samples). The three renders
# run alternately RUNS times; the medians of their wall times are printed.
#
#   bench/peer.sh [RUNS]     (default 5; needs build/release/wsy-render)
set -eu
cd "$(dirname "$0")/.."
RUNS=${1:-5}
RENDER=build/release/wsy-render
[ -x "$RENDER" ] || { echo "peer.sh: build first: ./scripts/run or cmake --build build/release" >&2; exit 1; }
if ! command -v csound >/dev/null 2>&1; then
  echo "peer.sh: installing csound" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq csound >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
SECONDS_OF_AUDIO=${PEER_SECONDS:-600}

# wsy: the LFO modulates the VCO through MOD_FREQ (frequency * (1 + lfo)).
# z is held from the first frame: 440 Hz, with the envelope's notes on top.
printf 'LFO_5HZ;*FREQ=5;\nVCO_440;LFO_5HZ:MOD_FREQ;\nMIXER_OUT;VCO_440:IN1;\n' > "$work/fm.wsy"
printf '0 z down\n' > "$work/events.txt"

csd() {  # ksmps
  cat <<CSD
<CsoundSynthesizer>
<CsOptions>
-W -o $work/csound.wav -d -m0
</CsOptions>
<CsInstruments>
sr = 44100
ksmps = $1
nchnls = 2
0dbfs = 32768
instr 1
  alfo poscil 1, 5
  asig poscil 10000, 440 * (1 + alfo)
  outs asig, asig
endin
</CsInstruments>
<CsScore>
i1 0 $SECONDS_OF_AUDIO
</CsScore>
</CsoundSynthesizer>
CSD
}
csd 1 > "$work/k1.csd"
csd 32 | sed 's/alfo poscil/klfo poscil/; s/(1 + alfo)/(1 + klfo)/' > "$work/k32.csd"

seconds() {  # command... -> wall seconds on stdout
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {print b - a}' 
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

: > "$work/wsy.t"; : > "$work/k1.t"; : > "$work/k32.t"
i=0
while [ $i -lt "$RUNS" ]; do
  seconds "$RENDER" --patch "$work/fm.wsy" --events "$work/events.txt" \
    --frames $((SECONDS_OF_AUDIO * 44100)) -o "$work/wsy.wav" >> "$work/wsy.t"
  seconds csound "$work/k1.csd" >> "$work/k1.t"
  seconds csound "$work/k32.csd" >> "$work/k32.t"
  i=$((i + 1))
done

w=$(median < "$work/wsy.t"); k1=$(median < "$work/k1.t"); k32=$(median < "$work/k32.t")
printf '%s s of audio, median of %s runs, %s\n' "$SECONDS_OF_AUDIO" "$RUNS" "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
awk -v s="$SECONDS_OF_AUDIO" -v w="$w" -v k1="$k1" -v k32="$k32" 'BEGIN {
  printf "| renderer | wall s | x real time | time / wsy-render |\n|---|---|---|---|\n"
  printf "| wsy-render | %.2f | %.0f | 1.00 |\n", w, s / w
  printf "| Csound ksmps=1 | %.2f | %.0f | %.2f |\n", k1, s / k1, k1 / w
  printf "| Csound ksmps=32 | %.2f | %.0f | %.2f |\n", k32, s / k32, k32 / w
}' 
