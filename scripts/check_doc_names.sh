#!/usr/bin/env bash
# Fails when a code name that a document gives in backticks is nowhere in the code, so that
# the architecture map cannot drift from the sources unnoticed. Checked are names that look
# like code: Foo, Foo::Bar, foo_bar(), FOO_BAR (found as a word in a source), and paths or
# source file names such as extractor.cpp or lib/file/ (found as a file or folder).
# Plain lowercase words, options, absolute paths and the layout's placeholders (A, U, P)
# are prose. Usage: check_doc_names.sh [doc [tree]]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
doc=$(realpath "${1:-$here/docs/ARCHITECTURE.md}")
cd "${2:-$here}"

# Names the documents give on purpose that are not code.
allow=" "

code_dirs=()
for d in ui-client lib include tests scripts bench packaging; do [[ -d $d ]] && code_dirs+=("$d"); done
paths=$(find "${code_dirs[@]}" -name .git -prune -o -print)

is_path() {
  # As given from the top (lib/file/), or as the end of a path (linux/linux-service.cpp).
  awk -v n="${1%/}" 'BEGIN { s = "/" n } $0 == n || substr($0, length($0) - length(s) + 1) == s { f = 1; exit }
    END { exit !f }' <<<"$paths"
}
in_code() { grep -rqwF -- "$1" "${code_dirs[@]}"; }
# Foo::Bar as written, or Bar in a file that declares Foo (a member defined in its class).
qualified_in_code() {
  grep -rqF -- "$1" "${code_dirs[@]}" && return 0
  local first=${1%%::*} last=${1##*::}
  grep -rlE -- "(class|struct|namespace|enum) +$first\b" "${code_dirs[@]}" |
    xargs -r grep -lwF -- "$last" | grep -q .
}

missing=()
checked=0
while IFS= read -r name; do
  [[ $allow == *" $name "* ]] && continue
  name=${name%()}
  if [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z_~][A-Za-z0-9_]*)+$ ]]; then
    ((++checked))
    qualified_in_code "$name" || missing+=("$name")
  elif [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*$ && $name =~ [A-Z_] ]]; then
    ((++checked))
    in_code "$name" || missing+=("$name")
  elif [[ $name =~ ^[A-Za-z0-9_][A-Za-z0-9_.+-]*(/[A-Za-z0-9_.+-]+)*/?$ && ! $name =~ ^[APU]([./]|$) &&
    ($name == */* || $name =~ \.(cpp|h|sh|txt|ts|toml|cmake)$) ]]; then
    ((++checked))
    is_path "$name" || missing+=("$name")
  fi
done < <(awk '/^[[:space:]]*```/ { fenced = !fenced; next } !fenced' "$doc" |
  grep -o '`[^`]*`' | tr -d '`' | sort -u)

if ((${#missing[@]})); then
  echo "$doc names what the code does not have:" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi
echo "doc names: $checked names in $(basename "$doc") found in the code"
