#!/usr/bin/env bash
# Writes the extractor's gzip seeds from corpus/extractor/package.tar: two members, a
# member with a wrong CRC32, a cut member, a member followed by bytes that start no
# other, and a tar.gz and a tar.xz each wrapped in a second gzip. Run from anywhere;
# the seeds are committed.
set -euo pipefail
dir=$(cd "$(dirname "$0")" && pwd)/corpus/extractor
tar=$dir/package.tar
member=$(mktemp)
trap 'rm -f "$member"' EXIT
gzip -9 -n -c "$tar" >"$member"
size=$(stat -c %s "$member")

{ head -c 1536 "$tar" | gzip -9 -n -c; tail -c +1537 "$tar" | gzip -9 -n -c; } \
    >"$dir/gzip_two_members.tar.gz"
# The CRC32 is the first word of the trailer, 8 bytes from the end.
{ head -c $((size - 8)) "$member"; printf '\x00\x00\x00\x00'; tail -c 4 "$member"; } \
    >"$dir/gzip_wrong_crc.tar.gz"
head -c $((size / 2)) "$member" >"$dir/gzip_cut_member.tar.gz"
{ cat "$member"; head -c 512 /dev/zero; printf 'trailing\n'; } >"$dir/gzip_trailing_bytes.tar.gz"
# Compressed twice: the inflated stream is itself a compressed archive.
gzip -9 -n -c "$member" >"$dir/gzip_nested_tar_gz.gz"
xz -9 -c "$tar" | gzip -9 -n -c >"$dir/gzip_nested_tar_xz.gz"
