#!/usr/bin/env bash
# An image whose code is linked into RAM, with nothing at the reset vector,
# is loaded as a debugger loads it (its RAM segments written after the
# power-on) and started at its entry point; it runs, and no fault is
# reported. An image that has a reset vector boots from it as before (the
# firmware's own end-to-end tests).
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
P="$B/tests/sim/programs"

status=0
timeout -k 5 60 "$SIM" --headless --for 100ms --serial stdio "$P/ram_entry.elf" < /dev/null > "$T/out" 2> "$T/err" || status=$?
[[ $status == 0 ]] || fail "RAM image: exit $status: $(cat "$T/out" "$T/err")"
grep -q "^ram$" "$T/out" || fail "the RAM image did not run from its entry point: $(cat "$T/out")"
grep -q "parked: the core loops at 0x002000" "$T/out" || fail "it does not end where it should: $(cat "$T/out")"
grep -q "^fault" "$T/out" && fail "faults: $(cat "$T/out")"
echo "ok"
