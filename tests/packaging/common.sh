# Shared by the .deb and RPM tests: names, the pass/fail count, and the checks of one
# run of the installed launcher as uid 65534 against a scratch HOME ($home).
# shellcheck shell=bash

pkg=brisendale-drive
app_id=com.kestrova.BrisendaleDrive
root=/opt/Kestrova/Brisendale
nobody=65534

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

as_nobody() {
  setpriv --reuid=$nobody --regid=$nobody --clear-groups \
    env -i HOME="$home" XDG_RUNTIME_DIR="$home/run" PATH=/usr/bin:/bin \
    LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen "$@"
}

build_number() { sed -n 's/^build_version=//p' "$1" 2>/dev/null; }

# expect_run_installed <what ran> <shipped INFO>: the per-user copy has the shipped build.
expect_run_installed() {
  local what=$1 shipped app=$home/.Brisendale/Brisendale.app
  shipped=$(build_number "$2")
  if [[ -n "$shipped" && "$(build_number "$app/INFO")" == "$shipped" && -x "$app/bin/brisendale-drive-ui" ]]; then
    pass "$what as uid $nobody put build $shipped into the scratch HOME"
  else
    fail "build $shipped was not installed into $app"
  fi
}

# expect_client_started: the client of the per-user copy runs as uid 65534; sets client_pid.
# The start script returns at once: the client is given a moment to announce itself.
expect_client_started() {
  local exe='' app=$home/.Brisendale/Brisendale.app
  client_pid=''
  for _ in $(seq 50); do
    client_pid=$(sed -n 's/^pid=\([0-9][0-9]*\)$/\1/p' "$home/.Brisendale/ui.pid" 2>/dev/null || true)
    [[ -n "$client_pid" ]] && exe=$(readlink "/proc/$client_pid/exe" 2>/dev/null || true)
    [[ -n "$exe" ]] && break
    sleep 0.1
  done
  if [[ "$exe" == "$app/bin/brisendale-drive-ui" && "$(stat -c %u "/proc/$client_pid")" == "$nobody" ]]; then
    pass "client started (pid $client_pid, uid $nobody)"
  else
    fail "client not running (pid '${client_pid}', exe '${exe}')"
  fi
}
