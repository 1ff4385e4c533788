#!/usr/bin/env bash
# Memory and time of the window's conversion as the input grows. One
# 30-minute H.264 + AAC FLV (320x240, 15 fps) is made with the ffmpeg command
# and cut into shorter files, all kept in build/bench-long/; each is converted
# with quenvaro-cli (the first preset, as the window does) and with the ffmpeg
# command with the same settings. Peak memory should stay flat and time grow
# linearly with the length. Then the differential suite's long case compares
# our conversions of the longest input with the ffmpeg command's.
#
# Usage: bench/long_input.sh [MINUTES...]      (default: 5 10 20 30)
#        SKIP_DIFF=1 bench/long_input.sh ...   (the table only)
# Not run by the tests or CI: it takes several minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=build/bin/quenvaro-cli
suite=build/bin/differential_tests
[ -x "$cli" ] || { echo "build first: cmake --build build"; exit 1; }
minutes=("$@")
((${#minutes[@]})) || minutes=(5 10 20 30)
longest=0
for m in "${minutes[@]}"; do ((m > longest)) && longest=$m; done

cache=build/bench-long
mkdir -p "$cache"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

full=$cache/long_${longest}min.flv
if [ ! -s "$full" ]; then
  echo "making a ${longest}-minute input (once) ..."
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=d=$((longest * 60)):s=320x240:r=15" \
    -f lavfi -i "sine=f=440:b=4:d=$((longest * 60))" -c:v libx264 -preset veryfast -g 30 -bf 0 \
    -c:a aac -ar 44100 -ac 2 -f flv "$full.part" && mv "$full.part" "$full"
fi

# Runs a command; prints its wall time in seconds and its peak resident memory in MB.
measure() {
  python3 - "$@" <<'EOF'
import os, sys, time
t0 = time.monotonic()
pid = os.fork()
if pid == 0:
    fd = os.open(os.devnull, os.O_WRONLY)
    os.dup2(fd, 1); os.dup2(fd, 2)
    os.execvp(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
if os.waitstatus_to_exitcode(status) != 0:
    sys.exit("failed: " + " ".join(sys.argv[1:]))
print("%.1f %.1f" % (time.monotonic() - t0, usage.ru_maxrss / 1024))
EOF
}

printf '%8s  %12s %12s %12s  %12s %12s\n' minutes "ours s" "ours MB" "ours s/min" "ffmpeg s" "ffmpeg MB"
for m in "${minutes[@]}"; do
  in=$cache/long_${m}min.flv
  [ -s "$in" ] || ffmpeg -nostdin -v error -y -i "$full" -t $((m * 60)) -c copy "$in"
  read -r ours_s ours_mb < <(measure "$cli" convert --preset 1 --output-dir "$tmp" -y "$in")
  read -r ff_s ff_mb < <(measure ffmpeg -nostdin -y -v error -i "$in" -c:v mpeg4 -b:v 300000 -s 320x240 -r 15 \
    -c:a aac -b:a 64000 -ar 44100 -ac 2 -threads 1 "$tmp/ffmpeg.mp4")
  printf '%8s  %12s %12s %12.2f  %12s %12s\n' "$m" "$ours_s" "$ours_mb" "$(echo "$ours_s / $m" | bc -l)" "$ff_s" "$ff_mb"
  rm -f "$tmp"/*.mp4
done

if [ -z "${SKIP_DIFF:-}" ] && [ -x "$suite" ]; then
  echo "differential suite, 30-minute input (re-encode and stream copy against the ffmpeg command):"
  QV_DIFF_LONG=1 QV_DIFF_LONG_INPUT=$PWD/$full "$suite" --gtest_filter='*long_30min*'
fi
