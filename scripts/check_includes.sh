#!/usr/bin/env bash
# Fails on a circle of #include "…" between the project's own units (a header together with
# its .cpp) under lib/, include/ and ui-client/, and on any file in lib/ that includes a
# header from ui-client/: the foundation must build without the launcher above it.
# Usage: check_includes.sh [--list] [tree]  (--list prints every edge; tree defaults to this one)
set -euo pipefail
list=0
if [[ ${1:-} == --list ]]; then
  list=1
  shift
fi
cd "${1:-$(dirname "$0")/..}"

# The folders the build puts on the include path, after the including file's own folder.
roots=(lib include ui-client/launcher ui-client/libui/utils ui-client/libui/singleapp)
dirs=()
for d in lib include ui-client; do [[ -d $d ]] && dirs+=("$d"); done

edges=$(
  find "${dirs[@]}" \( -name '*.h' -o -name '*.cpp' \) | sort | while read -r file; do
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file" |
      while read -r inc; do
        for dir in "$(dirname "$file")" "${roots[@]}"; do
          if [[ -f $dir/$inc ]]; then
            # A unit is the path without its extension, so x.h and x.cpp are one node.
            to=$(realpath -m --relative-to=. "$dir/$inc")
            echo "${file%.*} ${to%.*}"
            break
          fi
        done
      done
  done | awk '$1 != $2' | sort -u
)

if ((list)); then
  sed 's/ / -> /' <<<"$edges"
fi
status=0
upward=$(awk '$1 ~ /^lib\// && $2 ~ /^ui-client\//' <<<"$edges")
if [[ -n $upward ]]; then
  echo "lib/ includes from ui-client/:" >&2
  sed 's/ / -> /; s/^/  /' <<<"$upward" >&2
  status=1
fi
if ! loops=$(tsort <<<"$edges" 2>&1 >/dev/null); then
  # tsort names each circle it meets after a line of its own.
  sed -n 's/^tsort: .*input contains a loop:$/include circle:/p; s/^tsort: \([^ :]*\)$/  \1/p' \
    <<<"$loops" >&2
  status=1
fi
echo "includes: $(grep -c . <<<"$edges") edges between own units, $( ((status)) && echo failed || echo no circles)"
exit $status
