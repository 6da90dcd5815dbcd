#!/usr/bin/env bash
# Makes docs/dialog.png and docs/dialog@2x.png (QT_SCALE_FACTOR=2): pictures of
# the progress dialog in the middle of an upgrade, under a small window manager
# (openbox) on a virtual X server (Xvfb), so the title bar shows the window
# title and icon.
#
# The bar stops part-way because the launcher, which this script started, is
# stopped (SIGSTOP) once about half of the package's files are unpacked; the X
# server keeps what it last painted until the picture is taken, and SIGCONT lets
# it finish.
#
#   scripts/screenshot.sh [output folder]    (default: docs/)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/deps.sh
convert=$(command -v convert-im6.q16 || echo /usr/bin/convert)

build=${DEMO_BUILD_DIR:-$top/build}
shot=$build/screenshot
out_dir=$(mkdir -p "${1:-$top/docs}" && cd "${1:-$top/docs}" && pwd)

cmake -S . -B "$build" -DBRISENDALE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
  --target brisendale-launcher brisendale_sample_package brisendale_desktop_files

parts=1000

# The package: the sample client with a start script that starts nothing (no
# client is left running), plus filler files so that the bar moves in small steps.
make_package() {
  local stage=$shot/stage
  printf '#!/bin/sh\nexit 0\n' >"$shot/start-stop"
  cmake -DCLIENT="$build/packaging/sample-client/brisendale-drive-ui" \
    -DSTART_STOP="$shot/start-stop" -DINFO="$build/packaging/sample-client/INFO" \
    -DSTAGE="$stage" -DOUT="$shot/unused.nbx" -DROOT_INFO="$shot/unused-INFO" \
    -P "$top/packaging/sample-client/make-package.cmake"
  mkdir -p "$stage/share"
  for i in $(seq -w 1 $parts); do
    head -c 32768 /dev/urandom >"$stage/share/part-$i"
  done
  tar -C "$stage" -cf "$shot/package.tar" bin package share INFO
}

# Lays out a root and an older per-user copy in a fresh HOME, so the run is an
# upgrade.
prepare_run() {
  local root=$1 home=$2
  cmake --install "$build" --prefix "$root" >/dev/null
  gzip -1 -c "$shot/package.tar" >"$root/package/brisendale.nbx"
  local app=$home/.Brisendale/Brisendale.app build_no
  mkdir -p "$app"
  # Without the filler: its first file then marks the unpacking under way.
  tar -C "$app" -xf "$shot/package.tar" bin package INFO
  build_no=$(sed -n 's/^build_version=//p' "$root/INFO")
  sed -i "s/^build_version=.*/build_version=$((build_no - 1))/" "$app/INFO"
}

free_display() {
  local d=99
  while [[ -e /tmp/.X11-unix/X$d || -e /tmp/.X$d-lock ]]; do d=$((d + 1)); done
  echo "$d"
}

# What one picture runs, for the clean-up: Xvfb, openbox and the launcher.
xvfb='' wm='' launcher=''

# Ends what is left of a picture's run, whatever state it stopped in.
cleanup_shot() {
  [[ -n "$launcher" ]] && kill -CONT "$launcher" 2>/dev/null
  [[ -n "$launcher" ]] && wait "$launcher" 2>/dev/null
  [[ -n "$wm" ]] && kill "$wm" 2>/dev/null
  [[ -n "$xvfb" ]] && kill "$xvfb" 2>/dev/null
  for p in $wm $xvfb; do wait "$p" 2>/dev/null || true; done
  xvfb='' wm='' launcher=''
}
trap cleanup_shot EXIT

# shoot <scale> <out.png> <screen WxH>
shoot() {
  local scale=$1 out=$2 screen=$3
  local dir=$shot/x$scale root home display
  root=$dir/root
  home=$dir/home
  rm -rf "$dir"
  mkdir -p "$home"
  prepare_run "$root" "$home"

  display=$(free_display)
  Xvfb ":$display" -screen 0 "${screen}x24" -br -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=:$display
  for _ in $(seq 100); do
    xwd -root -silent >/dev/null 2>&1 && break
    sleep 0.1
  done
  HOME=$home openbox >/dev/null 2>&1 &
  wm=$!
  sleep 1 # let openbox take over the screen

  (
    unset XAUTHORITY WAYLAND_DISPLAY QT_QPA_PLATFORM
    export HOME=$home LC_ALL=C.UTF-8 QT_SCALE_FACTOR=$scale
    exec "$root/bin/brisendale-launcher" >/dev/null
  ) &
  launcher=$!

  # Unpacking runs while the dialog comes up: the package is large enough that
  # half of it takes longer than that.
  for _ in $(seq 300); do
    xwininfo -name "Brisendale Drive" 2>/dev/null | grep -q 'Map State: IsViewable' && break
    sleep 0.01
  done
  local share=$home/.Brisendale/Brisendale.app/share n=0
  for _ in $(seq 3000); do
    n=$(find "$share" -name 'part-*' 2>/dev/null | wc -l || true) # no folder yet: 0
    ((n >= parts / 2)) && break
    sleep 0.01
  done
  kill -STOP "$launcher"
  ((n >= parts / 2 && n < parts)) || { echo "screenshot: stopped at $n of $parts files" >&2; exit 1; }

  mkdir -p "$(dirname "$out")"
  # The root window is plain black, so trimming leaves the framed dialog.
  xwd -root -silent | "$convert" xwd:- -trim +repage "png:$out"
  kill -CONT "$launcher"
  cleanup_shot
  echo "screenshot: wrote $out ($("$convert" "$out" -format '%wx%h' info:))"
}

rm -rf "$shot"
mkdir -p "$shot"
make_package
shoot 1 "$out_dir/dialog.png" 800x500
shoot 2 "$out_dir/dialog@2x.png" 1400x900
