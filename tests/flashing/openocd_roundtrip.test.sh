#!/usr/bin/env bash
# The image onto the simulated chip through JTAG with the unchanged
# flash.sh and the real openocd, as onto a board after the TST procedure
# (boot program in lock regions 0 and 1, locked): reset init, unlock, erase
# and write, verify, reset run. The chip then boots the image and shows the
# status screen, the flash file holds it page by page, and a second boardsim
# boots it from the file alone. The same script without its unlock line
# fails at the write, and leaves the boot program in place.
# Usage: openocd_roundtrip.test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
source "$(dirname "$0")/../lib/jtag_sim.sh"
BIN="$B/firmware/program.bin"
CHIP="$T/chip.bin"
[ -s "$BIN" ] || fail "no $BIN (build first)"

# (OpenOCD resets the chip more than once: the run is ended by a signal.)
start_jtag_sim --samba --chip-flash "$CHIP"
echo "\$ OPENOCD_INTERFACE=firmware/flash/sim-jtag.cfg firmware/flash/flash.sh program.elf"
BOARDSIM_JTAG_PORT=$port OPENOCD_INTERFACE=firmware/flash/sim-jtag.cfg timeout 240 firmware/flash/flash.sh "$IMG" >"$T/flash.out" 2>&1
status=$?
grep -v '^Info :\|^Warn :\|^Licensed\|^For bug\|openocd.org' "$T/flash.out"
[ $status -eq 0 ] || fail "flash.sh ended with status $status"
grep -q "^verified $(stat -c %s "$BIN") bytes" "$T/flash.out" || fail "OpenOCD did not verify the image"

sleep 2
kill -INT $sim
wait $sim
status=$?
echo "--- screen after reset run"
cat "$T/sim.out"
[ $status -eq 130 ] || fail "boardsim ended with status $status: $(cat "$T/sim.err")"
grep -q "^ARM direct SPI" "$T/sim.out" || fail "the chip does not show the firmware's title after reset run"
grep -q "^STATUS:00000000" "$T/sim.out" || fail "the chip does not show the status line after reset run"

expect_flash_holds_image "$BIN" "$CHIP"

# Without the unlock the write into the locked boot program regions fails.
sed '/flash protect/d' firmware/flash/flash.sh >"$T/flash-nounlock.sh"
cp firmware/flash/at91sam7s256.cfg "$T/"
rm -f "$CHIP"
start_jtag_sim --samba --chip-flash "$CHIP"
BOARDSIM_JTAG_PORT=$port OPENOCD_INTERFACE=$PWD/firmware/flash/sim-jtag.cfg timeout 240 bash "$T/flash-nounlock.sh" "$IMG" >"$T/flash2.out" 2>&1 &&
    fail "flash.sh without the unlock succeeded: $(cat "$T/flash2.out")"
grep -q "^wrote\|^verified" "$T/flash2.out" && fail "without the unlock something was written: $(cat "$T/flash2.out")"
echo "--- without the unlock:"
grep -i "error" "$T/flash2.out" | head -5
kill -INT $sim; wait $sim
od -An -tx1 -N 4 "$CHIP" | grep -q "ff ff ff ff" && fail "the boot program was erased without the unlock"
echo "PASS"
