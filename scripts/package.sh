#!/usr/bin/env bash
# Builds the Debian package: a Release build in build-release/, then CPack's DEB
# generator. Copies brisendale-drive_<version>-<revision>_<arch>.deb into build/
# and prints its path. `--qt 6` builds against Qt 6 in build-release-qt6/ and
# copies the package into build-qt6/; Qt 5 is the default. `--rpm` makes an RPM
# from the same build with CPack's RPM generator instead
# (brisendale-drive-<version>-<release>.<arch>.rpm). Extra arguments go to CMake,
# e.g. a vendor's own client:
#   scripts/package.sh -DBRISENDALE_CLIENT_PACKAGE=/path/client.nbx -DBRISENDALE_CLIENT_INFO=/path/INFO
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

qt=5 generator=DEB
while [[ $# -gt 0 ]]; do
  case $1 in
    --qt) qt=${2:-}; shift 2 || shift ;;
    --rpm) generator=RPM; shift ;;
    *) break ;;
  esac
done
case $qt in
  5) build=$top/build-release out=$top/build ;;
  6) build=$top/build-release-qt6 out=$top/build-qt6 ;;
  *) echo "usage: $0 [--qt 5|6] [--rpm] [cmake arguments...]" >&2; exit 2 ;;
esac
ext=$(tr '[:upper:]' '[:lower:]' <<<"$generator")

scripts/deps.sh >&2
jobs=$(nproc 2>/dev/null || echo 2)

# Debian's hardening flags (fortify, stack protector, relro, bind now), as a
# package build would use them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

echo "==> configure $build" >&2
# A cached build type, flags or vendor client from an earlier run would otherwise win:
# without the variables the package holds the sample client.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DBRISENDALE_QT="$qt" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DBRISENDALE_CLIENT_PACKAGE= -DBRISENDALE_CLIENT_INFO= "$@" >&2
echo "==> build" >&2
cmake --build "$build" -j "$jobs" >&2
echo "==> cpack $generator" >&2
rm -f "$build"/cpack/*."$ext"
(cd "$build" && cpack -G "$generator" -B "$build/cpack") >&2

pkgs=("$build"/cpack/*."$ext")
[[ ${#pkgs[@]} -eq 1 && -f ${pkgs[0]} ]] || { echo "package: expected one .$ext, got: ${pkgs[*]}" >&2; exit 1; }
mkdir -p "$out"
cp "${pkgs[0]}" "$out/"
echo "$out/$(basename "${pkgs[0]}")"
