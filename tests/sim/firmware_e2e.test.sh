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

# Boot: the first pass reads address 1.
out=$("$SIM" --headless --for 700ms --flash "$T/pattern.bin" "$IMG")
echo "$out"
mapfile -t row <<<"$out"
[[ ${row[0]} == "ARM direct SPI ②    " ]] || fail "row 0: '${row[0]}' (banner, small heart at column 15)"
[[ ${row[1]} == "STATUS:00000000     " ]] || fail "row 1: '${row[1]}'"
[[ ${row[2]} == "ADR:01=$(byte 1)           " ]] || fail "row 2: '${row[2]}' (the flash byte at address 1 is $(byte 1))"
[[ ${row[3]} =~ ^INFO:[0-9A-F]{8}\.\ {6}$ ]] || fail "row 3: '${row[3]}'"
[[ ${row[4]} =~ ^LED\ [01]$ ]] || fail "no LED line"
cmp -s "$T/pattern.bin" <(python3 -c "
import sys
sys.stdout.buffer.write(bytearray((i * 7 + 3) & 0xFF for i in range(512 * 1024)))") || fail "a read-only run changed the flash file"

# The LED blinks: within a burst it is high for a moment every few microseconds.
levels=""
for t in $(seq 220505 220516); do
  levels+=$("$SIM" --headless --for ${t}us "$IMG" | sed -n 's/^LED //p')
done
[[ $levels == *0* && $levels == *1* ]] || fail "LED did not change during a burst: $levels"

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
