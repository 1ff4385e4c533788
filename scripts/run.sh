#!/usr/bin/env bash
# Installs what is missing, builds, and starts the window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/bin/quenvaro ]; then
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found. Run the window under a virtual display with:"
    echo "  xvfb-run -a build/bin/quenvaro"
    echo "or convert from the command line with build/bin/quenvaro-cli."
    exit 0
  fi
  exec build/bin/quenvaro "$@"
fi
sample=${1:-../shared/samples/red5-server__flashContent1.flv}
exec build/bin/quenvaro-cli --info "$sample"
