#!/usr/bin/env bash
# Checks the RPM: rpmlint with the filters in packaging/linux/rpmlint.toml (no error,
# no warning left), its files and its soname requirements; then, as root, installs it
# into a scratch root (rpm --root), runs the installed launcher as uid 65534 against
# a scratch HOME, and removes it again, which must leave the scratch root as it was.
#   tests/packaging/rpm_test.sh [package.rpm]   (default: builds one)
# The install test skips, saying why, when not root or without rpm and unshare. It
# runs in a pid namespace of its own, so the client it starts dies with it.
set -euo pipefail
cd "$(dirname "$0")/../.."

# shellcheck source=tests/packaging/common.sh
source tests/packaging/common.sh

# Every file the .deb installs, but its Debian changelog and lintian overrides.
expected_files() {
  local size
  printf '%s\n' "$root/bin/brisendale-launcher" "$root/INFO" "$root/package/brisendale.nbx" \
    "$root/images/ico_72_brisendale.png" /usr/bin/brisendale-drive \
    "/usr/share/applications/$app_id.desktop" "/etc/xdg/autostart/$app_id.desktop" \
    "/usr/share/metainfo/$app_id.metainfo.xml" /usr/share/man/man1/$pkg.1.gz \
    /usr/share/doc/$pkg/copyright "/usr/share/icons/hicolor/scalable/apps/$app_id.svg"
  for size in 16 24 32 48 64 128 256; do
    echo "/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png"
  done
}

check_contents() {
  local rpm=$1 out missing
  # Filtered warnings are explained in the filter file; anything else fails.
  out=$(rpmlint -c packaging/linux/rpmlint.toml "$rpm" 2>&1 || true)
  echo "$out" | sed '/^$/d; s/^/  rpmlint: /'
  if grep -qE ': [EW]: ' <<<"$out" || ! grep -q '0 errors, 0 warnings' <<<"$out"; then
    fail "rpmlint reports errors or warnings"
  else
    pass "rpmlint"
  fi

  missing=$(comm -23 <(expected_files | sort) <(rpm -qlp "$rpm" | sort))
  if [[ -z "$missing" ]]; then pass "the files of the .deb"; else fail "missing: $missing"; fi
  if rpm -qp --qf '[%{FILEFLAGS:fflags} %{FILENAMES}\n]' "$rpm" |
    grep -qx "cn /etc/xdg/autostart/$app_id.desktop"; then
    pass "the autostart entry is %config(noreplace)"
  else
    fail "the autostart entry is not %config(noreplace)"
  fi

  # Taken from the ELF files by rpmbuild: the toolkit's and libarchive's sonames.
  local requires so
  requires=$(rpm -qpR "$rpm")
  for so in 'libQt[56]Widgets\.so\.[56]' 'libQt[56]Gui\.so\.[56]' 'libarchive\.so\.13' 'libicuuc\.so'; do
    grep -q "^$so" <<<"$requires" || fail "no requirement on $so: $requires"
  done
  pass "requirements from sonames ($(wc -l <<<"$requires") entries)"
}

scratch='' home=''

# Everything in the scratch root but rpm's database.
tree_state() {
  (cd "$scratch" && find . -path ./rpmdb -prune -o -printf '%y %m %p\n' | sort)
}

# Runs inside `unshare --pid --fork --mount-proc`.
install_test() {
  local rpm=$1 before after entry
  scratch=$(mktemp -d /tmp/rpm-test-root.XXXXXX)
  home=$(mktemp -d /tmp/rpm-test-home.XXXXXX)
  trap 'rm -rf "$scratch" "$home"' EXIT
  chmod 755 "$scratch"
  chown $nobody:$nobody "$home"
  install -d -m 700 -o $nobody -g $nobody "$home/run"
  # The folders a system has before the package comes: the parents of what it ships
  # that it does not own itself.
  local owned
  owned=$(rpm -qlp "$rpm")
  while IFS= read -r entry; do
    while entry=$(dirname "$entry") && [[ "$entry" != / ]]; do
      grep -qxF "$entry" <<<"$owned" || mkdir -p "$scratch$entry"
    done
  done <<<"$owned"
  before=$(tree_state)

  # Debian's rpm suggests alien on every change; that is not what is tested here.
  rpm --root "$scratch" --dbpath /rpmdb -i --nodeps "$rpm" 2> >(grep -v 'Alien\|assuming you know' >&2)
  rpm --root "$scratch" --dbpath /rpmdb -q $pkg >/dev/null && pass "rpm -i into $scratch" ||
    fail "rpm -i did not install $pkg"

  local link launcher out rc=0 app=$home/.Brisendale/Brisendale.app
  link=$(readlink "$scratch/usr/bin/brisendale-drive")
  [[ "$link" == "$root/bin/brisendale-launcher" ]] || fail "/usr/bin/brisendale-drive points to '$link'"
  launcher=$scratch$link
  out=$(cd "$home" && as_nobody "$launcher") || rc=$?
  echo "$out" | sed 's/^/  launcher: /'
  [[ $rc -eq 0 ]] || fail "the installed launcher exited $rc"
  expect_run_installed "the launcher" "$scratch$root/INFO"
  expect_client_started
  as_nobody "$app/package/start-stop" stop || true
  grep -q "Failed\|ERROR" "$home/.Brisendale/log/launcher.log" 2>/dev/null &&
    fail "the launcher logged errors: $(cat "$home/.Brisendale/log/launcher.log")"

  rpm --root "$scratch" --dbpath /rpmdb -e $pkg 2> >(grep -v 'Alien\|assuming you know' >&2)
  after=$(tree_state)
  if [[ "$before" == "$after" ]]; then
    pass "rpm -e left the root as it was before the install"
  else
    fail "rpm -e changed the root: $(diff <(echo "$before") <(echo "$after") || true)"
  fi
  [[ -f "$app/bin/brisendale-drive-ui" ]] && pass "the per-user copy is left alone" ||
    fail "rpm -e touched the per-user copy"
}

if [[ "${1:-}" == --install-test ]]; then
  install_test "$2"
  exit $((failures > 0))
fi

rpm_file=${1:-}
if [[ -z "$rpm_file" ]]; then rpm_file=$(scripts/package.sh --rpm); fi
rpm_file=$(realpath "$rpm_file")
echo "package: $rpm_file ($(stat -c %s "$rpm_file") bytes)"
check_contents "$rpm_file"

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP install test: needs root to install as another user's files and drop to uid $nobody"
elif ! command -v rpm >/dev/null || ! command -v unshare >/dev/null; then
  echo "SKIP install test: rpm or unshare is missing"
else
  unshare --pid --fork --mount-proc "$0" --install-test "$rpm_file" || fail "install test"
fi

if [[ $failures -gt 0 ]]; then
  echo "rpm test: $failures failed"
  exit 1
fi
echo "rpm test: all passed"
