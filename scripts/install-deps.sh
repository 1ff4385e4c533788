#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the window need.
# Runs "apt-get update" once, and only when something is missing.
#   --runtime  only what an installed quenvaro-cli needs to run, in a container
#              image (deploy/Dockerfile) too
#   --list     prints the packages instead of installing them
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev lld
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libavcodec59 libavformat59 libavutil57 libswscale6 libswresample4 ffmpeg
  qt6-base-dev libgl-dev libinih-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev
  xvfb xauth bc python3 time
  # the checks of deploy/: YAML and Kubernetes schemas, shell scripts
  python3-yaml python3-kubernetes shellcheck
  # the Slurm script under a real one-node cluster: the scheduler's daemons
  # and commands, and munge, its authentication
  slurm-wlm munge
  # the window's end-to-end test: a window manager, mouse and keys, screenshots,
  # and the accessibility bus through which it reads the window (dbus-daemon
  # also runs the private bus of the window's tests of the desktop services)
  openbox xdotool imagemagick x11-utils dbus-daemon at-spi2-core python3-pyatspi
  # the Debian package's test: its dependencies (dpkg-shlibdeps), its checkers,
  # and what it uses once installed
  dpkg-dev lintian appstream man-db bash-completion
  # the check of the watch service's unit in deploy/ (systemd-analyze)
  systemd
)
# The FFmpeg libraries LibAV/ links to and the libraries quenvaro-cli and
# libmyutil.so are linked against (tests/cli/check_deploy.py keeps this
# true), and tini: a container's first process that hands the stop signal on.
# The Debian package depends on the FFmpeg ones listed here (packaging/).
RUNTIME_PACKAGES=(
  libavcodec59 libavformat59 libavutil57 libswscale6 libswresample4 libinih1 libstdc++6 tini
)

list=0
for arg in "$@"; do
  case $arg in
    --runtime) PACKAGES=("${RUNTIME_PACKAGES[@]}") ;;
    --list) list=1 ;;
    *) echo "usage: $0 [--runtime] [--list]" >&2; exit 2 ;;
  esac
done
if ((list)); then
  printf '%s\n' "${PACKAGES[@]}"
  exit 0
fi

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
