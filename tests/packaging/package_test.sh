#!/usr/bin/env bash
# Checks the Debian package: lintian, both desktop entries, the AppStream
# metainfo, the manual page and the icon sizes; then, as root, installs it, runs
# the launcher as uid 65534 through the menu entry's command, upgrades it to a
# newer package and runs it again, and removes it.
#   tests/packaging/package_test.sh [package.deb]   (default: builds one)
# The install test skips, saying why, when not root, when dpkg is missing or
# when the package is already installed; whatever happens it leaves no trace.
set -euo pipefail
cd "$(dirname "$0")/../.."

# shellcheck source=tests/packaging/common.sh
source tests/packaging/common.sh
# The install test's scratch folders, the menu entry's command and the client's pid.
home='' work='' exec_line='' client_pid=''

# --- checks of the package's contents -----------------------------------------

check_contents() {
  local deb=$1 tree=$2 out
  dpkg-deb -x "$deb" "$tree"

  # Informational tags are fine; any error or warning fails.
  out=$(lintian --pedantic "$deb" 2>&1 | grep -v '^running with root privileges' || true)
  echo "$out" | sed '/^$/d; s/^/  lintian: /'
  if echo "$out" | grep -q '^[EW]:'; then fail "lintian reports errors or warnings"; else pass "lintian"; fi

  if desktop-file-validate "$tree/usr/share/applications/$app_id.desktop" \
    "$tree/etc/xdg/autostart/$app_id.desktop"; then
    pass "desktop-file-validate, menu and autostart entries"
  else
    fail "desktop-file-validate"
  fi

  if appstreamcli validate --no-net "$tree/usr/share/metainfo/$app_id.metainfo.xml"; then
    pass "appstreamcli validate"
  else
    fail "appstreamcli validate"
  fi

  # groff exits 0 on warnings; they show on stderr.
  out=$(zcat "$tree/usr/share/man/man1/$pkg.1.gz" | groff -ww -z -man 2>&1)
  if [[ -z "$out" ]]; then pass "manual page renders without warnings"; else fail "groff: $out"; fi

  local size png dims
  for size in 16 24 32 48 64 128 256; do
    png=$tree/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png
    dims=$(file -b "$png" 2>/dev/null | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/\1x\2/p')
    [[ "$dims" == "${size}x${size}" ]] || fail "icon $png is '${dims:-missing}'"
  done
  dims=$(file -b "$tree$root/images/ico_72_brisendale.png" | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/\1x\2/p')
  [[ "$dims" == "72x72" ]] || fail "dialog icon is '${dims:-missing}'"
  pass "icon sizes"
}

# --- install, run, remove (root only, in a pid namespace of its own) ----------

# One line per file of the per-user tree with its checksum: the state that
# removing the package must leave alone.
user_tree_state() {
  (cd "$1" && find .Brisendale -path .Brisendale/log -prune -o -type f -print0 | sort -z | xargs -0 md5sum)
}

# True while the process runs; one that has ended and waits to be collected counts as ended.
running() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ -n "$state" && $state != Z* ]]
}

installed() {
  [[ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)" == *" installed" ]]
}

# The package state that `dpkg -P` cleans up: installed, or conffiles left by -r.
known_to_dpkg() {
  dpkg-query -W -f='${Status}' "$pkg" >/dev/null 2>&1 &&
    [[ "$(dpkg-query -W -f='${Status}' "$pkg")" != *" not-installed" ]]
}

install_cleanup() {
  # Every process of the launcher's run dies with this pid namespace.
  if known_to_dpkg; then dpkg -P "$pkg" >/dev/null 2>&1 || true; fi
  rm -rf "$home" "$work"
}


# make_newer_deb <deb> <out.deb>: the same package one revision and one client
# build later, as a vendor's next release would be.
make_newer_deb() {
  local tree=$work/newer client=$work/client build
  dpkg-deb -R "$1" "$tree"
  sed -i 's/^Version: .*/&.1/' "$tree/DEBIAN/control"
  build=$(($(build_number "$tree$root/INFO") + 1))
  sed -i "s/^build_version=.*/build_version=$build/" "$tree$root/INFO"
  mkdir -p "$client"
  tar -xzf "$tree$root/package/brisendale.nbx" -C "$client"
  sed -i "s/^build_version=.*/build_version=$build/" "$client/INFO"
  tar -czf "$tree$root/package/brisendale.nbx" -C "$client" .
  # The vendor's next INFO names the new package's digest.
  local digest
  digest=$(sha256sum "$tree$root/package/brisendale.nbx" | cut -d' ' -f1)
  sed -i "s/^sha256=.*/sha256=$digest/" "$tree$root/INFO"
  (cd "$tree" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
  dpkg-deb --root-owner-group -b "$tree" "$2" >/dev/null
}

# Runs the menu entry's command as uid 65534 and checks that the per-user copy
# now has the shipped build and that its client runs; sets client_pid.
run_entry() {
  local out rc=0
  # shellcheck disable=SC2086 # the Exec line is a command line
  out=$(cd "$home" && as_nobody $exec_line) || rc=$?
  echo "$out" | sed 's/^/  launcher: /'
  [[ $rc -eq 0 ]] || fail "'$exec_line' exited $rc"
  grep -q "^lib path = '" <<<"$out" || fail "no 'lib path' line on standard output"

  expect_run_installed "'$exec_line'" "$root/INFO"
  expect_client_started
}

# Runs inside `unshare --pid --fork --mount-proc`: the client that the launcher
# starts is found through its pid file, so only processes of this namespace can
# ever be signalled.
install_test() {
  local deb=$1
  home=$(mktemp -d /tmp/pkg-test-home.XXXXXX)
  work=$(mktemp -d /tmp/pkg-test-work.XXXXXX)
  trap install_cleanup EXIT
  chown $nobody:$nobody "$home"
  install -d -m 700 -o $nobody -g $nobody "$home/run"

  dpkg -i "$deb" >/dev/null
  installed || { fail "dpkg -i did not install $pkg"; return; }
  pass "dpkg -i"
  local files conffile
  conffile=/etc/xdg/autostart/$app_id.desktop

  local autostart_exec
  exec_line=$(sed -n 's/^Exec=//p' "/usr/share/applications/$app_id.desktop")
  autostart_exec=$(sed -n 's/^Exec=//p' "$conffile")
  [[ "$exec_line" == "$autostart_exec" ]] || fail "menu runs '$exec_line', autostart '$autostart_exec'"
  # The README's way for one user to turn off the start at login, as that user.
  local optout=$home/.config/autostart/$app_id.desktop
  as_nobody sh -c "mkdir -p ~/.config/autostart &&
    cp $conffile ~/.config/autostart/ &&
    echo Hidden=true >>~/.config/autostart/$app_id.desktop" || true
  if grep -qx 'Hidden=true' "$optout" 2>/dev/null && desktop-file-validate "$optout"; then
    pass "the README's autostart opt-out makes a valid hidden entry"
  else
    fail "the README's autostart opt-out did not make a valid hidden entry at $optout"
  fi
  run_entry
  local old_pid=$client_pid

  # A newer package replaces the system-wide files but leaves the home folder
  # and the running client alone; the next start upgrades the per-user copy.
  local newer=$work/newer.deb user_before
  make_newer_deb "$deb" "$newer"
  user_before=$(user_tree_state "$home")
  dpkg -i "$newer" >/dev/null
  if [[ "$(dpkg-query -W -f='${Version}' "$pkg")" == *.1 && "$(user_tree_state "$home")" == "$user_before" ]] &&
    running "$old_pid"; then
    pass "dpkg -i of a newer package: home folder and running client untouched"
  else
    fail "the upgrade of the package touched the home folder or the client, or did not install"
  fi
  run_entry
  if [[ -n "$client_pid" && "$client_pid" != "$old_pid" ]] && ! running "$old_pid"; then
    pass "the next start stopped client $old_pid and started $client_pid"
  else
    fail "the old client $old_pid was not replaced"
  fi
  as_nobody "$home/.Brisendale/Brisendale.app/package/start-stop" stop || true
  grep -q "Failed\|ERROR" "$home/.Brisendale/log/launcher.log" 2>/dev/null &&
    fail "the launcher logged errors: $(cat "$home/.Brisendale/log/launcher.log")"
  files=$(dpkg-query -L "$pkg")
  local before after
  before=$(user_tree_state "$home")
  dpkg -r "$pkg" >/dev/null
  local left=() f
  while IFS= read -r f; do
    [[ -n "$f" && "$f" != "$conffile" ]] || continue
    if [[ -L "$f" || -f "$f" ]]; then left+=("$f"); fi
  done <<<"$files"
  [[ -e /opt/Kestrova ]] && left+=(/opt/Kestrova)
  if [[ ${#left[@]} -eq 0 ]]; then pass "dpkg -r removed every file"; else fail "left after dpkg -r: ${left[*]}"; fi
  after=$(user_tree_state "$home")
  if [[ -n "$before" && "$before" == "$after" ]]; then
    pass "the per-user copy is untouched ($(wc -l <<<"$after") files)"
  else
    fail "dpkg -r changed the per-user copy"
  fi

  # The autostart entry is a conffile: kept by -r (inert, its TryExec is gone), removed by -P.
  dpkg -P "$pkg" >/dev/null
  if [[ -e "$conffile" ]]; then fail "$conffile left after dpkg -P"; else pass "dpkg -P removed the autostart entry"; fi
  return 0
}

if [[ "${1:-}" == --install-test ]]; then
  install_test "$2"
  exit $((failures > 0))
fi

deb=${1:-}
if [[ -z "$deb" ]]; then deb=$(scripts/package.sh); fi
deb=$(realpath "$deb")
echo "package: $deb ($(stat -c %s "$deb") bytes)"

tree=$(mktemp -d /tmp/pkg-test-tree.XXXXXX)
trap 'rm -rf "$tree"' EXIT
check_contents "$deb" "$tree"

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP install test: needs root for dpkg -i"
elif ! command -v dpkg >/dev/null; then
  echo "SKIP install test: dpkg is missing"
elif dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -qv 'not-installed'; then
  echo "SKIP install test: $pkg is already known to dpkg on this machine; left alone"
elif [[ -e /opt/Kestrova ]]; then
  echo "SKIP install test: /opt/Kestrova already exists; left alone"
else
  rc=0
  unshare --pid --fork --mount-proc "$0" --install-test "$deb" || rc=$?
  # Should the namespace have died before its own clean-up ran.
  if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -qv 'not-installed'; then
    dpkg -P "$pkg" >/dev/null 2>&1 || true
    fail "the install test left the package behind; purged"
  fi
  [[ $rc -eq 0 ]] || fail "install test"
fi

if [[ $failures -gt 0 ]]; then
  echo "package test: $failures failed"
  exit 1
fi
echo "package test: all passed"
