#!/usr/bin/env bash
# The built image on the simulated board, end to end: the status screen after
# boot, the keys through the PIO interrupt, the heart and the flash address
# over a full wrap, and two identical runs.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"

# A flash pattern where every address of the first 256 holds a different byte.
python3 -c "
import sys
b = bytearray((i * 7 + 3) & 0xFF for i in range(512 * 1024))
sys.stdout.buffer.write(b)" > "$T/pattern.bin"
byte() { printf '%02X' $(( ($1 * 7 + 3) & 0xFF )); }

# Boot: the first pass reads address 1 (the screen as it first shows it).
cat > "$T/boot.yaml" <<YAML
name: boot
steps:
  - wait-lcd: { row: 2, text: "ADR:01=$(byte 1)           ", timeout: 5s }
  - expect-lcd: { row: 0, text: "ARM direct SPI ②    " }
  - expect-lcd: { row: 1, text: "STATUS:00000000     " }
  - expect-lcd: { row: 3, text: "INFO:" }
  - expect-lcd: { row: 3, col: 13, text: ".      " }
YAML
"$SIM" --scenario "$T/boot.yaml" --flash "$T/pattern.bin" "$IMG" > "$T/boot.txt" || fail "boot screen: $(cat "$T/boot.txt")"
cmp -s "$T/pattern.bin" <(python3 -c "
import sys
sys.stdout.buffer.write(bytearray((i * 7 + 3) & 0xFF for i in range(512 * 1024)))") || fail "a read-only run changed the flash file"
out=$("$SIM" --headless --for 10ms "$IMG")
[[ $out =~ $'\n'LED\ [01]$ ]] || fail "no LED line: $out"

# The LED blinks in bursts: found in its waveform, a burst is pulses a few
# microseconds long, each starting within 50 us of the one before.
"$SIM" --headless --for 1s --vcd-signals led --vcd "$T/led.vcd" "$IMG" > /dev/null
pulses=$(awk '$1 == "$var" && $5 == "LED" { id = $4 }
              /^#/ { t = substr($0, 2) + 0 }
              $0 == "1" id { if (rise != "" && t - rise < 50000) near++; rise = t }
              $0 == "0" id && rise != "" && t - rise < 5000 { short++ }
              END { print near + 0, short + 0 }' "$T/led.vcd")
read -r near short <<<"$pulses"
(( near >= 3 && short >= 3 )) || fail "no LED burst in the first second: $near close rises, $short short pulses"

# Keys: each latched edge counts; KEY_DEC from 0 shows -1; KEY_INC and
# KEY_CLR latched in one read leave 0 (the clear wins).
cat > "$T/keys.yaml" <<'YAML'
name: keys
steps:
  - wait-lcd: { row: 1, text: "STATUS:00000000", timeout: 3s }
  - press: KEY_INC
  - delay: 50ms
  - release: KEY_INC
  - wait-lcd: { row: 1, text: "STATUS:00000002", timeout: 3s }
  - press: KEY_CLR
  - wait-lcd: { row: 1, text: "STATUS:00000000", timeout: 3s }
  - release: KEY_CLR
  - delay: 600ms
  - press: KEY_DEC
  - wait-lcd: { row: 1, text: "STATUS:FFFFFFFF", timeout: 3s }
  - release: KEY_DEC
  - wait-lcd: { row: 1, text: "STATUS:FFFFFFFE", timeout: 3s }
  - press: KEY_CLR
  - press: KEY_INC
  - delay: 1s
  - expect-lcd: { row: 1, text: "STATUS:00000000" }
  - expect-pin: { pin: PA5, level: 0 }
  - expect-pin: { pin: PA6, level: 1 }
  - expect-lcd: { row: 0, col: 0, text: "ARM direct SPI" }
YAML
"$SIM" --scenario "$T/keys.yaml" --junit "$T/keys.xml" "$IMG" > "$T/run1.txt" || { cat "$T/run1.txt"; fail "key scenario"; }
grep -q 'failures="0"' "$T/keys.xml" || fail "JUnit report"
"$SIM" --scenario "$T/keys.yaml" "$IMG" > "$T/run2.txt"
cmp -s "$T/run1.txt" "$T/run2.txt" || fail "two runs of one scenario differ: $(cat "$T/run1.txt" "$T/run2.txt")"
grep -q cycles "$T/run1.txt" || fail "no cycle count in the scenario result"

# The heart changes every four passes and the address advances by one per
# pass through a full wrap and on to address 01 again, each byte matching
# the flash file.
{
  echo "name: wrap"
  echo "flash: pattern.bin"
  echo "steps:"
  for j in $(seq 1 257); do
    a=$(( j & 0xFF ))
    heart="②"; (( a & 4 )) && heart="①"
    printf '  - wait-lcd: { row: 2, text: "ADR:%02X=%s", timeout: 2s }\n' $a "$(byte $a)"
    printf '  - expect-lcd: { row: 0, col: 15, text: "%s" }\n' "$heart"
  done
} > "$T/wrap.yaml"
"$SIM" --scenario "$T/wrap.yaml" "$IMG" > "$T/wrap.txt" || { cat "$T/wrap.txt"; fail "wrap scenario"; }
echo "all end-to-end checks passed"
