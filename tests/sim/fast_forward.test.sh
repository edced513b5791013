#!/usr/bin/env bash
# The delay-loop fast-forward changes nothing but the host's time: the real
# image run for 10 virtual seconds, with key presses whose interrupts land in
# the delay loops, gives with and without --exact the same screen, the same
# mmio trace (every access with its pc and time), the same cycle and
# instruction counts (the trace's summary) and the same waveforms; and,
# with no tool attached, the same scenario summary and benchmark counts, as
# does --interpret (no host code for the core's runs).
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
scenario="$(dirname "$0")/data/ten_seconds.yaml"

for mode in fast exact; do
    opt=()
    [[ $mode == exact ]] && opt=(--exact)
    "$SIM" --scenario "$scenario" "${opt[@]}" --trace mmio,irq --trace-file "$T/$mode.trace" \
        --vcd "$T/$mode.vcd" "$IMG" >"$T/$mode.out" || fail "$mode run: $(cat "$T/$mode.out")"
done
grep -q "steps passed at virtual time 10.000000 s" "$T/fast.out" || fail "the scenario did not run 10 s: $(cat "$T/fast.out")"
cmp -s "$T/fast.out" "$T/exact.out" || fail "results differ: $(diff "$T/fast.out" "$T/exact.out")"
grep -q "^  cycles  " "$T/fast.trace" || fail "no summary in the trace"
[ "$(grep -c ' irq taken: ' "$T/fast.trace")" -ge 4 ] || fail "too few interrupts to compare"
if ! cmp -s "$T/fast.trace" "$T/exact.trace"; then
    diff "$T/fast.trace" "$T/exact.trace" | head -20 >&2
    fail "traces differ"
fi
cmp -s "$T/fast.vcd" "$T/exact.vcd" || fail "waveforms differ"
# The same without any tool on the core: a trace follows the core, and a
# loop then skips only from its closing branch, never from its first
# instruction. The scenario's summary and the benchmark's counts.
for mode in fast exact interpret; do
    opt=()
    [[ $mode == exact ]] && opt=(--exact)
    [[ $mode == interpret ]] && opt=(--interpret)
    "$SIM" --scenario "$scenario" "${opt[@]}" "$IMG" >"$T/$mode.plain" || fail "$mode plain run: $(cat "$T/$mode.plain")"
    "$SIM" --bench --passes 4 "${opt[@]}" "$IMG" | grep -E '^(status passes|virtual time|cycles|instructions) ' \
        >>"$T/$mode.plain" || fail "$mode benchmark"
done
for mode in exact interpret; do
    if ! cmp -s "$T/fast.plain" "$T/$mode.plain"; then
        diff "$T/fast.plain" "$T/$mode.plain" >&2
        fail "runs without tools differ ($mode)"
    fi
done
echo "fast-forward and exact runs agree: $(grep -E '^  (cycles|instructions) ' "$T/fast.trace" | tr -s ' ' | tr '\n' ' ')"
