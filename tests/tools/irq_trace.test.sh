#!/usr/bin/env bash
# The interrupt trace of a key press and release: one interrupt per latched
# key change, each taken within the ARM7TDMI's worst-case latency after nIRQ
# falls and entering the handler after the same entry code, each returning.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$work/irq.txt" 2>/dev/null || true; exit 1; }

"$build/bin/boardsim" --scenario "$here/data/two_edges.yaml" --trace irq --trace-file "$work/irq.txt" >"$work/out.txt" ||
    fail "scenario: $(cat "$work/out.txt")"
[ "$(grep -c ' irq taken: ' "$work/irq.txt")" = 2 ] || fail "not one interrupt per key change"
[ "$(grep -c ' irq handler 001.* entered: latency ' "$work/irq.txt")" = 2 ] || fail "handler entries"
[ "$(grep -c ' irq returned to ' "$work/irq.txt")" = 2 ] || fail "returns"
# From nIRQ's fall to the exception: at most the core's worst case (29 cycles:
# synchroniser, the longest LDM, an abort and the entry itself).
for d in $(sed -n 's/.*nIRQ asserted \([0-9]*\) cycles before.*/\1/p' "$work/irq.txt"); do
    [ "$d" -ge 1 ] && [ "$d" -le 29 ] || fail "nIRQ to exception $d cycles"
done
# From the exception to the handler: the entry code, the same path each time.
mapfile -t taken < <(sed -n 's/.*nIRQ asserted \([0-9]*\) cycles before.*/\1/p' "$work/irq.txt")
mapfile -t latency < <(sed -n 's/.*entered: latency \([0-9]*\) cycles/\1/p' "$work/irq.txt")
entry0=$((latency[0] - taken[0])) entry1=$((latency[1] - taken[1]))
[ "$entry0" = "$entry1" ] || fail "entry code took $entry0 and $entry1 cycles"
# Thirteen ARM instructions from the vector's branch to the BX, from flash
# with one wait state: at least one cycle each and at most a handful.
[ "$entry0" -ge 14 ] && [ "$entry0" -le 100 ] || fail "entry code $entry0 cycles"
grep -q '  interrupts    2 IRQ, 0 FIQ' "$work/irq.txt" || fail "summary"
grep -q '^    irq  00210000 .. 0020fff4  12$' "$work/irq.txt" || fail "the IRQ stack holds one 3-word frame"
echo "irq trace: ok"
