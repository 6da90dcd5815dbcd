#!/usr/bin/env bash
# The project's end-to-end benchmark: a fresh install by the launcher, from its start to
# its exit, against bsdtar on the same package; the upgrade over a running client, from the
# launcher's start to the new client's start; and the start without an upgrade against a
# bare widget application.
#
#   bench/install_bench.sh [work folder]        (default: /tmp/brisendale-install-bench)
#
# Environment:
#   BUILD_DIR  Release build folder for the launcher and the bare start (default: build-bench/)
#   AFTER      launcher binary to measure (default: the one built into BUILD_DIR)
#   BARE       bare start binary (default: the one built into BUILD_DIR); with AFTER, nothing
#              is built
#   BEFORE     a second launcher binary, measured in the same rounds (optional)
#   EXTRA      name=binary: one more launcher, measured in the same rounds (optional)
#   ROUNDS     timed rounds per package (default 7)
#   MANY_ROUNDS  rounds for the many packages (default: ROUNDS, at most 3)
#   NO_DIGEST  launchers ("before", "after" or both) whose version file gives no sha256 of
#              the package, so that the digest's cost shows: BEFORE=AFTER=<one binary>
#              NO_DIGEST=before measures it with and without in one run (default: none)
#   PACKAGES   which packages (default: "typical.tar.gz typical.tar.zst many.tar.gz many.tar.zst");
#              a bare kind ("small") stands for its tar.gz and tar.zst
#
# Quick mode, for CI: ROUNDS=1 PACKAGES=small (well under a minute).
#
# Packages are generated once from a fixed seed into the work folder:
#   typical  ~3,000 files, ~150 MB: mixed text and noise, 5 files of 10-22 MB,
#            150 folders, 30 symlinks
#   many     ~30,000 files of 100 B - 2 KiB
#   small    ~300 files, ~4 MB, like typical
# each as tar.gz and tar.zst. Each also holds the version file, a client executable that
# runs until it is stopped when given "run", and a start script that touches the file
# .Brisendale/started in HOME and exits, so that the launcher installs it fully and its
# start shows.
#
# Each round runs, in an order that rotates between rounds, on a warm cache and with
# the file system synced before every command: each launcher's fresh install in a fresh
# HOME, `bsdtar -xf` into a fresh folder, then `sync -f` of that folder, and the floor:
# `bsdtar -xf` of the uncompressed tar of the same entries (pure writing, nothing decoded,
# nothing flushed), then `sync -f` of it (the durable floor). The trees stay
# until the end (they need a few GB): ext4 passes over inodes freed within the last
# minute when it allocates one, and removing a tree before each command would time that. The launcher's
# own flush is part of its time; bsdtar's tree is not durable until the sync. Each round
# then installs build 125 for each launcher, starts its client and times the upgrade to
# build 126 from the launcher's start to the new client's start, against the round's fresh
# install above timed the same way, and the downtime: from the running client's SIGTERM
# (the client writes the time) to the new client's start. The INFO of each build names the
# package's sha256 and installed_entries, as a release does. Then start-up rounds time each
# launcher with nothing to upgrade against the bare start, on the first package of each kind.
# Prints the per-round figures, then one table of medians, medians of the per-round
# ratios and the peak resident memory.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/brisendale-install-bench}
rounds=${ROUNDS:-7}
packages=
for p in ${PACKAGES:-"typical.tar.gz typical.tar.zst many.tar.gz many.tar.zst"}; do
    case $p in
    *.tar.*) packages+=" $p" ;;
    *) packages+=" $p.tar.gz $p.tar.zst" ;;
    esac
done
packages=${packages# }
build=${BUILD_DIR:-$repo/build-bench}

for tool in bsdtar gzip zstd python3 /usr/bin/time sync stat sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

if [ -z "${AFTER:-}" ] || [ -z "${BARE:-}" ]; then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRISENDALE_BUILD_BENCH=ON \
        -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$build" --target brisendale-launcher bare_qt_start -j2 >/dev/null
fi
bare=${BARE:-$build/bench/bare_qt_start}
declare -A bin=([after]=${AFTER:-$build/ui-client/launcher/brisendale-launcher})
names=(after)
if [ -n "${BEFORE:-}" ]; then
    bin[before]=$BEFORE
    names=(before after)
fi
if [ -n "${EXTRA:-}" ]; then
    bin[${EXTRA%%=*}]=${EXTRA#*=}
    names=("${EXTRA%%=*}" "${names[@]}")
fi

mkdir -p "$work"
work=$(cd "$work" && pwd)

# --- packages ------------------------------------------------------------------------
generate() { # kind folder
    python3 - "$1" "$2" <<'EOF'
import os, random, sys
kind, root = sys.argv[1], sys.argv[2]
rng = random.Random(20261208)
words = [b"brisendale", b"drive", b"sync", b"client", b"package", b"layout", b"version",
         b"build", b"icon", b"overlay", b"folder", b"entry", b"launcher", b"upgrade"]

def text(n):
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words) + (b"\n" if rng.random() < 0.1 else b" ")
    return bytes(out[:n])

def write(rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

if kind == "typical":
    folders = ["d%02d/s%d" % (i, j) for i in range(30) for j in range(5)]
    for k in range(5):  # the large ones: two of noise, three of text with noise
        size = rng.randint(10, 22) * 1000 * 1000
        data = rng.randbytes(size) if k < 2 else text(size // 2) + rng.randbytes(size - size // 2)
        write("lib/big%d.so" % k, data)
    raw = [rng.lognormvariate(9.0, 1.5) for _ in range(2990)]
    scale = 70 * 1000 * 1000 / sum(raw)
    for i, r in enumerate(raw):
        size = max(1, int(r * scale))
        data = rng.randbytes(size) if rng.random() < 0.35 else text(size)
        write("%s/f%04d.dat" % (folders[i % len(folders)], i), data)
    for k in range(30):
        os.symlink("../../%s/f%04d.dat" % (folders[k % len(folders)], k),
                   os.path.join(root, folders[(k + 7) % len(folders)], "l%02d" % k))
elif kind == "small":
    for i in range(300):
        size = rng.randint(100, 20000) if i % 50 else rng.randint(200000, 600000)
        data = rng.randbytes(size) if rng.random() < 0.35 else text(size)
        write("d%02d/f%04d.dat" % (i % 20, i), data)
    os.symlink("../d00/f0000.dat", os.path.join(root, "d01", "l00"))
else:
    for i in range(30000):
        write("m%03d/f%05d.txt" % (i // 100, i), text(rng.randint(100, 2048)))
# What the launcher needs to count the install as complete and to start the client.
# Given "run", the client names itself in U/ui.pid and, at SIGTERM, writes the time and
# exits at once: the upgrade's downtime starts there.
write("bin/brisendale-drive-ui", b"""#!/bin/sh
if [ "$1" = run ]; then
    echo "pid=$$" >"$HOME/.Brisendale/ui.pid"
    trap 'date +%s%N >"$HOME/.Brisendale/stopped"; exit 0' TERM
    while :; do sleep 1 & wait $!; done
fi
exit 0
""")
# A builtin first: the file's time is the client's start, without a fork.
write("package/start-stop", b"#!/bin/sh\n[ \"$1\" = start ] && : >\"$HOME/.Brisendale/started\"\nexit 0\n")
write("INFO", b"[Version]\nmajor_version=1\nminor_version=0\nbuild_version=125\n")
os.chmod(os.path.join(root, "bin/brisendale-drive-ui"), 0o755)
os.chmod(os.path.join(root, "package/start-stop"), 0o755)
EOF
}

# Packages of an older layout of this script are made again.
layout=4
[ "$(cat "$work/layout" 2>/dev/null)" = $layout ] || rm -f "$work"/*.tar "$work"/*.tar.gz "$work"/*.tar.zst
echo $layout >"$work/layout"
for kind in $(for p in $packages; do echo "${p%%.*}"; done | sort -u); do
    [ -f "$work/$kind.tar" ] && [ -f "$work/$kind.tar.gz" ] && [ -f "$work/$kind.tar.zst" ] && continue
    src=$work/src-$kind
    rm -rf "$src"
    generate "$kind" "$src"
    find "$src" -exec touch -h -d @1700000000 {} +
    (cd "$src" && find . -mindepth 1 | LC_ALL=C sort >"$work/list")
    bsdtar --format=pax --uid 0 --gid 0 --uname root --gname root -cf "$work/$kind.tar" \
        -C "$src" --no-recursion -T "$work/list"
    gzip -n -6 -c "$work/$kind.tar" >"$work/$kind.tar.gz"
    zstd -q -10 -f "$work/$kind.tar" -o "$work/$kind.tar.zst"
    rm -rf "$src" "$work/list" # the uncompressed tar stays: the floor reads it
done

# One system-wide root per launcher and package: bin/, INFO, package/brisendale.nbx, log/.
# root-<name> ships build 125, root-<name>-next build 126 of the same package.
make_root() { # name package
    local root build
    for build in 125 126; do
        root=$work/root-$1
        [ $build = 125 ] || root+=-next
        rm -rf "$root"
        mkdir -p "$root/bin" "$root/package" "$root/log"
        cp "${bin[$1]}" "$root/bin/brisendale-launcher"
        printf '[Version]\nmajor_version=1\nminor_version=0\nbuild_version=%s\n' $build >"$root/INFO"
        # As the package build writes it: the launcher then hashes the package it reads.
        case " ${NO_DIGEST:-} " in
        *" $1 "*) ;;
        *) printf '[Package]\nsha256=%s\n' "${digest[$2]}" >>"$root/INFO" ;;
        esac
        # As a release counts them: the entries below the target, and the target.
        printf 'installed_entries=%s\n' "${entries[$2]}" >>"$root/INFO"
        ln -s "$work/$2" "$root/package/brisendale.nbx"
    done
}

declare -A digest entries
for pkg in $packages; do
    digest[$pkg]=$(sha256sum <"$work/$pkg" | cut -d' ' -f1)
    entries[$pkg]=$(($(bsdtar -tf "$work/$pkg" | wc -l) + 1))
done

now() { date +%s%N; }
ms() { echo $((($2 - $1) / 1000000)); }
median() { LC_ALL=C sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", a / b }'; }
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

# Runs launcher $1 (root-$1) with HOME $2; appends its wall ms to res/$3.ms, the ms to
# the client's start to res/$3.start and its peak KiB to res/$3.rss. Fails the benchmark
# when the install did not complete.
run_launcher() {
    local t0 t1 started
    sync
    rm -f "$2/.Brisendale/started"
    t0=$(now)
    /usr/bin/time -f '%M' -o "$work/rss" "$work/root-$1/bin/brisendale-launcher" >/dev/null 2>&1
    t1=$(now)
    ms "$t0" "$t1" >>"$res/$3.ms"
    started=$(stat -c %.9Y "$2/.Brisendale/started" 2>/dev/null) || {
        echo "launcher $1 did not start the client; see $2/.Brisendale/log" >&2
        exit 1
    }
    ms "$t0" "${started/./}" >>"$res/$3.start"
    cat "$work/rss" >>"$res/$3.rss"
    if [ ! -x "$2/.Brisendale/Brisendale.app/bin/brisendale-drive-ui" ] ||
        grep -q ERROR "$2/.Brisendale/log/launcher.log" 2>/dev/null; then
        echo "launcher $1 did not install the package; see $2/.Brisendale/log" >&2
        exit 1
    fi
}

# bsdtar -xf of archive $1 into a fresh folder $2, then sync -f of it: appends the
# extraction's ms to res/$3.ms and the sync's to res/$4.ms, or with "whole" as $5 the
# time of both together.
untar() {
    local t0 t1 t2
    mkdir -p "$2" && sync
    t0=$(now)
    bsdtar -xf "$1" -C "$2"
    t1=$(now)
    sync -f "$2"
    t2=$(now)
    ms "$t0" "$t1" >>"$res/$3.ms"
    if [ "${5:-}" = whole ]; then ms "$t0" "$t2"; else ms "$t1" "$t2"; fi >>"$res/$4.ms"
}

res=$work/results
trees=$work/trees
rm -rf "$res" "$trees" && mkdir -p "$res" "$trees"
for pkg in $packages; do
    for n in "${names[@]}"; do make_root "$n" "$pkg"; done
    cat "$work/$pkg" "$work/${pkg%.*}" >/dev/null # page cache
    pr=$rounds
    [ "${pkg%%.*}" = many ] && pr=${MANY_ROUNDS:-$(( rounds < 3 ? rounds : 3 ))}
    for r in $(seq "$pr"); do
        # Every contender takes every place in the round in turn.
        contenders=("${names[@]}" bsdtar floor)
        line="$pkg round $r:"
        for i in "${!contenders[@]}"; do
            c=${contenders[$(((i + r) % ${#contenders[@]}))]}
            if [ "$c" = bsdtar ]; then
                untar "$work/$pkg" "$trees/$pkg-$r-bsdtar" "$pkg.tar" "$pkg.sync"
                line+=" bsdtar -xf $(tail -1 "$res/$pkg.tar.ms") ms, sync -f $(tail -1 "$res/$pkg.sync.ms") ms;"
                continue
            fi
            if [ "$c" = floor ]; then
                untar "$work/${pkg%.*}" "$trees/$pkg-$r-floor" "$pkg.floor" "$pkg.dfloor" whole
                line+=" floor $(tail -1 "$res/$pkg.floor.ms") ms, durable $(tail -1 "$res/$pkg.dfloor.ms") ms;"
                continue
            fi
            home=$trees/$pkg-$r-$c
            mkdir -p "$home"
            HOME=$home run_launcher "$c" "$home" "$pkg.$c"
            line+=" $c $(tail -1 "$res/$pkg.$c.ms") ms ($(tail -1 "$res/$pkg.$c.rss") KiB);"
        done
        for n in "${names[@]}"; do
            ratio "$(tail -1 "$res/$pkg.$n.ms")" "$(tail -1 "$res/$pkg.tar.ms")" >>"$res/$pkg.$n.ratio"
            ratio "$(tail -1 "$res/$pkg.$n.ms")" "$(tail -1 "$res/$pkg.floor.ms")" >>"$res/$pkg.$n.fratio"
            ratio "$(tail -1 "$res/$pkg.$n.ms")" "$(tail -1 "$res/$pkg.dfloor.ms")" >>"$res/$pkg.$n.dfratio"
            ratio "$(tail -1 "$res/$pkg.$n.ms")" \
                "$(($(tail -1 "$res/$pkg.tar.ms") + $(tail -1 "$res/$pkg.sync.ms")))" >>"$res/$pkg.$n.dbratio"
        done
        if [ -n "${BEFORE:-}" ]; then
            ratio "$(tail -1 "$res/$pkg.after.ms")" "$(tail -1 "$res/$pkg.before.ms")" >>"$res/$pkg.gain"
        fi
        echo "$line"
    done
    for r in $(seq "$pr"); do
        line="$pkg upgrade round $r:"
        for i in "${!names[@]}"; do
            n=${names[$(((i + r) % ${#names[@]}))]}
            home=$trees/$pkg-$r-$n-up
            mkdir -p "$home"
            HOME=$home run_launcher "$n" "$home" "$pkg.$n.install"
            # The installed client runs, as at a login after a release; the launcher
            # stops it through its pid file.
            rm -f "$home/.Brisendale/ui.pid" "$home/.Brisendale/stopped"
            HOME=$home "$home/.Brisendale/Brisendale.app/bin/brisendale-drive-ui" run >/dev/null 2>&1 &
            client=$!
            while ! grep -q "pid=$client" "$home/.Brisendale/ui.pid" 2>/dev/null; do sleep 0.01; done
            HOME=$home run_launcher "$n-next" "$home" "$pkg.$n.up"
            kill "$client" 2>/dev/null || true
            wait "$client" 2>/dev/null || true
            # Downtime: from the old client's SIGTERM to the new one's start.
            stopped=$(cat "$home/.Brisendale/stopped" 2>/dev/null) || {
                echo "launcher $n did not stop the running client" >&2
                exit 1
            }
            started=$(stat -c %.9Y "$home/.Brisendale/started")
            ms "$stopped" "${started/./}" >>"$res/$pkg.$n.down"
            # Against the fresh install of the same round above: the one just before came
            # right after the last round's removal of a tree, which slows every create.
            ratio "$(tail -1 "$res/$pkg.$n.up.start")" "$(sed -n "${r}p" "$res/$pkg.$n.start")" \
                >>"$res/$pkg.$n.upratio"
            line+=" $n fresh $(sed -n "${r}p" "$res/$pkg.$n.start") ms, upgrade $(tail -1 "$res/$pkg.$n.up.start") ms, downtime $(tail -1 "$res/$pkg.$n.down") ms;"
        done
        echo "$line"
    done
done

# Start without an upgrade, for the first package of each kind: the package is installed
# once per launcher, then each round runs every launcher again and the bare start (the
# check of the installed copy against its manifest grows with its entries).
starts=
for pkg in $packages; do
    case " $starts " in *" ${pkg%%.*}:"*) continue ;; esac
    starts+=" ${pkg%%.*}:$pkg"
done
for kp in $starts; do
    kind=${kp%%:*}
    pkg=${kp#*:}
    for n in "${names[@]}"; do
        make_root "$n" "$pkg"
        mkdir -p "$trees/start-$kind-$n"
        HOME=$trees/start-$kind-$n "$work/root-$n/bin/brisendale-launcher" >/dev/null 2>&1
    done
    for r in $(seq $((rounds * 3))); do
        sync
        t0=$(now)
        /usr/bin/time -f '%M' -o "$work/rss" "$bare" >/dev/null 2>&1
        t1=$(now)
        ms "$t0" "$t1" >>"$res/start.$kind.bare.ms"
        cat "$work/rss" >>"$res/start.$kind.bare.rss"
        for n in "${names[@]}"; do
            HOME=$trees/start-$kind-$n run_launcher "$n" "$trees/start-$kind-$n" "start.$kind.$n"
            echo $(($(tail -1 "$res/start.$kind.$n.ms") - $(tail -1 "$res/start.$kind.bare.ms"))) \
                >>"$res/start.$kind.$n.extra"
            echo $(($(tail -1 "$res/start.$kind.$n.start") - $(tail -1 "$res/start.$kind.bare.ms"))) \
                >>"$res/start.$kind.$n.startextra"
        done
    done
done

med() { median <"$res/$1"; }
peak() { LC_ALL=C sort -n "$res/$1" | tail -1 | awk '{ printf "%.1f", $1 / 1024 }'; }
echo
echo "Medians of $rounds rounds (ms); ratios are medians of the per-round ratios; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
header="| package |"
rule="|---|"
for n in "${names[@]}"; do header+=" launcher $n |"; rule+="---|"; done
header+=" \`bsdtar -xf\` | \`sync -f\` after it | floor | durable floor |"
rule+="---|---|---|---|"
for n in "${names[@]}"; do
    header+=" $n ÷ \`bsdtar -xf\` | $n ÷ durable \`bsdtar -xf\` | $n ÷ floor | $n ÷ durable floor |"
    rule+="---|---|---|---|"
done
[ -n "${BEFORE:-}" ] && { header+=" after ÷ before |"; rule+="---|"; }
for n in "${names[@]}"; do header+=" peak RSS $n (MiB) |"; rule+="---|"; done
echo "$header"
echo "$rule"
for pkg in $packages; do
    row="| $pkg |"
    for n in "${names[@]}"; do row+=" $(med "$pkg.$n.ms") |"; done
    row+=" $(med "$pkg.tar.ms") | $(med "$pkg.sync.ms") | $(med "$pkg.floor.ms") | $(med "$pkg.dfloor.ms") |"
    for n in "${names[@]}"; do
        row+=" $(med "$pkg.$n.ratio") | $(med "$pkg.$n.dbratio") | $(med "$pkg.$n.fratio") | $(med "$pkg.$n.dfratio") |"
    done
    [ -n "${BEFORE:-}" ] && row+=" $(med "$pkg.gain") |"
    for n in "${names[@]}"; do row+=" $(peak "$pkg.$n.rss") |"; done
    echo "$row"
done
echo
echo "Upgrade over a running client against the fresh install, both to the client's start,"
echo "and the downtime: from the running client's SIGTERM to the new client's start (ms):"
echo
header="| package |"
rule="|---|"
for n in "${names[@]}"; do header+=" fresh $n | upgrade $n | upgrade ÷ fresh $n | downtime $n |"; rule+="---|---|---|---|"; done
echo "$header"
echo "$rule"
for pkg in $packages; do
    row="| $pkg |"
    for n in "${names[@]}"; do
        row+=" $(med "$pkg.$n.start") | $(med "$pkg.$n.up.start") | $(med "$pkg.$n.upratio") | $(med "$pkg.$n.down") |"
    done
    echo "$row"
done
echo
for kp in $starts; do
    kind=${kp%%:*}
    echo "Start without an upgrade, $kind ($((rounds * 3)) rounds): bare widget start" \
        "$(med "start.$kind.bare.ms") ms, peak RSS $(peak "start.$kind.bare.rss") MiB"
    for n in "${names[@]}"; do
        echo "  launcher $n: start script after $(med "start.$kind.$n.start") ms, median extra" \
            "over the bare start $(med "start.$kind.$n.startextra") ms; exit after" \
            "$(med "start.$kind.$n.ms") ms, extra $(med "start.$kind.$n.extra") ms; peak RSS" \
            "$(peak "start.$kind.$n.rss") MiB"
    done
done
# After the figures: removing the trees takes minutes.
rm -rf "$trees" "$work"/root-*
