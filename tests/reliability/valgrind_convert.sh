#!/bin/sh
# Runs one window-style FLV -> MP4 conversion under memcheck and fails on any
# invalid access or definitely lost block. Libraries may keep reachable or
# "possibly lost" caches for the life of the process; those are not ours.
# usage: valgrind_convert.sh VALGRIND QUENVARO_CLI
set -eu
VALGRIND=$1
CLI=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qvvalgrind-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# A one-second FLV1 + MP3 input, made by the same libraries the program loads.
if ! command -v ffmpeg >/dev/null 2>&1; then
  echo "ffmpeg not installed: cannot make the input"
  exit 77
fi
ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=f=440:sample_rate=44100 \
  -t 1 -c:v flv -c:a libmp3lame -ac 2 "$WORK/in.flv"

status=0
"$VALGRIND" --quiet --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --error-exitcode=99 --num-callers=30 --log-file="$WORK/memcheck.log" \
  "$CLI" -i "$WORK/in.flv" -vcodec mpeg4 -acodec libfaac -s 320x240 -r 15 -b 360000 -ab 96000 \
  -ar 44100 -ac 2 -y "$WORK/out.mp4" >"$WORK/cli.log" 2>&1 || status=$?
cat "$WORK/memcheck.log"
if [ "$status" -ne 0 ]; then
  echo "conversion under memcheck ended with status $status"
  tail -n 20 "$WORK/cli.log"
  exit 1
fi
if [ ! -s "$WORK/out.mp4" ]; then
  echo "no output written"
  exit 1
fi
echo "memcheck: no errors, no definite leaks"
