#!/usr/bin/env bash
# The waveform of the first status passes, decoded by sigrok's SPI decoder:
# each pass reads one byte of the flash at the next address, and the bytes on
# the wires are exactly the frame 03 00 00 j 00 and the flash file's byte j.
set -euo pipefail
build=$1
command -v sigrok-cli >/dev/null || { echo "sigrok-cli not installed: skipped"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A flash file whose byte i is (37 i + 11) mod 256.
pattern() { echo $(( ($1 * 37 + 11) % 256 )); }
LC_ALL=C awk 'BEGIN { for (i = 0; i < 524288; i++) printf "%c", (i * 37 + 11) % 256 }' >"$work/flash.bin"
[ "$(stat -c %s "$work/flash.bin")" = 524288 ] || fail "could not make the flash file"

"$build/bin/boardsim" --headless --for 1500ms --flash "$work/flash.bin" \
    --vcd-signals spi --vcd "$work/flash.vcd" >"$work/screen.txt"
sigrok-cli -I vcd:compress=1000 -i "$work/flash.vcd" \
    -P spi:clk=SPCK:mosi=MOSI:miso=MISO:cs=FLASH_CS:cpol=1:cpha=1 \
    -A spi=mosi-transfer:miso-transfer >"$work/decoded.txt"

# sigrok prints each frame's MISO line, then its MOSI line.
mapfile -t lines < <(sed 's/^spi-1: //' "$work/decoded.txt")
[ "${#lines[@]}" -ge 6 ] || fail "fewer than three frames decoded: $(cat "$work/decoded.txt")"
[ $(( ${#lines[@]} % 2 )) = 0 ] || fail "unpaired lines: $(cat "$work/decoded.txt")"
for ((f = 0; f < ${#lines[@]} / 2; f++)); do
    miso=${lines[2 * f]} mosi=${lines[2 * f + 1]}
    j=$((f + 1))
    expected=$(printf '03 00 00 %02X 00' "$j")
    [ "$mosi" = "$expected" ] || fail "frame $j sent '$mosi', expected '$expected'"
    byte=$(printf '%02X' "$(pattern "$j")")
    [ "$miso" = "FF FF FF FF $byte" ] || fail "frame $j received '$miso', expected the flash byte $byte last"
done
last=$(( ${#lines[@]} / 2 ))
grep -q "^ADR:$(printf '%02X=%02X' "$last" "$(pattern "$last")")" "$work/screen.txt" ||
    fail "the display does not show the last byte read: $(cat "$work/screen.txt")"
echo "flash waveform: $last frames decoded: ok"
