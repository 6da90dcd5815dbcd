#!/usr/bin/env bash
# The tree checks catch what they are for: each planted fault below must fail its check
# with the offending names, and the clean cases and the real tree must pass.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect <pass|fail> <text the output must hold, or ""> <command...>
expect() {
  local want=$1 text=$2 rc=0
  shift 2
  "$@" >"$work/out" 2>&1 || rc=$?
  local ok=1
  if [[ $want == pass && $rc != 0 || $want == fail && $rc == 0 ]]; then
    ok=0
  elif [[ -n $text ]] && ! grep -qF -- "$text" "$work/out"; then
    ok=0
  fi
  if ((!ok)); then
    echo "FAILED: expected $want${text:+ with '$text'}: $*" >&2
    sed 's/^/  | /' "$work/out" >&2
    failures=$((failures + 1))
  fi
}

# tree <name> <file> <include>...: a file holding those #include lines.
add() {
  local file=$1
  shift
  mkdir -p "$(dirname "$file")"
  : >"$file"
  for inc in "$@"; do echo "#include \"$inc\"" >>"$file"; done
}

# Includes: a circle through a header and the other unit's .cpp, found by unit.
circle=$work/circle
add "$circle/lib/a/a.h" "ustring/ustring.h"
add "$circle/lib/a/a.cpp" "a/a.h" "b/b.h"
add "$circle/lib/b/b.h"
add "$circle/lib/b/b.cpp" "b/b.h" "a/a.h"
add "$circle/lib/ustring/ustring.h"
expect fail "lib/a/a" "$top/scripts/check_includes.sh" "$circle"
expect fail "lib/b/b" "$top/scripts/check_includes.sh" "$circle"
# The same tree without the back edge is fine, and --list shows its edges.
add "$circle/lib/b/b.cpp" "b/b.h"
expect pass "lib/a/a -> lib/b/b" "$top/scripts/check_includes.sh" --list "$circle"
# lib/ reaching up into the launcher, with no circle.
upward=$work/upward
add "$upward/ui-client/launcher/launcher.h"
add "$upward/lib/log/log.cpp" "launcher.h"
expect fail "lib/log/log -> ui-client/launcher/launcher" "$top/scripts/check_includes.sh" "$upward"
expect pass "no circles" "$top/scripts/check_includes.sh"

# Doc names: made-up names fail, each shown; real ones, fenced blocks and prose pass. The
# made-up names are put together here, so that this file does not hold them itself.
gone=Zq$(echo Xw)
doc=$work/doc.md
cat >"$doc" <<DOC
\`${gone}Flush\` flushes, \`Service::${gone}Step\` steps, \`nowhere/${gone}.cpp\` and
\`${gone}_too.h\` hold them; \`Logger::LogMsg\`, \`FSSyncTree\`, \`lib/file/\`, \`extractor.cpp\`,
\`--status\`, \`A.staging\`, \`U/launcher.lock\` and \`main\` are fine.
\`\`\`
\`${gone}InAFence\`
\`\`\`
DOC
for name in "${gone}Flush" "Service::${gone}Step" "nowhere/${gone}.cpp" "${gone}_too.h"; do
  expect fail "  $name" "$top/scripts/check_doc_names.sh" "$doc"
done
sed -i '1,2d' "$doc"
expect pass "" "$top/scripts/check_doc_names.sh" "$doc"
expect pass "found in the code" "$top/scripts/check_doc_names.sh"

if ((failures)); then
  exit 1
fi
echo "tree checks: self-test passed"
