#!/usr/bin/env bash
# Throughput of a batch conversion on several cores: COPIES copies of the
# benchmark file converted by `quenvaro-cli convert` with --jobs 1 on one
# thread, --jobs 1 on every core (the default) and --jobs 2 (each job then
# gets its share of the cores), best of RUNS each; prints the times and the
# throughput ratios against one job on one thread (2.0 would be perfect
# scaling of the jobs).
# Usage: bench/batch_bench.sh [INPUT.flv] [RUNS] [COPIES]
set -euo pipefail
cd "$(dirname "$0")/.."
in=${1:-../shared/samples/membrane_rtmp_plugin__testsrc.flv}
runs=${2:-3}
copies=${3:-4}
cli=${QV_CLI:-build/bin/quenvaro-cli}
[ -x "$cli" ] || { echo "build first: scripts/test.sh or cmake --build build"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

files=()
for ((i = 1; i <= copies; i++)); do
  cp "$in" "$tmp/in$i.flv"
  files+=("$tmp/in$i.flv")
done

best_of() { # jobs [extra arguments] -> best wall time in seconds
  local jobs=$1 best="" t0 t1 dt
  shift
  for ((r = 0; r < runs; r++)); do
    rm -rf "$tmp/out" && mkdir "$tmp/out"
    t0=$(date +%s.%N)
    "$cli" convert --preset 1 --jobs "$jobs" "$@" --output-dir "$tmp/out" "${files[@]}" >/dev/null 2>&1 ||
      { echo "conversion with --jobs $jobs failed" >&2; exit 1; }
    t1=$(date +%s.%N)
    dt=$(echo "$t1 - $t0" | bc)
    if [ -z "$best" ] || (($(echo "$dt < $best" | bc))); then best=$dt; fi
  done
  echo "$best"
}

t1=$(best_of 1 --threads 1)
tall=$(best_of 1)
t2=$(best_of 2)
printf '%d files, best of %d: --jobs 1 --threads 1 %.3f s, --jobs 1 %.3f s, --jobs 2 %.3f s\n' \
  "$copies" "$runs" "$t1" "$tall" "$t2"
printf 'throughput against one job on one thread: --jobs 1 %.2f, --jobs 2 %.2f\n' \
  "$(echo "$t1 / $tall" | bc -l)" "$(echo "$t1 / $t2" | bc -l)"
ls -l "$tmp/out" | awk 'NR > 1 {print $5, $9}'
