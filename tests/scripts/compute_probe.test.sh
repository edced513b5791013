#!/usr/bin/env bash
# scripts/compute-probe.sh runs both builds of the probe to the end of their
# virtual time at the firmware's 48 MHz (a probe that faulted, parked or ran
# on the slow clock would show far fewer cycles) and prints a figure for
# each. The speed itself is the script's to print, not this test's to judge.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
ROOT=$(cd "$(dirname "$0")/../.." && pwd)

"$ROOT/scripts/compute-probe.sh" --rounds 1 --seconds 1 "$SIM" >"$T/out" 2>&1 || fail "compute-probe: $(cat "$T/out")"
for state in arm thumb; do
  read -r mips instructions cycles < <(awk -v s=$state '$2 == s { print $3, $4, $5 }' "$T/out")
  [ -n "${cycles:-}" ] || fail "no $state line: $(cat "$T/out")"
  # 1 s at 48 MHz, less the start (slow clock, then the PLL locking).
  [ "$cycles" -gt 46000000 ] && [ "$cycles" -lt 48100000 ] || fail "$state: $cycles cycles in 1 s"
  [ "$instructions" -gt 10000000 ] || fail "$state: only $instructions instructions"
  awk -v m="$mips" 'BEGIN { exit !(m > 0) }' || fail "$state: no MIPS figure: $(cat "$T/out")"
done
