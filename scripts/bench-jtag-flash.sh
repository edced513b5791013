#!/usr/bin/env bash
# Flashing speed through the simulated chip's JTAG port: boardsim --samba
# --jtag (a chip as the TST procedure leaves it) and the unchanged
# firmware/flash/flash.sh with the real openocd; prints the wall time of the
# whole script (reset init, unlock, erase and write, verify, reset run) and
# of OpenOCD's write and verify, in bytes of the image per second.
#
#   scripts/bench-jtag-flash.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sim=$build/bin/boardsim
image=$build/firmware/program.elf
bin=$build/firmware/program.bin
[ -x "$sim" ] && [ -s "$image" ] || { echo "bench-jtag-flash: build first ($sim, $image)" >&2; exit 2; }
t=$(mktemp -d)
"$sim" --samba --chip-flash "$t/chip.bin" --jtag 0 >"$t/sim.out" 2>"$t/sim.err" &
pid=$!
trap 'kill $pid 2>/dev/null; rm -rf "$t"' EXIT
port=
for _ in $(seq 300); do
    port=$(sed -n 's|^boardsim: JTAG (OpenOCD remote_bitbang) on 127.0.0.1:\([0-9]*\)$|\1|p' "$t/sim.err")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "bench-jtag-flash: boardsim did not serve JTAG" >&2; exit 1; }
start=$(date +%s.%N)
BOARDSIM_JTAG_PORT=$port OPENOCD_INTERFACE=firmware/flash/sim-jtag.cfg firmware/flash/flash.sh "$image" >"$t/flash.out" 2>&1 ||
    { cat "$t/flash.out" >&2; exit 1; }
end=$(date +%s.%N)
size=$(stat -c %s "$bin")
write=$(sed -n 's/^wrote [0-9]* bytes from file .* in \([0-9.]*\)s.*/\1/p' "$t/flash.out")
verify=$(sed -n 's/^verified [0-9]* bytes in \([0-9.]*\)s.*/\1/p' "$t/flash.out")
awk -v n="$size" -v s0="$start" -v s1="$end" -v w="$write" -v v="$verify" 'BEGIN {
    all = s1 - s0
    printf "image: %d bytes\n", n
    printf "flash.sh in all: %.1f s, %.0f bytes of image per second\n", all, n / all
    printf "OpenOCD write (erase and program): %.1f s, %.0f bytes/s; verify: %.1f s, %.0f bytes/s\n", w, n / w, v, n / v
}'
