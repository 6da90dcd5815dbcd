#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Does nothing when every package is already present.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libicu-dev
  libarchive-dev libarchive-tools zstd libisal-dev isal libssl-dev zlib1g-dev
  qtbase5-dev qttools5-dev qttools5-dev-tools qt5-qmake libqt5network5 libqt5dbus5
  # the notification tests: a private session bus
  dbus-daemon
  # the Qt 6 build (-DBRISENDALE_QT=6): lrelease is in qt6-l10n-tools
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libqt6dbus6
  libgtest-dev libgmock-dev libbenchmark-dev
  util-linux procps time
  # the tests' loop-mounted XFS and btrfs trees and their shifted clock
  xfsprogs btrfs-progs faketime libfaketime
  xvfb xauth x11-apps
  # icons, the .deb and its checks; a window manager and a Wayland compositor
  # for the screenshots and the Wayland run
  librsvg2-bin dpkg-dev gzip file lintian desktop-file-utils appstream groff-base man-db
  # the RPM and its checks
  rpm rpmlint
  openbox imagemagick x11-utils weston qtwayland5 qt6-wayland
  # the fuzz build: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "deps: installing ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
