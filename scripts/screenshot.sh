#!/usr/bin/env bash
# Makes docs/dialog.png and docs/dialog@2x.png (QT_SCALE_FACTOR=2): pictures of
# the progress dialog in the middle of an upgrade, under a small window manager
# (openbox) on a virtual X server (Xvfb), so the title bar shows the window
# title and icon; and docs/dialog-wayland.png under weston's headless backend.
# `--qt 6` builds with Qt 6 in build-qt6/ and names the pictures dialog-qt6*.png.
#
# The bar stops part-way because the launcher, which this script started, is
# stopped (SIGSTOP) once about half of the package's files are unpacked; the X
# server keeps what it last painted until the picture is taken, and SIGCONT lets
# it finish.
#
#   scripts/screenshot.sh [--qt 5|6] [output folder]    (default: docs/)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/deps.sh
convert=$(command -v convert-im6.q16 || echo /usr/bin/convert)

qt=5
if [[ ${1:-} == --qt ]]; then
  qt=${2:-}
  shift 2 || true
fi
case $qt in
  5) default_build=$top/build tag='' ;;
  6) default_build=$top/build-qt6 tag=-qt6 ;;
  *) echo "usage: $0 [--qt 5|6] [output folder]" >&2; exit 2 ;;
esac
build=${DEMO_BUILD_DIR:-$default_build}
shot=$build/screenshot
out_dir=$(mkdir -p "${1:-$top/docs}" && cd "${1:-$top/docs}" && pwd)

cmake -S . -B "$build" -DBRISENDALE_WERROR=ON -DBRISENDALE_QT="$qt" >/dev/null
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

# What one picture runs, for the clean-up: Xvfb and openbox, or weston, and the
# launcher.
xvfb='' wm='' compositor='' launcher=''

# Ends what is left of a picture's run, whatever state it stopped in.
cleanup_shot() {
  [[ -n "$launcher" ]] && kill -CONT "$launcher" 2>/dev/null
  [[ -n "$launcher" ]] && wait "$launcher" 2>/dev/null
  for p in $wm $compositor $xvfb; do kill "$p" 2>/dev/null; done
  for p in $wm $compositor $xvfb; do wait "$p" 2>/dev/null || true; done
  xvfb='' wm='' compositor='' launcher=''
}
trap cleanup_shot EXIT

# stop_half_way <home>: stops the launcher once half of the filler is unpacked.
# Unpacking runs while the dialog comes up: the package is large enough that
# half of it takes longer than that.
stop_half_way() {
  local share=$1/.Brisendale/Brisendale.app.staging/share n=0
  for _ in $(seq 3000); do
    n=$(find "$share" -name 'part-*' 2>/dev/null | wc -l || true) # no folder yet: 0
    ((n >= parts / 2)) && break
    sleep 0.01
  done
  kill -STOP "$launcher"
  ((n >= parts / 2 && n < parts)) || { echo "screenshot: stopped at $n of $parts files" >&2; exit 1; }
}

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

  for _ in $(seq 300); do
    xwininfo -name "Brisendale Drive" 2>/dev/null | grep -q 'Map State: IsViewable' && break
    sleep 0.01
  done
  stop_half_way "$home"

  mkdir -p "$(dirname "$out")"
  # The root window is plain black, so trimming leaves the framed dialog.
  xwd -root -silent | "$convert" xwd:- -trim +repage "png:$out"
  kill -CONT "$launcher"
  cleanup_shot
  echo "screenshot: wrote $out ($("$convert" "$out" -format '%wx%h' info:))"
}

# shoot_wayland <out.png>: the same under weston's headless backend and Qt's
# Wayland plug-in, which draws the title bar itself. --debug lets
# weston-screenshooter take the picture.
shoot_wayland() {
  local out=$1
  local dir=$shot/wayland root home runtime
  root=$dir/root
  home=$dir/home
  runtime=$dir/runtime
  rm -rf "$dir"
  mkdir -p "$home"
  mkdir -m 700 "$runtime"
  prepare_run "$root" "$home"
  printf '[shell]\nbackground-color=0xff000000\npanel-position=none\n' >"$dir/weston.ini"

  XDG_RUNTIME_DIR=$runtime weston --config="$dir/weston.ini" --backend=headless-backend.so \
    --use-pixman --debug --socket=wayland-1 --width=800 --height=500 >"$dir/weston.log" 2>&1 &
  compositor=$!
  for _ in $(seq 100); do
    [[ -S $runtime/wayland-1 ]] && break
    sleep 0.1
  done
  sleep 1 # let the shell paint its background

  (
    unset DISPLAY XAUTHORITY QT_SCALE_FACTOR
    export HOME=$home LC_ALL=C.UTF-8 XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=wayland-1 \
      QT_QPA_PLATFORM=wayland
    exec "$root/bin/brisendale-launcher" >/dev/null
  ) &
  launcher=$!
  stop_half_way "$home"
  sleep 0.5 # the last frame reaches the compositor

  (cd "$dir" && XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=wayland-1 weston-screenshooter)
  local pictures=("$dir"/wayland-screenshot-*.png)
  [[ -f ${pictures[0]} ]] || { echo "screenshot: weston-screenshooter wrote nothing" >&2; exit 1; }
  mkdir -p "$(dirname "$out")"
  "$convert" "${pictures[0]}" -trim +repage "png:$out"
  kill -CONT "$launcher"
  cleanup_shot
  echo "screenshot: wrote $out ($("$convert" "$out" -format '%wx%h' info:))"
}

rm -rf "$shot"
mkdir -p "$shot"
make_package
shoot 1 "$out_dir/dialog$tag.png" 800x500
shoot 2 "$out_dir/dialog$tag@2x.png" 1400x900
# The compositor may not have drawn the dialog yet when the extraction is half done (a
# fast flush gets there sooner): a picture of nothing is taken again.
# Each attempt in a subshell of its own, which ends its compositor and launcher whatever
# happens; the last attempt's failure fails the script.
for attempt in 1 2 3; do
  rm -f "$out_dir/dialog$tag-wayland.png"
  # (errexit does not hold inside a condition: the picture itself is what is checked)
  (trap cleanup_shot EXIT && shoot_wayland "$out_dir/dialog$tag-wayland.png") || true
  size=$("$convert" "$out_dir/dialog$tag-wayland.png" -format '%wx%h' info: 2>/dev/null || true)
  [[ -n $size && $size != 1x1 ]] && break
  ((attempt < 3)) || { echo "screenshot: no Wayland picture in $attempt attempts" >&2; exit 1; }
  echo "screenshot: no picture of the dialog (attempt $attempt), again" >&2
done
