#!/usr/bin/env bash
# Bad options of the debugging and recording tools: a clear message naming
# the bad input, exit status 2, and no file left behind.
set -euo pipefail
build=$1
sim=$build/bin/boardsim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

refused() {   # expected-text, arguments...
    local text=$1 status=0
    shift
    "$sim" --headless --for 1ms "$@" >"$work/out.txt" 2>&1 || status=$?
    [ "$status" = 2 ] || fail "boardsim $* exited $status"
    grep -q -- "$text" "$work/out.txt" || fail "boardsim $*: no '$text' in: $(cat "$work/out.txt")"
}
refused "unknown trace kind 'cache'" --trace mmio,cache
refused "unknown signal group 'audio'" --vcd "$work/a.vcd" --vcd-signals spi,audio
refused "no/such/dir/a.vcd: cannot write" --vcd "$work/no/such/dir/a.vcd"
refused "no/such/dir/t.txt: cannot write" --trace irq --trace-file "$work/no/such/dir/t.txt"
refused "--trace-file requires --trace" --trace-file "$work/t.txt"
refused "--gdb-wait requires --gdb" --gdb-wait
refused "--gdb" --gdb 70000
[ -z "$(ls -A "$work" | grep -v out.txt)" ] || fail "files left behind: $(ls "$work")"
echo "bad options: ok"
