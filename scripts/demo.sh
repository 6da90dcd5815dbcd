#!/usr/bin/env bash
# Shows the launcher at work, end to end, without touching your own home folder:
# builds it, installs a system-wide tree into build/demo/root, and runs it three
# times with a scratch HOME in build/demo/home:
#   run 1  a fresh install: the package is unpacked and the sample client started
#   run 2  the same build again: nothing to upgrade, the client keeps running
#   run 3  a newer package while the client runs: it is stopped, the folder
#          replaced and the client started again
# After each run it prints what changed in the per-user tree and the new log
# lines. The progress dialog appears on $DISPLAY when there is one (it is only
# up while a package is unpacked); otherwise the launcher runs offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/deps.sh

# DEMO_BUILD_DIR picks another build folder (default build/).
build=${DEMO_BUILD_DIR:-$top/build}
demo=$build/demo
root=$demo/root
jobs=$(nproc 2>/dev/null || echo 2)

echo "==> build"
cmake -S . -B "$build" -DBRISENDALE_WERROR=ON >/dev/null
# The default target: the install step below copies files that several targets
# generate (the launcher, the sample package, the dialog's icon), and building them
# all is the one way no generated file can be missed.
cmake --build "$build" -j "$jobs"

echo "==> install into $root"
if [[ -x "$demo/home/.Brisendale/Brisendale.app/package/start-stop" ]]; then
  # A client left running by an interrupted earlier demo.
  HOME=$demo/home "$demo/home/.Brisendale/Brisendale.app/package/start-stop" stop || true
fi
rm -rf "${root:?}" "${demo:?}/home" "${demo:?}/newer"
cmake --install "$build" --prefix "$root" >/dev/null
# Every component at debug level (7); without this file only warnings and errors are logged.
cat >"$root/log/launcher.debug" <<'EOF'
launcher_debug=7
service_debug=7
extractor_debug=7
file_op_debug=7
EOF
(cd "$root" && find . | sort | sed 's/^/    /')

# The X server still needs the real cookie once HOME moves.
if [[ -n "${DISPLAY:-}" ]]; then
  export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
  echo "==> the dialog shows on $DISPLAY"
elif [[ -z "${WAYLAND_DISPLAY:-}" ]]; then
  export QT_QPA_PLATFORM=offscreen
  echo "==> no display: the launcher runs offscreen"
fi
export HOME=$demo/home
mkdir -p "$HOME"
user=$HOME/.Brisendale
log=$user/log/launcher.log
pidfile=$user/ui.pid

# One line per entry of the per-user tree (the launcher's own log left out):
# type, size and checksum, so a replaced file shows as changed.
tree_state() {
  [[ -d "$user" ]] || return 0
  (cd "$HOME" && find .Brisendale -path .Brisendale/log -prune -o -print | sort | while read -r p; do
    if [[ -f "$p" && ! -L "$p" ]]; then
      printf '%s  file %6s  %s\n' "$p" "$(stat -c %s "$p")" "$(md5sum <"$p" | cut -c1-8)"
    elif [[ -d "$p" ]]; then
      printf '%s/\n' "$p"
    else
      printf '%s  %s\n' "$p" "$(stat -c %F "$p")"
    fi
  done)
}

# True while the process runs. One that has ended but waits for its parent to collect
# it (the init process may take a moment) counts as ended, as the launcher counts it.
running() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ -n "$state" && $state != Z* ]]
}

client_pid() {
  [[ -r "$pidfile" ]] && sed -n 's/^pid=\([0-9][0-9]*\)$/\1/p' "$pidfile" | head -n 1
}

# Waits (5 s at most) for the detached client to write its pid file.
wait_for_client() {
  for _ in $(seq 50); do
    pid=$(client_pid || true)
    if [[ -n "$pid" ]] && running "$pid"; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

show_client() {
  if wait_for_client; then
    echo "  sample client running: $(ps -o pid=,args= -p "$(client_pid)")"
  else
    echo "  sample client NOT running"
    return 1
  fi
}

run_launcher() {
  local title=$1
  echo
  echo "================ $title ================"
  local before_tree before_lines
  before_tree=$(tree_state)
  before_lines=$( [[ -f "$log" ]] && wc -l <"$log" || echo 0)
  local rc=0
  "$root/bin/brisendale-launcher" || rc=$?
  echo "  exit code: $rc"
  echo "--- per-user tree: what changed (- gone, + new)"
  diff <(printf '%s\n' "$before_tree" | sed '/^$/d') <(tree_state) | sed -n 's/^< /  - /p; s/^> /  + /p' || true
  echo "--- new log lines ($log)"
  [[ -f "$log" ]] && tail -n +"$((before_lines + 1))" "$log" | sed 's/^/  /'
  show_client
  [[ $rc -eq 0 ]]
}

build_no=$(sed -n 's/^build_version=//p' "$root/INFO")
run_launcher "run 1: fresh install (package build $build_no)"
run_launcher "run 2: same build $build_no again, nothing to upgrade"

newer=$((build_no + 1))
echo
echo "==> shipping a newer package, build $newer, while client $(client_pid) runs"
mkdir -p "$demo/newer"
sed "s/^build_version=.*/build_version=$newer/" "$build/packaging/sample-client/INFO" >"$demo/newer/INFO"
# The package's own INFO goes inside it; the system-wide one, with the room the
# package needs, replaces the root's.
cmake -DCLIENT="$build/packaging/sample-client/brisendale-drive-ui" \
  -DSTART_STOP="$top/packaging/sample-client/package/start-stop" \
  -DINFO="$demo/newer/INFO" -DSTAGE="$demo/newer/stage" \
  -DOUT="$root/package/brisendale.nbx" -DROOT_INFO="$root/INFO" \
  -P "$top/packaging/sample-client/make-package.cmake"
old_pid=$(client_pid)
run_launcher "run 3: newer package $newer while the client runs"
if running "$old_pid"; then
  echo "  old client $old_pid still running: FAILED"
  exit 1
fi
echo "  old client $old_pid was stopped; new client $(client_pid)"

echo
echo "==> stopping the sample client"
"$user/Brisendale.app/package/start-stop" stop
if [[ -e "$pidfile" ]]; then
  echo "  pid file still there: FAILED"
  exit 1
fi
echo "  stopped; pid file removed"
echo "==> demo done (system-wide tree: $root, scratch home: $HOME)"
