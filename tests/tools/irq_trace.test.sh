#!/usr/bin/env bash
# The interrupt trace of a key press and release: one interrupt per latched
# key change, nIRQ falling 3.5 cycles after the PIO's level request (on the
# next clock edge), each taken within the ARM7TDMI's worst-case latency after
# nIRQ falls and entering the handler after the same entry code, each
# returning.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$work/irq.txt" 2>/dev/null || true; exit 1; }

"$build/bin/boardsim" --scenario "$here/data/two_edges.yaml" --trace irq,mmio --trace-file "$work/irq.txt" >"$work/out.txt" ||
    fail "scenario: $(cat "$work/out.txt")"
[ "$(grep -c ' irq taken: ' "$work/irq.txt")" = 2 ] || fail "not one interrupt per key change"
[ "$(grep -c ' irq handler 001.* entered: latency ' "$work/irq.txt")" = 2 ] || fail "handler entries"
[ "$(grep -c ' irq returned to ' "$work/irq.txt")" = 2 ] || fail "returns"
# From nIRQ's fall to the exception: at most the core's worst case (29 cycles:
# synchroniser, the longest LDM, an abort and the entry itself).
for d in $(sed -n 's/.*nIRQ asserted \([0-9]*\) cycles before.*/\1/p' "$work/irq.txt"); do
    [ "$d" -ge 1 ] && [ "$d" -le 29 ] || fail "nIRQ to exception $d cycles"
done
# From the PIO's request to nIRQ: the controller's synchronisation.
sed -n 's/.*source pending \([0-9]*\) cycles before, nIRQ asserted \([0-9]*\) cycles before.*/\1 \2/p' "$work/irq.txt" |
    while read -r source line; do
        [ $((source - line)) = 4 ] || fail "source to nIRQ $((source - line)) cycles"
    done
# From the exception to the handler: the entry code, the same path each time.
mapfile -t taken < <(sed -n 's/.*source pending \([0-9]*\) cycles before.*/\1/p' "$work/irq.txt")
mapfile -t latency < <(sed -n 's/.*entered: latency \([0-9]*\) cycles/\1/p' "$work/irq.txt")
entry0=$((latency[0] - taken[0])) entry1=$((latency[1] - taken[1]))
[ "$entry0" = "$entry1" ] || fail "entry code took $entry0 and $entry1 cycles"
# Thirteen ARM instructions from the vector's branch to the BX, from flash
# with one wait state: at least one cycle each and at most a handful.
[ "$entry0" -ge 14 ] && [ "$entry0" -le 100 ] || fail "entry code $entry0 cycles"
grep -q '  interrupts    2 IRQ, 0 FIQ' "$work/irq.txt" || fail "summary"
# The accesses of each interrupt, each with the instruction that made it: the
# handler reads PIO_ISR from its own code, the entry code ends the interrupt.
symbol=$(arm-none-eabi-nm -SC "$build/firmware/program.elf" | awk '$4 == "ISR_PIO_handler()" {print $1, $2}')
[ -n "$symbol" ] || fail "no ISR_PIO_handler in the image"
read -r start size <<<"$symbol"
reads=0
while read -r pc; do
    (( 16#$pc >= 16#$start && 16#$pc < 16#$start + 16#$size )) || fail "PIO_ISR read at $pc, outside the handler"
    reads=$((reads + 1))
done < <(sed -n 's/.* mmio pc=\([0-9a-f]*\) R PIOA.PIO_ISR .*/\1/p' "$work/irq.txt")
[ "$reads" = 2 ] || fail "$reads reads of PIO_ISR"
[ "$(grep -c ' W AIC.AIC_EOICR ' "$work/irq.txt")" = 2 ] || fail "end-of-interrupt writes"
grep -q '^    irq  00210000 .. 0020fff4  12$' "$work/irq.txt" || fail "the IRQ stack holds one 3-word frame"
echo "irq trace: ok"
