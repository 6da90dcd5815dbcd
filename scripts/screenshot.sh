#!/usr/bin/env bash
# Makes docs/dialog.png, a picture of the progress dialog, under a virtual X
# server (Xvfb). The launcher installs a package whose start script waits at a
# gate, so the dialog stays up, finished, until the picture is taken.
# Needs xvfb, x11-apps (xwd) and imagemagick.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/deps.sh
if ! command -v convert-im6.q16 >/dev/null && [[ ! -x /usr/bin/convert ]]; then
  echo "screenshot: installing imagemagick"
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends imagemagick
fi
convert=$(command -v convert-im6.q16 || echo /usr/bin/convert)

build=${DEMO_BUILD_DIR:-$top/build}
shot=$build/screenshot
root=$shot/root
out=${1:-$top/docs/dialog.png}

cmake -S . -B "$build" -DBRISENDALE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target brisendale-launcher brisendale_sample_package
rm -rf "$shot"
cmake --install "$build" --prefix "$root" >/dev/null

export HOME=$shot/home
mkdir -p "$HOME"
cat >"$shot/gated-start-stop" <<'EOF'
#!/bin/sh
: > "$HOME/at-gate"
while [ ! -e "$HOME/open-gate" ]; do sleep 0.1; done
EOF
chmod +x "$shot/gated-start-stop"
cmake -DCLIENT="$build/packaging/sample-client/brisendale-drive-ui" \
  -DSTART_STOP="$shot/gated-start-stop" -DINFO="$root/INFO" -DSTAGE="$shot/stage" \
  -DOUT="$root/package/brisendale.nbx" -P "$top/packaging/sample-client/make-package.cmake"

display=99
while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 800x500x24 -br -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
launcher=
cleanup() {
  touch "$HOME/open-gate"
  if [[ -n "$launcher" ]]; then wait "$launcher" 2>/dev/null || true; fi
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=:$display
unset XAUTHORITY WAYLAND_DISPLAY QT_QPA_PLATFORM
for _ in $(seq 100); do
  xwd -root -silent >/dev/null 2>&1 && break
  sleep 0.1
done

LC_ALL=C.UTF-8 "$root/bin/brisendale-launcher" >/dev/null &
launcher=$!
for _ in $(seq 300); do
  [[ -e "$HOME/at-gate" ]] && break
  sleep 0.1
done
[[ -e "$HOME/at-gate" ]] || { echo "screenshot: the launcher never reached its start script" >&2; exit 1; }
sleep 1 # let the last progress update paint

mkdir -p "$(dirname "$out")"
# No window manager runs, so the screen is the black root plus the dialog alone.
xwd -root -silent | "$convert" xwd:- -trim +repage "png:$out"
touch "$HOME/open-gate"
wait "$launcher"
launcher=
echo "screenshot: wrote $out ($("$convert" "$out" -format '%wx%h' info:))"
