#!/usr/bin/env bash
# The Debian package, end to end: made by CPack from a finished build, judged
# by lintian, installed with apt-get, used from the installed copy alone (the
# command line, the presets, a conversion, the window from its menu entry
# with a file, the manual pages, the shell completion), then purged, which
# must leave none of its files behind.
#   package_test.sh BUILD_DIR SAMPLES_DIR VERSION
# Needs root: it installs into /usr. Exit 77 (skipped) when not root, or when
# a quenvaro package is installed already (it would be removed).
# shellcheck disable=SC2015,SC2016 # "A && B || fail" fails when either fails; bash -c scripts are quoted
set -euo pipefail
build=$(cd "$1" && pwd) samples=$2 version=$3
T0=$SECONDS
step() { echo "[$((SECONDS - T0))s] $*"; }
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: needs root (it installs the package)"
  exit 77
fi
if dpkg-query -W -f='${Status}' quenvaro 2>/dev/null | grep -q installed; then
  echo "package test: a quenvaro package is installed already; not touching it"
  exit 77
fi
missing=()
for tool in cpack lintian appstreamcli apt-get xvfb-run xdotool man ffprobe; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -f /usr/share/bash-completion/bash_completion ] || missing+=(bash-completion)
((${#missing[@]} == 0)) || fail "missing ${missing[*]} (scripts/install-deps.sh installs them)"

scratch=$(mktemp -d)
installed=0
cleanup() {
  ((installed)) && DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quenvaro >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT

# ---- the package ----
step "packaging the build"
(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || fail "cpack: $(cat "$scratch/cpack.log")"
debs=("$scratch"/out/quenvaro_*.deb)
((${#debs[@]} == 1)) && [ -f "${debs[0]}" ] || fail "cpack made no single quenvaro_*.deb"
deb=${debs[0]}
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version), not $version"
if dpkg-deb -c "$deb" | grep -q 'usr/include/\|\.a$'; then fail "the SDK (headers, static libraries) is in the package"; fi

# Every library LibAV/ links to comes from a package the .deb depends on:
# they are opened at run time, where no dependency scan sees them.
depends=$(dpkg-deb -f "$deb" Depends)
for link in "$build"/bin/LibAV/*.so.*; do
  [ -L "$link" ] || continue
  owner=$(dpkg -S "$(readlink -f "$link")" | cut -d: -f1)
  [[ ", $depends," == *", $owner"[,\ ]* ]] || fail "LibAV/$(basename "$link") is in $owner, not in Depends: $depends"
done

step "lintian"
# Warnings allowed, each with its reason; any error or other warning fails.
allowed=(
  # The example negate hook calls no library function at all, so it is linked
  # against none; lintian expects at least libc.
  "W: quenvaro: shared-library-lacks-prerequisites [usr/lib/quenvaro/hooks/libnegate.so]"
)
lintian "$deb" >"$scratch/lintian.log" 2>&1 || true
while read -r line; do
  [[ $line == [EW]:* ]] || continue
  ok=0
  for a in "${allowed[@]}"; do [ "$line" = "$a" ] && ok=1; done
  ((ok)) || fail "lintian: $line"
done <"$scratch/lintian.log"
grep '^[EW]:' "$scratch/lintian.log" || true

# ---- installed ----
# The paths of the package that exist before it is installed are the
# system's; all others must be gone after the purge.
mapfile -t paths < <(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$')
preexisting=()
for p in "${paths[@]}"; do
  if [ -e "$p" ] || [ -L "$p" ]; then preexisting+=("$p"); fi
done

step "apt-get install"
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >"$scratch/apt.log" 2>&1 ||
  fail "apt-get install: $(cat "$scratch/apt.log")"
appstreamcli validate --no-net /usr/share/metainfo/*.metainfo.xml >"$scratch/as.log" 2>&1 ||
  fail "appstreamcli: $(cat "$scratch/as.log")"

# Only the installed copy: absolute paths, the system's PATH, a clean
# environment with an empty home.
mkdir -p "$scratch/home" "$scratch/work"
run() { env -i PATH=/usr/bin:/bin HOME="$scratch/home" LANG=C.UTF-8 "$@"; }

step "the command line"
[ "$(run /usr/bin/quenvaro-cli --version)" = "quenvaro-cli $version" ] || fail "quenvaro-cli --version: $(run /usr/bin/quenvaro-cli --version)"
shipped=$(run /usr/bin/quenvaro-cli presets) || fail "quenvaro-cli presets"
[ "$(echo "$shipped" | wc -l)" = "$(grep -c '^\[' /usr/share/quenvaro/formats.ini)" ] ||
  fail "the presets listed are not those of /usr/share/quenvaro/formats.ini: $shipped"
# A user's own presets replace the shipped ones: XDG_CONFIG_HOME when set,
# ~/.config otherwise.
mkdir -p "$scratch/xdg/quenvaro" "$scratch/home/.config/quenvaro"
printf '[a]\nname=From XDG\n' >"$scratch/xdg/quenvaro/formats.ini"
printf '[a]\nname=From home\n' >"$scratch/home/.config/quenvaro/formats.ini"
while IFS='|' read -r env want; do
  # shellcheck disable=SC2086 # env is one NAME=VALUE or none
  got=$(run $env /usr/bin/quenvaro-cli presets | cut -f2)
  [ "$got" = "$want" ] || fail "presets with ${env:-no XDG_CONFIG_HOME}: '$got', not '$want'"
done <<EOF
XDG_CONFIG_HOME=$scratch/xdg|From XDG
|From home
XDG_CONFIG_HOME=relative/xdg|From home
EOF
rm -r "$scratch/home/.config"

sample=$samples/membrane_rtmp_plugin__testsrc.flv
(cd "$scratch/work" && run /usr/bin/quenvaro-cli convert --preset 5 --jobs 1 --output-dir . "$sample" >/dev/null 2>"$scratch/convert.log") ||
  fail "conversion: $(cat "$scratch/convert.log")"
out=$scratch/work/membrane_rtmp_plugin__testsrc.mp4
streams=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$out" | sort | tr '\n' ' ')
length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out")
[ "$streams" = "aac mpeg4 " ] && awk "BEGIN { exit !($length > 3.0) }" ||
  fail "the conversion gave streams '$streams', $length s"

step "the window from its menu entry, with a file"
desktop=/usr/share/applications/quenvaro.desktop
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[[ $exec_line == *%F* ]] || fail "$desktop: Exec has no %F: $exec_line"
grep -q '^MimeType=.*video/x-flv;' "$desktop" || fail "$desktop: no FLV MIME type"
cp "$sample" "$scratch/work/clip.flv"
# shellcheck disable=SC2086 # Exec is split into words as a launcher does
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c '
  env -i PATH=/usr/bin:/bin HOME="$1" DISPLAY="$DISPLAY" XAUTHORITY="$XAUTHORITY" $2 >/dev/null 2>&1 &
  pid=$!
  trap "kill $pid 2>/dev/null" EXIT
  # The window is up, and the file it was given opened the FFmpeg libraries
  # of its own LibAV/ (which it loads only for a file).
  for _ in $(seq 150); do
    kill -0 $pid 2>/dev/null || { echo "the window exited"; exit 1; }
    if xdotool search --onlyvisible --name "^Quenvaro ver\." >/dev/null 2>&1 && grep -q libavformat /proc/$pid/maps; then
      [ "$(readlink /proc/$pid/exe)" = /usr/lib/quenvaro/quenvaro ] || { echo "not the installed window: $(readlink /proc/$pid/exe)"; exit 1; }
      exit 0
    fi
    sleep 0.1
  done
  echo "no window with the file within 15 s"
  exit 1' _ "$scratch/home" "${exec_line//%F/$scratch/work/clip.flv}" >"$scratch/window.log" 2>&1 ||
  fail "window: $(cat "$scratch/window.log")"

step "manual pages and completion"
for page in quenvaro quenvaro-cli; do
  [ "$(run man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man -w $page: $(run man -w "$page")"
  warnings=$(run MANWIDTH=80 man --warnings "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done
mkdir "$scratch/comp"
touch "$scratch/comp/a.flv" "$scratch/comp/B.FLV" "$scratch/comp/notes.txt"
preset_words=$( (echo "$shipped" | cut -f1 && echo copy) | LC_ALL=C sort | tr '\n' ' ')
# The words offered after each line (in byte order), as bash-completion loads the
# installed completion on first use.
while IFS='|' read -r line want; do
  got=$(cd "$scratch/comp" && run bash -c '
    source /usr/share/bash-completion/bash_completion
    read -ra COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$1 COMP_POINT=${#1}
    _completion_loader quenvaro-cli
    func=$(complete -p quenvaro-cli | sed -n "s/.*-F \([^ ]*\).*/\1/p")
    "$func" quenvaro-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' _ "$line")
  [ "$got" = "$want" ] || fail "completion of '$line': '$got', not '$want'"
done <<EOF
quenvaro-cli |convert presets watch 
quenvaro-cli watch --rec|--recursive 
quenvaro-cli --v|--version 
quenvaro-cli convert --dr|--dry-run 
quenvaro-cli convert --preset |$preset_words
quenvaro-cli convert |B.FLV a.flv 
quenvaro-cli --info |B.FLV a.flv 
EOF

# ---- purged ----
step "apt-get purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quenvaro >"$scratch/apt.log" 2>&1 || fail "apt-get purge: $(cat "$scratch/apt.log")"
installed=0
left=()
for p in "${paths[@]}"; do
  if [ -e "$p" ] || [ -L "$p" ]; then
    was=0
    for q in "${preexisting[@]}"; do [ "$p" = "$q" ] && was=1; done
    ((was)) || left+=("$p")
  fi
done
((${#left[@]} == 0)) || fail "left behind by the purge: ${left[*]}"
step "done"
