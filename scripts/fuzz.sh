#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan + UBSan, tree build-fuzz) and
# runs each for a bounded time: scripts/fuzz.sh [seconds per harness, default 600].
# Each harness starts from its committed seeds in fuzz/corpus/<harness>/ and
# grows a working corpus in build-fuzz/corpus/<harness>/ (never committed).
# A crash, leak, sanitizer report or hang fails the script; the input that
# caused it is left in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_HARNESS=${1:-600}
HARNESSES=(fuzz_set_option fuzz_option_text fuzz_hook_ranges fuzz_presets fuzz_output_name fuzz_flv_reader)
BUILD=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DQUENVARO_FUZZ=ON \
  -DQUENVARO_BUILD_APP=OFF -DQUENVARO_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUENVARO_DEBUG_INFO=lines >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target "${HARNESSES[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

mkdir -p "$BUILD/findings"

# One harness a core: they share nothing but the findings folder.
run_harness() { # name
  local h=$1 work="$PWD/$BUILD/corpus/$1"
  mkdir -p "$work"
  "$BUILD/bin/$h" "$work" "$PWD/fuzz/corpus/$h" -max_total_time="$SECONDS_PER_HARNESS" \
    -timeout=20 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$PWD/$BUILD/findings/$h-" 2>"$BUILD/$h.log"
}

PARALLEL=$(nproc)
for h in "${HARNESSES[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$PARALLEL" ]; do wait -n || true; done
  echo "== $h: ${SECONDS_PER_HARNESS}s =="
  rm -f "$BUILD/$h.rc"
  (rc=0; run_harness "$h" || rc=$?; echo $rc >"$BUILD/$h.rc") &
done
wait
status=0
for h in "${HARNESSES[@]}"; do
  if [ "$(cat "$BUILD/$h.rc" 2>/dev/null)" != 0 ]; then
    echo "== $h failed =="
    tail -n 60 "$BUILD/$h.log"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$BUILD/$h.log" | sed "s/^/$h /" || true
done
exit $status
