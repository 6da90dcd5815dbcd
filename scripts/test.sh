#!/usr/bin/env bash
# Builds the tree and runs the whole test suite three times: a normal build in
# build/, a sanitizer (ASan+UBSan) build in build-asan/, both with Qt 5, and a
# Qt 6 build in build-qt6/; between them the demo, screenshots, fuzzers, and the
# .deb and RPM with their tests. Any failure exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

echo "==> tree checks"; scripts/check_includes.sh; scripts/check_doc_names.sh

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

# Every file and folder is fsynced now, and the fault test runs the launcher twice per
# call point: to keep CI within its time, the Qt 5 run tries every fourth point (a local
# build's default tries each one), the sanitizer and Qt 6 runs a sparser spread.
run_suite build -DBRISENDALE_WERROR=ON -DBRISENDALE_BUILD_BENCH=ON -DBRISENDALE_FAULT_STRIDE=4
# The sanitizer build takes libarchive's own gzip path, so that both inflaters are tested
# at no extra cost; the normal and fuzz builds use ISA-L where it is found.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DBRISENDALE_SANITIZE=ON -DBRISENDALE_WERROR=ON -DBRISENDALE_ISAL=OFF \
  -DBRISENDALE_FAULT_STRIDE=27

# The README's commands, as a user would run them, on the suites' build: the demo
# twice (the second over the first's leftovers), offscreen, and the screenshots into
# a scratch folder, which must come out the size of the committed ones.
for pass in 1 2; do
  echo "==> demo, pass $pass"
  env -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY scripts/demo.sh
done
echo "==> screenshots"
shots=$(mktemp -d)
scripts/screenshot.sh "$shots"
png_size() { file -b "$1" | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/\1x\2/p'; }
for png in dialog.png dialog@2x.png dialog-wayland.png; do
  got=$(png_size "$shots/$png") want=$(png_size "docs/$png")
  if [[ -z "$got" || "$got" != "$want" ]]; then
    echo "screenshot $png is '${got}', docs/$png is '$want'" >&2
    exit 1
  fi
  echo "  $png: $got"
done
rm -rf "$shots"

# The format target that the README asks contributors to run leaves every source as it is.
echo "==> format"
sources_sum() { git ls-files -z '*.h' '*.cpp' | xargs -0 cat | md5sum; }
formatted=$(sources_sum)
cmake --build build --target format
if [[ "$(sources_sum)" != "$formatted" ]]; then
  echo "the format target changed sources: run it and commit the result" >&2
  exit 1
fi

# Each fuzz target runs for a fixed time in a clang build of its own; a crashing input
# fails the run and stays in build-fuzz/artifacts/ (commit it to the target's corpus).
fuzz_seconds=12
echo "==> configure build-fuzz"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISENDALE_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
echo "==> build build-fuzz"
cmake --build build-fuzz -j "$jobs" --target brisendale_fuzzers
mkdir -p build-fuzz/artifacts
for unit in config ustring version_parse extractor; do
  echo "==> fuzz $unit for ${fuzz_seconds}s"
  mkdir -p "build-fuzz/corpus/$unit"
  log="build-fuzz/artifacts/$unit.log"
  if ! "build-fuzz/tests/fuzz/${unit}_fuzzer" -max_total_time=$fuzz_seconds -timeout=10 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$unit-" \
    "build-fuzz/corpus/$unit" "tests/fuzz/corpus/$unit" >"$log" 2>&1; then
    cat "$log"
    exit 1
  fi
  grep -E '^(Done|stat::new_units_added)' "$log"
done

# The install benchmark's quick mode, so that it keeps working; its figures are not checked.
echo "==> install benchmark, quick"
ROUNDS=1 PACKAGES=small AFTER="$PWD/build/ui-client/launcher/brisendale-launcher" \
  BARE="$PWD/build/bench/bare_qt_start" bench/install_bench.sh build/bench-quick

echo "==> package"
deb=$(scripts/package.sh)
echo "==> test the package $deb"
tests/packaging/package_test.sh "$deb"
echo "==> RPM"
rpm_file=$(scripts/package.sh --rpm)
tests/packaging/rpm_test.sh "$rpm_file"
# The README's vendor build: the package holds exactly the files given, and the next
# build without them the sample client again.
echo "==> package around a vendor's client"
vendor=$(mktemp -d)
echo "a vendor's client" >"$vendor/readme.txt"
tar -czf "$vendor/client.nbx" -C "$vendor" readme.txt
printf '[Version]\nmajor_version=9\nminor_version=0\nbuild_version=900\nicon_overlay_version=1\n' >"$vendor/INFO"
vdeb=$(scripts/package.sh -DBRISENDALE_CLIENT_PACKAGE="$vendor/client.nbx" \
  -DBRISENDALE_CLIENT_INFO="$vendor/INFO")
dpkg-deb -x "$vdeb" "$vendor/tree"
cmp "$vendor/client.nbx" "$vendor/tree/opt/Kestrova/Brisendale/package/brisendale.nbx"
cmp "$vendor/INFO" "$vendor/tree/opt/Kestrova/Brisendale/INFO"
deb=$(scripts/package.sh)
dpkg-deb -x "$deb" "$vendor/default"
if cmp -s "$vendor/INFO" "$vendor/default/opt/Kestrova/Brisendale/INFO"; then
  echo "the package built without the vendor variables still holds the vendor's INFO" >&2
  exit 1
fi
rm -rf "$vendor"

# The same suite and package test against Qt 6; sanitizers and fuzzing stay on Qt 5.
# The fault test fails the toolkit-free file operations, which the Qt 5 run has
# tried at every fourth call, so here a spread of the calls will do.
run_suite build-qt6 -DBRISENDALE_QT=6 -DBRISENDALE_WERROR=ON -DBRISENDALE_FAULT_STRIDE=27
echo "==> package (Qt 6)"
deb=$(scripts/package.sh --qt 6)
echo "==> test the package $deb"
tests/packaging/package_test.sh "$deb"
echo "==> RPM (Qt 6)"
rpm_file=$(scripts/package.sh --qt 6 --rpm)
tests/packaging/rpm_test.sh "$rpm_file"
echo "==> all tests passed"
