#!/usr/bin/env bash
# Faults of the guest are reported with pc, mode and registers, and the run
# goes on to its end (exit status 3 says it faulted): an undefined
# instruction and a data abort taken from Thumb code, then the core parked
# in a loop.
set -euo pipefail
B=$(cd "$1" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
status=0
out=$("$B/bin/boardsim" --headless --for 100ms "$B/tests/sim/programs/faults.elf") || status=$?
[[ $status == 3 ]] || fail "exit status $status, expected 3 for a run with guest faults"
echo "$out"
grep -q "^fault: undefined instruction at 0x[0-9A-F]* (undef_site)" <<<"$out" || fail "undefined instruction"
grep -q "^fault: data abort at 0x[0-9A-F]* (abort_site), accessing 0x00300000" <<<"$out" || fail "data abort"
grep -q "^parked: the core loops at 0x[0-9A-F]* (park)" <<<"$out" || fail "parked"
grep -q "^cpsr 600000f3 (SVC, Thumb, IRQ off, FIQ off)" <<<"$out" || fail "mode and state"
[[ $(grep -c "^r12 " <<<"$out") == 3 ]] || fail "registers for each report"
echo "guest faults reported"
