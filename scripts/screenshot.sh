#!/usr/bin/env bash
# Makes docs/dialog.png and docs/dialog@2x.png (QT_SCALE_FACTOR=2): pictures of
# the progress dialog in the middle of an upgrade, under a small window manager
# (openbox) on a virtual X server (Xvfb), so the title bar shows the window
# title and icon.
#
# The bar stops part-way because the package is fed through a named pipe: the
# launcher reads it once to count its entries, and then again to unpack it; the
# second time only the first half is written until the picture is taken.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/deps.sh
convert=$(command -v convert-im6.q16 || echo /usr/bin/convert)

build=${DEMO_BUILD_DIR:-$top/build}
shot=$build/screenshot

cmake -S . -B "$build" -DBRISENDALE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
  --target brisendale-launcher brisendale-drive-ui brisendale_desktop_files

# The package: the sample client with a start script that starts nothing (no
# client is left running), plus filler files so that the bar moves in small steps.
make_package() {
  local stage=$shot/stage
  printf '#!/bin/sh\nexit 0\n' >"$shot/start-stop"
  cmake -DCLIENT="$build/packaging/sample-client/brisendale-drive-ui" \
    -DSTART_STOP="$shot/start-stop" -DINFO="$build/packaging/sample-client/INFO" \
    -DSTAGE="$stage" -DOUT="$shot/unused.nbx" -P "$top/packaging/sample-client/make-package.cmake"
  mkdir -p "$stage/share"
  for i in $(seq -w 1 40); do
    head -c 16384 /dev/urandom >"$stage/share/part-$i"
  done
  tar -C "$stage" -cf "$shot/package.tar" bin package share INFO
}

# Lays out a root and an older per-user copy in a fresh HOME, so the run is an
# upgrade.
prepare_run() {
  local root=$1 home=$2
  cmake --install "$build" --prefix "$root" >/dev/null
  rm -f "$root/package/brisendale.nbx"
  mkfifo "$root/package/brisendale.nbx"
  local app=$home/.Brisendale/Brisendale.app build_no
  mkdir -p "$app"
  tar -C "$app" -xf "$shot/package.tar"
  build_no=$(sed -n 's/^build_version=//p' "$root/INFO")
  sed -i "s/^build_version=.*/build_version=$((build_no - 1))/" "$app/INFO"
}

# Writes the package into the pipe: whole for the count, then half of it, and
# the rest once $gate exists. Waits for the counting reader to close the pipe
# first, so the second write cannot end up in that reader.
feed_package() {
  local fifo=$1 launcher=$2 gate=$3 size half
  size=$(stat -c %s "$shot/package.tar")
  half=$((size / 2))
  cat "$shot/package.tar" >"$fifo" 2>/dev/null || true
  while ls -l "/proc/$launcher/fd" 2>/dev/null | grep -qF -- "$fifo"; do sleep 0.05; done
  {
    head -c "$half" "$shot/package.tar"
    while [[ ! -e "$gate" ]]; do sleep 0.1; done
    tail -c +"$((half + 1))" "$shot/package.tar"
  } >"$fifo" 2>/dev/null || true
}

free_display() {
  local d=99
  while [[ -e /tmp/.X11-unix/X$d || -e /tmp/.X$d-lock ]]; do d=$((d + 1)); done
  echo "$d"
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
  local xvfb=$! wm='' launcher='' feeder=''
  local gate=$dir/gate
  # shellcheck disable=SC2064 # the pids are known now
  trap "touch '$gate'; cleanup_shot" EXIT
  cleanup_shot() {
    for p in $feeder $launcher $wm; do wait "$p" 2>/dev/null || true; done
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  }
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
  feed_package "$root/package/brisendale.nbx" "$launcher" "$gate" &
  feeder=$!

  # Half the package is in once a file from its second half's folder appears.
  local app=$home/.Brisendale/Brisendale.app
  for _ in $(seq 300); do
    compgen -G "$app/share/part-*" >/dev/null && break
    sleep 0.1
  done
  compgen -G "$app/share/part-*" >/dev/null || { echo "screenshot: the upgrade never started" >&2; exit 1; }
  sleep 1.5 # the extractor is blocked on the pipe; let the dialog paint

  mkdir -p "$(dirname "$out")"
  # The root window is plain black, so trimming leaves the framed dialog.
  xwd -root -silent | "$convert" xwd:- -trim +repage "png:$out"
  touch "$gate"
  wait "$feeder"
  wait "$launcher"
  kill "$wm" 2>/dev/null || true
  wait "$wm" 2>/dev/null || true
  wm='' launcher='' feeder=''
  cleanup_shot
  trap - EXIT
  echo "screenshot: wrote $out ($("$convert" "$out" -format '%wx%h' info:))"
}

rm -rf "$shot"
mkdir -p "$shot"
make_package
shoot 1 "$top/docs/dialog.png" 800x500
shoot 2 "$top/docs/dialog@2x.png" 1400x900
