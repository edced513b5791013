#!/usr/bin/env bash
# scripts/record-cost.sh gives each work a plain and a recorded figure, and
# the recording it measures holds the scenario's key presses (a bundle no
# larger than the headless one's would mean nothing was recorded).
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
ROOT=$(cd "$(dirname "$0")/../.." && pwd)

"$ROOT/scripts/record-cost.sh" --rounds 1 --for 100ms "$SIM" >"$T/out" 2>&1 || fail "record-cost: $(cat "$T/out")"
bundle() { awk -v w="$1:" '$1 == w && NF >= 8 && $(NF - 1) > 0 && $(NF - 4) > 0 { sub(/B$/, "", $NF); print $NF }' "$T/out"; }
h=$(bundle headless) s=$(bundle scenario)
[ -n "$h" ] && [ -n "$s" ] || fail "a work without both figures: $(cat "$T/out")"
[ "$s" -gt "$h" ] || fail "the scenario's recording ($s bytes) holds no more than a headless one ($h): $(cat "$T/out")"
