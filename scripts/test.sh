#!/usr/bin/env bash
# Builds the tree and runs the whole test suite twice: a normal build in build/
# and a sanitizer (ASan+UBSan) build in build-asan/. Any failure exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  echo "==> configure $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  echo "==> build $dir"
  cmake --build "$dir" -j "$jobs"
  echo "==> test $dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

run_suite build -DBRISENDALE_WERROR=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DBRISENDALE_SANITIZE=ON -DBRISENDALE_WERROR=ON

echo "==> package"
deb=$(scripts/package.sh)
echo "==> test the package $deb"
tests/packaging/package_test.sh "$deb"
echo "==> all tests passed"
