#!/usr/bin/env bash
# Runs the window's end-to-end test: a private X server (Xvfb) with a small
# window manager, a private D-Bus session (the accessibility bus, through
# which the test reads the window as a screen reader does), and the driver.
#   run.sh PROGRAM SAMPLES_DIR ARTIFACTS_DIR
# Screenshots and logs of a failure land in ARTIFACTS_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1 samples=$2 artifacts=$3

missing=()
for tool in xvfb-run openbox xdotool import dbus-run-session ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || missing+=("python3-pyatspi")
if ((${#missing[@]})); then
  echo "window_e2e: missing ${missing[*]} (scripts/install-deps.sh installs them)" >&2
  exit 1
fi

rm -rf "$artifacts"
mkdir -p "$artifacts"
# -a: the first free display; the server runs only as long as the driver.
exec xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" \
  dbus-run-session -- /usr/bin/python3 "$here/window_e2e.py" "$program" "$samples" "$artifacts"
