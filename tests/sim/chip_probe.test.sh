#!/usr/bin/env bash
# The system controller and the chip's flash end to end: a probe program
# writes RSTC_MR, reads the interval timer and DBGU_CIDR, remaps, programs a
# flash page through the flash controller and reads it back, resets the chip
# through RSTC_CR and finds the page again; it reports on the debug unit.
# The chip's flash file keeps the page for a second run, and the line also
# reaches a pseudo-terminal.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
PROBE="$B/tests/sim/programs/chip.elf"
F="$T/chip.bin"

out=$("$SIM" --headless --for 1500ms --serial stdio --chip-flash "$F" "$PROBE" </dev/null) || fail "exit status $?"
echo "$out"
grep -q "fault:" <<<"$out" && fail "an abort"
[[ $(head -4 <<<"$out" | tr '\n' ' ') == "programmed reset kept hello " ]] || fail "first run: programmed, reset, kept, hello"
[[ $(stat -c %s "$F") == 262144 ]] || fail "the chip flash file is 256 KiB"
[[ $(od -An -tx4 -j $((0x3FF00)) -N 8 "$F" | tr -s ' ') == " 6b657074 6b657075" ]] || fail "page 1023 in the file"

out=$("$SIM" --headless --for 1s --serial stdio --chip-flash "$F" "$PROBE" </dev/null) || fail "exit status $?"
[[ $(head -2 <<<"$out" | tr '\n' ' ') == "kept hello " ]] || fail "second run: the page was kept ($out)"

"$SIM" --headless --serial pty --chip-flash "$F" "$PROBE" 2>"$T/err" >/dev/null &
pid=$!
for _ in $(seq 50); do grep -q "serial line" "$T/err" && break; sleep 0.1; done
pty=$(sed -n 's/.*serial line (DBGU) on //p' "$T/err")
[[ -c "$pty" ]] || { kill "$pid"; fail "no pseudo-terminal printed: $(cat "$T/err")"; }
got=$(timeout 10 grep -m1 -a hello <"$pty" || true)
kill "$pid"; wait "$pid" 2>/dev/null || true
[[ "$got" == hello* ]] || fail "hello on the pseudo-terminal"
echo "probe ran: flash kept through a reset and a second run, hello on stdio and on $pty"

out=$("$SIM" --scenario "$(dirname "$0")/data/chip_serial.yaml" --chip-flash "$F" "$PROBE") || fail "scenario: $out"
grep -q "scenario chip-serial: 3 steps passed" <<<"$out" || fail "serial scenario steps"
cat > "$T/late.yaml" <<'YAML'
steps:
  - wait-serial: { text: "never", timeout: 50ms }
YAML
out=$("$SIM" --scenario "$T/late.yaml" --chip-flash "$F" "$PROBE") && fail "a missing text passed"
grep -q 'did not carry "never" within' <<<"$out" || fail "wait-serial's failure: $out"
echo "serial scenario steps pass and fail as they should"
