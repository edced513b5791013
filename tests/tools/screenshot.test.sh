#!/usr/bin/env bash
# Pictures of the running board: a known screen (after one key press and
# release, on the pass that reads address 4, with the large heart) matches
# its reference picture; the same reference taken too early names the cells
# that differ; --screenshot writes a PNG at exit, and a path it cannot write
# is refused before the run.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$build/bin/boardsim" --scenario "$here/data/key_screen.yaml" >"$work/out.txt" ||
    fail "the known screen does not match: $(cat "$work/out.txt")"

cat >"$work/early.yaml" <<YAML
name: too early
steps:
  - wait-lcd: { row: 2, text: "ADR:01=FF", timeout: 3s }
  - expect-screenshot: $here/data/key_screen.png
YAML
status=0
"$build/bin/boardsim" --scenario "$work/early.yaml" >"$work/early.txt" || status=$?
[ "$status" = 1 ] || fail "a differing picture gave exit status $status: $(cat "$work/early.txt")"
grep -q "differs from $here/data/key_screen.png: row 0 col 15, row 1 col 14, row 2 col 5" "$work/early.txt" ||
    fail "the differing cells are not named: $(cat "$work/early.txt")"

"$build/bin/boardsim" --headless --for 200ms --screenshot "$work/end.png" >/dev/null
[ "$(head -c 8 "$work/end.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "--screenshot wrote no PNG"
status=0
"$build/bin/boardsim" --headless --for 10ms --screenshot "$work/no/such/dir.png" >/dev/null 2>"$work/err.txt" || status=$?
[ "$status" = 2 ] && grep -q "dir.png: cannot write" "$work/err.txt" || fail "an unwritable picture was not refused before the run ($status)"
echo "screenshots: ok"
