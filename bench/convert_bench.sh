#!/usr/bin/env bash
# Speed of the window's conversion (mpeg4 + AAC at 15 fps) against Debian's
# ffmpeg command doing the same job, on the same input, a few runs each.
# Usage: bench/convert_bench.sh [INPUT.flv] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
in=${1:-../shared/samples/membrane_rtmp_plugin__testsrc.flv}
runs=${2:-3}
cli=build/bin/quenvaro-cli
[ -x "$cli" ] || { echo "build first: scripts/test.sh or cmake --build build"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

opts=(-vcodec mpeg4 -acodec libfaac -s 320x240 -r 15 -b 360000 -ab 96000 -ar 44100 -ac 2)
time_it() { # label, command...
  local label=$1; shift
  local best=""
  for ((i = 0; i < runs; i++)); do
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    local dt
    dt=$(echo "$t1 - $t0" | bc)
    if [ -z "$best" ] || (($(echo "$dt < $best" | bc))); then best=$dt; fi
  done
  printf '%-12s best of %d: %.3f s\n' "$label" "$runs" "$best"
}

time_it quenvaro "$cli" -i "$in" "${opts[@]}" -y "$tmp/q.mp4"
time_it ffmpeg ffmpeg -loglevel error -i "$in" -c:v mpeg4 -c:a aac -s 320x240 -r 15 -b:v 360000 -b:a 96000 -ar 44100 -ac 2 -threads 1 -y "$tmp/f.mp4"
ls -l "$tmp"/*.mp4 | awk '{print $5, $9}'
