#!/usr/bin/env bash
# The boot program keeps RAM at address 0 while it runs, with its own
# exception vectors there, so that bossac identifies the chip by the word at
# 0 whatever the flash holds: after an erase in a run of its own, and after
# a write of an empty file (which bossac 1.9.1 itself does not survive).
# Its page writes are timed as the flash needs (MC_FMR.FMCN): -v shows no
# warning about them.
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
command -v bossac >/dev/null || fail "bossac is not installed (scripts/setup.sh installs bossa-cli)"

timeout 120 "$SIM" --samba --chip-flash "$T/chip.bin" -v >"$T/sim.out" 2>"$T/sim.err" &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$T"' EXIT
wait_for_monitor "$T/sim.err"
pty=$port

bossac_ok() { timeout 60 bossac --port="$pty" --usb-port=0 "$@" >"$T/bossac.out" 2>&1 || fail "bossac $*: $(cat "$T/bossac.out")"; }
identified() {
    bossac_ok --info
    grep -q "AT91SAM7S256" "$T/bossac.out" || fail "after $1, bossac --info says: $(cat "$T/bossac.out")"
}

bossac_ok --unlock
printf 'sixteen bytes!!\n' > "$T/small.bin"
bossac_ok --write "$T/small.bin"
grep -q "FMCN" "$T/sim.err" && fail "the boot program's flash timing is off: $(grep FMCN "$T/sim.err" | head -1)"
bossac_ok --erase
identified "an erase"
: > "$T/empty.bin"
timeout 60 bossac --port="$pty" --usb-port=0 --erase --write "$T/empty.bin" >/dev/null 2>&1
identified "a write of an empty file"
kill -INT $sim
wait $sim
echo "PASS"
