#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the window need.
# Runs "apt-get update" once, and only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libavcodec59 libavformat59 libavutil57 libswscale6 libswresample4 ffmpeg
  qt6-base-dev libgl-dev libinih-dev
  libgtest-dev libgmock-dev
  xvfb xauth bc python3
  # the window's end-to-end test: a window manager, mouse and keys, screenshots,
  # and the accessibility bus through which it reads the window
  openbox xdotool imagemagick x11-utils dbus-daemon at-spi2-core python3-pyatspi
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
