#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three times:
# a normal build, an AddressSanitizer + UndefinedBehaviorSanitizer build, and
# a ThreadSanitizer build of the threaded tests; then the window end to end
# under a private X server; a real one-node Slurm cluster; last, the Debian
# package of the normal build, installed and purged again. Any failure fails
# the script.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

JOBS=$(nproc)
export QT_QPA_PLATFORM=offscreen
# intercept_tls_get_addr=0: the leak checker's scan of dynamic TLS blocks
# reads a stale block of an unloaded module ("Tracer caught signal 11") in
# this toolchain, depending only on the test binary's layout.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:intercept_tls_get_addr=0
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1

# The differential suite's inputs and ffmpeg outputs, made once for both
# builds that run it.
DIFF_MEDIA=$PWD/build-diffmedia

# Line tables only: the trees here exist to run tests, and sanitizer reports
# need no more (a developer's tree keeps full debug information).
configure() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQV_DIFF_MEDIA_DIR="$DIFF_MEDIA" -DQUENVARO_DEBUG_INFO=lines "$@" >/dev/null
}

echo "== ThreadSanitizer build (threaded tests) =="
configure build-tsan -DQUENVARO_SANITIZE=thread -DQUENVARO_BUILD_APP=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Only the executables that hold threaded tests.
cmake --build build-tsan -j"$JOBS" --target component_tests stress_tests pipeline_tests
(cd build-tsan && ctest --output-on-failure -j"$JOBS" -L threads)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
configure build-asan -DQUENVARO_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-asan -j"$JOBS"
(cd build-asan && ctest --output-on-failure -j"$JOBS" -LE nosanitize)

echo "== Fuzzing, 30 s a harness =="
scripts/fuzz.sh 30

echo "== Normal build =="
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"
cd build
# The differential suite ran in the sanitizer tree above: the same source,
# the same comparisons, with memory checked too.
ctest --output-on-failure -j"$JOBS" -LE "window_e2e|package|differential|cluster"

echo "== The window under X, end to end =="
# Alone, so that no other test competes with its conversions and clicks;
# screenshots of a failure land in build/window_e2e/.
ctest --output-on-failure -L window_e2e

echo "== A one-node Slurm cluster converting a manifest =="
# Alone: its two CPUs are this machine's, and it starts its own munged,
# slurmctld and slurmd.
ctest --output-on-failure -L cluster

echo "== The Debian package: built, installed, used, purged =="
# Alone: it installs into /usr and removes itself at the end.
ctest --output-on-failure -L package
