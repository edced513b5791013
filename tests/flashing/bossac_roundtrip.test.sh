#!/usr/bin/env bash
# The image onto the simulated chip with the real bossac, as onto a board
# after the TST procedure: boardsim --samba serves the boot monitor on a
# pseudo-terminal; bossac unlocks, erases, writes and verifies program.bin
# and resets the chip, which then boots the image from its own flash and
# shows the status screen. The flash file holds the image page by page, and
# a second boardsim boots it again from that file alone. The whole session,
# recorded, replays with no bossac to the same flash file and screen.
# Usage: bossac_roundtrip.test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
command -v bossac >/dev/null || fail "bossac is not installed (scripts/setup.sh installs bossa-cli)"
BIN="$B/firmware/program.bin"
CHIP="$T/chip.bin"
[ -s "$BIN" ] || fail "no $BIN (build first)"

# --for counts from the chip's reset by the host.
timeout 120 "$SIM" --samba --chip-flash "$CHIP" --headless --for 2s --record "$T/samba.replay" >"$T/sim.out" 2>"$T/sim.err" &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$T"' EXIT
pty=
for _ in $(seq 300); do
    pty=$(sed -n 's|^boardsim: boot monitor on \(/dev/[^ ]*\)$|\1|p' "$T/sim.err")
    [ -n "$pty" ] && break
    kill -0 $sim 2>/dev/null || { cat "$T/sim.err"; fail "boardsim --samba ended before serving"; }
    sleep 0.1
done
[ -n "$pty" ] || fail "boardsim --samba printed no pseudo-terminal: $(cat "$T/sim.err")"

# bossac applies --unlock only after erasing and writing, and the flash
# controller refuses to erase the whole flash or write a page while a lock
# region is locked: unlock first, in a run of its own.
run_bossac() {
    echo "\$ bossac $*"
    timeout 60 bossac "$@" >"$T/bossac.out" 2>&1
    local status=$?
    tr '\r' '\n' <"$T/bossac.out" | grep -v '^\[' | grep .
    [ $status -eq 0 ] || fail "bossac $* ended with status $status"
}
run_bossac --port="$pty" --usb-port=0 --unlock
run_bossac --port="$pty" --usb-port=0 --erase --write --verify --reset "$BIN"
grep -q "Verify successful" "$T/bossac.out" || fail "bossac did not verify the image"

timeout 30 tail --pid=$sim -f /dev/null || fail "boardsim did not end 2 s after the reset"
wait $sim
status=$?
echo "--- screen after the reset"
cat "$T/sim.out"
[ $status -eq 0 ] || fail "boardsim --samba ended with status $status: $(cat "$T/sim.err")"
grep -q "^ARM direct SPI" "$T/sim.out" || fail "the chip does not show the firmware's title after the reset"
grep -q "^STATUS:00000000" "$T/sim.out" || fail "the chip does not show the status line after the reset"
grep -q "fault" "$T/sim.out" && fail "the firmware faulted after the reset"

# The flash file: the image page by page; the boot program it replaced is gone.
[ "$(stat -c %s "$CHIP")" -eq $((256 * 1024)) ] || fail "the chip's flash file is not 256 KiB"
expect_flash_holds_image "$BIN" "$CHIP"

timeout 120 "$SIM" --replay "$T/samba.replay" --chip-flash "$T/replayed.bin" >"$T/replay.out" 2>&1 || fail "the replay: $(cat "$T/replay.out")"
cmp -s "$CHIP" "$T/replayed.bin" || fail "the replay's chip flash differs from the session's"
cmp -s <(head -5 "$T/sim.out") <(head -5 "$T/replay.out") || fail "the replay's screen differs: $(cat "$T/replay.out")"
echo "replayed: $(tail -1 "$T/replay.out")"

echo "PASS"
