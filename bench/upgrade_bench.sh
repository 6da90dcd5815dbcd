#!/usr/bin/env bash
# Times the whole headless upgrade of the bench package (stop, backup, extract, sync,
# drop the backup) beside the extractor alone, and tells what the sync and the backup cost.
#
#   bench/upgrade_bench.sh [work folder]     (default: /tmp/brisendale-extract-bench)
#
# Environment: UPGRADE_BENCH  the upgrade_bench binary (default: built into build-bench/)
#              ROUNDS         timed rounds (default 3)
#              FORMAT         tar.gz or tar.zst (default tar.gz)
# The package is the one bench/extract_bench.sh builds; it is built first when missing.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/brisendale-extract-bench}
fmt=${FORMAT:-tar.gz}

bin=${UPGRADE_BENCH:-}
if [ -z "$bin" ]; then
    cmake -S "$repo" -B "$repo/build-bench" -DBRISENDALE_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$repo/build-bench" --target upgrade_bench -j2 >/dev/null
    bin=$repo/build-bench/bench/upgrade_bench
fi
if [ ! -f "$work/pkg.$fmt" ]; then
    RUNS=1 "$repo/bench/extract_bench.sh" "$work" >/dev/null
fi

# The root is the parent of the binary's folder; HOME holds the per-user copy.
scratch=$work/upgrade
rm -rf "$scratch"
mkdir -p "$scratch/root/bin" "$scratch/root/package" "$scratch/home"
cp "$bin" "$scratch/root/bin/upgrade_bench"
ln -s "$work/pkg.$fmt" "$scratch/root/package/brisendale.nbx"
echo "package: $work/pkg.$fmt, $(du -smL "$scratch/root/package/brisendale.nbx" | cut -f1) MB"
HOME=$scratch/home "$scratch/root/bin/upgrade_bench" "${ROUNDS:-3}"
rm -rf "$scratch"
