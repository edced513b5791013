#!/usr/bin/env bash
# Small results that were wrong:
# - a loop the watchdog's resets keep bringing the core back to is parked
#   since it was first entered, and the resets are told;
# - a --samba run whose guest faults after the host's reset exits 3 as a
#   headless run does, and the monitor's own wait loop is not "parked";
# - a scenario step with no value is named by its own line;
# - a wait-serial that fails on a fast talker quotes only the end of what
#   the line carried, in the output and in the JUnit report;
# - --samba --fast is refused (the monitor runs in real time).
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
P="$B/tests/sim/programs"

out=$(timeout -k 5 120 "$SIM" --headless --for 40s "$P/watched_park.elf")
echo "$out" | grep -Eq "^parked: the core loops at 0x00000004 \(loop\) since 0\.0[0-9]* s \(the chip was reset 2 time\(s\)" ||
  fail "parked: $(echo "$out" | grep parked)"

# The host unlocks the boot program's regions, erases the flash, programs an
# undefined instruction at the reset vector and resets the chip, through the
# monitor's word writes: the chip then faults at once. (Erased flash alone
# does not fault: all ones is an instruction that never executes.)
timeout -k 5 60 "$SIM" --samba --chip-flash "$T/chip.bin" --for 100ms > "$T/samba.out" 2> "$T/samba.err" &
sim=$!
wait_for_monitor "$T/samba.err"
exec 3<>"$port"
for c in '\x80\x80#N#' 'WFFFFFF64,5A000004#' 'WFFFFFF64,5A004004#' 'WFFFFFF64,5A000008#' \
         'W00100000,E7F000F0#' 'WFFFFFF64,5A000001#' 'WFFFFFD00,A500000D#'; do
  printf "$c" >&3
  sleep 0.2
done
exec 3>&-
status=0
wait $sim || status=$?
[[ $status == 3 ]] || fail "--samba, faulting after the reset: exit $status: $(head -c 400 "$T/samba.out")"
grep -q "^fault: undefined instruction" "$T/samba.out" || fail "no fault reported: $(head -c 400 "$T/samba.out")"

timeout -k 5 60 "$SIM" --samba --chip-flash "$T/chip2.bin" > "$T/samba.out" 2> "$T/samba.err" &
sim=$!
wait_for_monitor "$T/samba.err"
kill -INT $sim
wait $sim
grep -q "^parked" "$T/samba.out" && fail "the monitor's wait is reported as parked: $(grep parked "$T/samba.out")"

printf 'name: empty value\nsteps:\n  - write-serial:\n' > "$T/empty.yaml"
out=$("$SIM" --scenario "$T/empty.yaml" "$IMG" 2>&1)
[[ $out == *"empty.yaml:3: write-serial needs a value"* ]] || fail "empty step value: $out"

cat > "$T/talker.yaml" <<'YAML'
name: fast talker
steps:
  - wait-serial: { text: "never said", timeout: 2s }
YAML
status=0
timeout -k 5 120 "$SIM" --scenario "$T/talker.yaml" --junit "$T/talker.xml" "$P/talker.elf" > "$T/talker.out" 2>&1 || status=$?
[[ $status == 1 ]] || fail "fast talker: exit $status: $(head -c 400 "$T/talker.out")"
grep -q 'characters, the last 400: "' "$T/talker.out" || fail "no quote of the line's end: $(head -c 400 "$T/talker.out")"
(( $(stat -c %s "$T/talker.out") < 8192 )) || fail "the failure printed $(stat -c %s "$T/talker.out") bytes"
(( $(stat -c %s "$T/talker.xml") < 8192 )) || fail "the JUnit report is $(stat -c %s "$T/talker.xml") bytes"

status=0
"$SIM" --samba --fast --chip-flash "$T/chip3.bin" > "$T/out" 2>&1 < /dev/null || status=$?
[[ $status == 2 ]] || fail "--samba --fast: exit $status: $(cat "$T/out")"
echo "ok"
