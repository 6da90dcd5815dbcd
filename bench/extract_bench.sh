#!/usr/bin/env bash
# Times the package extractor against bsdtar on a deterministic package of about
# 3,000 files and 150 MB, in tar.gz and tar.zst.
#
#   bench/extract_bench.sh [work folder]        (default: /tmp/brisendale-extract-bench)
#
# Environment: EXTRACT_BENCH  the extract_bench binary (default: built into build-bench/)
#              RUNS           timed rounds per format (default 7)
#              OUT            extraction folder (default: <work>/out; a tmpfs one such as
#                             /dev/shm/x takes the disk's write-back noise out of the figures)
#
# Each round runs, in alternation, extract_bench (Extract: a header pass, then the extracting
# pass) and `bsdtar -tf` followed by `bsdtar -xf` on the same archive, each into a fresh
# folder. A third command, bsdtar with the metadata restoration it does as root switched
# off (-m --no-same-owner --no-same-permissions), shows the cost of equal work. Reports
# the medians of the per-round ratios of wall-clock and of CPU time (user + system), and
# the extractor's peak resident memory.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/brisendale-extract-bench}
runs=${RUNS:-7}

for tool in bsdtar gzip zstd python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

bin=${EXTRACT_BENCH:-}
if [ -z "$bin" ]; then
    cmake -S "$repo" -B "$repo/build-bench" -DBRISENDALE_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$repo/build-bench" --target extract_bench -j2 >/dev/null
    bin=$repo/build-bench/bench/extract_bench
fi

mkdir -p "$work"
src=$work/src
if [ ! -f "$work/pkg.tar.gz" ] || [ ! -f "$work/pkg.tar.zst" ]; then
    rm -rf "$src"
    # Sizes follow a seeded log-normal law scaled to 150 MB; each file is one third
    # seeded noise (binaries) and two thirds repeated text, so both codecs have work.
    python3 - "$src" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20261208)
count, total = 3000, 150 * 1000 * 1000
raw = [rng.lognormvariate(9.5, 1.6) for _ in range(count)]
scale = total / sum(raw)
words = b"brisendale drive sync client package layout version build icon overlay "
for i, r in enumerate(raw):
    size = max(1, int(r * scale))
    folder = os.path.join(root, "d%02d" % (i % 40), "s%d" % (i % 7))
    os.makedirs(folder, exist_ok=True)
    noise = rng.getrandbits(8 * (size // 3)).to_bytes(size // 3, "little") if size >= 3 else b""
    text = (words * (size // len(words) + 1))[: size - len(noise)]
    with open(os.path.join(folder, "f%04d.bin" % i), "wb") as f:
        f.write(noise + text)
os.makedirs(os.path.join(root, "lib"), exist_ok=True)
for k in range(20):
    os.symlink("../d%02d/s0/f%04d.bin" % (k, k), os.path.join(root, "lib", "l%02d.so" % k))
EOF
    find "$src" -exec touch -h -d @1700000000 {} +
    (cd "$src" && find . -mindepth 1 | LC_ALL=C sort >"$work/list")
    bsdtar --format=pax --uid 0 --gid 0 --uname root --gname root -cf "$work/pkg.tar" \
        -C "$src" --no-recursion -T "$work/list"
    gzip -n -6 -c "$work/pkg.tar" >"$work/pkg.tar.gz"
    zstd -q -10 -f "$work/pkg.tar" -o "$work/pkg.tar.zst"
    rm -f "$work/pkg.tar" && rm -rf "$src"
fi
entries=$(bsdtar -tf "$work/pkg.tar.gz" | wc -l)
echo "package: $entries entries, $(du -sm "$work/pkg.tar.gz" | cut -f1) MB tar.gz," \
    "$(du -sm "$work/pkg.tar.zst" | cut -f1) MB tar.zst"

now() { date +%s%N; }
median() { LC_ALL=C sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Runs a command under GNU time, appending "user system peak-KiB" to the file $1.
timed() { local file=$1; shift; /usr/bin/time -f '%U %S %M' -a -o "$file" "$@"; }
cpu() { awk '{ s += $1 + $2 } END { printf "%.2f", s }' "$1"; }

out=${OUT:-$work/out}
for fmt in tar.gz tar.zst; do
    pkg=$work/pkg.$fmt
    : >"$work/wall" && : >"$work/wall_equal" && : >"$work/cpu" && : >"$work/cpu_equal" && : >"$work/mem"
    cat "$pkg" >/dev/null # page cache
    rm -rf "$out" && "$bin" "$pkg" "$out" && rm -rf "$out"
    for _ in $(seq "$runs"); do
        rm -f "$work"/t_*
        rm -rf "$out" && sync
        t0=$(now)
        timed "$work/t_ours" "$bin" "$pkg" "$out"
        t1=$(now)
        rm -rf "$out" && mkdir "$out" && sync
        t2=$(now)
        timed "$work/t_tar" bsdtar -tf "$pkg" >/dev/null
        timed "$work/t_tar" bsdtar -xf "$pkg" -C "$out"
        t3=$(now)
        rm -rf "$out" && mkdir "$out" && sync
        t4=$(now)
        timed "$work/t_eq" bsdtar -tf "$pkg" >/dev/null
        timed "$work/t_eq" bsdtar -xf "$pkg" -C "$out" -m --no-same-owner --no-same-permissions
        t5=$(now)
        awk '{ print $3 }' "$work/t_ours" >>"$work/mem"
        ours=$(cpu "$work/t_ours") tar=$(cpu "$work/t_tar") eq=$(cpu "$work/t_eq")
        awk -v a=$((t1 - t0)) -v b=$((t3 - t2)) 'BEGIN { printf "%.4f\n", a / b }' >>"$work/wall"
        awk -v a=$((t1 - t0)) -v b=$((t5 - t4)) 'BEGIN { printf "%.4f\n", a / b }' >>"$work/wall_equal"
        awk -v a="$ours" -v b="$tar" 'BEGIN { printf "%.4f\n", a / b }' >>"$work/cpu"
        awk -v a="$ours" -v b="$eq" 'BEGIN { printf "%.4f\n", a / b }' >>"$work/cpu_equal"
        echo "$fmt: wall ms extractor $(((t1 - t0) / 1000000)) bsdtar $(((t3 - t2) / 1000000))" \
            "equal-work $(((t5 - t4) / 1000000)); cpu s $ours / $tar / $eq;" \
            "peak $(awk '{ print $3 }' "$work/t_ours") KiB"
    done
    rm -rf "$out"
    echo "$fmt: median ratio extractor/bsdtar wall $(median <"$work/wall") cpu $(median <"$work/cpu");" \
        "vs equal-work bsdtar wall $(median <"$work/wall_equal") cpu $(median <"$work/cpu_equal");" \
        "peak memory $(LC_ALL=C sort -n "$work/mem" | tail -1) KiB" \
        "(goal: ratio <= 1.05, peak < 32768 KiB)"
done
