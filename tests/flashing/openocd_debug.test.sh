#!/usr/bin/env bash
# OpenOCD's debugging commands on the simulated chip through its JTAG port:
# halt, registers, memory and peripheral registers read and written, a step,
# a hardware breakpoint and a watchpoint (a read of the key counter) hit, reset halt
# at the reset vector and reset init with the watchdog off and the clocks up.
# Then malformed bit-bang streams: unknown bytes, a connection closed in the
# middle of a scan, a second client; each reported, the board running on.
# Usage: openocd_debug.test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
source "$(dirname "$0")/../lib/jtag_sim.sh"
sym() { arm-none-eabi-nm -C "$IMG" | awk -v n="$1" '$3 == n { print "0x" $1 }'; }
gotoxy=$(sym "lcd_gotoxy(unsigned")
[ -n "$gotoxy" ] || fail "no lcd_gotoxy in the image"

start_jtag_sim --headless --for 600s
openocd_on "halt" "reg pc" "mww 0x00200100 0x12345678" "mdw 0x00200100" "mdw 0xfffff240" \
    "mww 0xfffff430 0x00010000" "mdw 0xfffff438" "step" \
    "bp $gotoxy 2 hw" "resume" "wait_halt 5000" "reg pc" "rbp $gotoxy" \
    "wp 0x00200000 4 r" "resume" "wait_halt 5000" "rwp 0x00200000" \
    "reset halt" "reg pc" "reset init" "mdw 0xfffffc30" "mdw 0xfffffd44" "resume" >"$T/ocd.out"
cat "$T/ocd.out" | grep -v '^Info :\|^Warn :\|^Licensed\|^For bug\|openocd.org'
expect() { grep -q "$1" "$T/ocd.out" || fail "expected \"$1\" from OpenOCD"; }
expect "^0x00200100: 12345678"
expect "^0xfffff240: 270b0940"          # DBGU_CIDR
odsr=$(sed -n 's/^0xfffff438: \([0-9a-f]*\).*/\1/p' "$T/ocd.out")
(( (0x${odsr:-0} >> 16) & 1 )) || fail "PIO_ODSR 0x$odsr: the LED line (PA16) is not set"
expect "due to single-step"
expect "^pc (/32): $(printf '0x%08x' $gotoxy)"
expect "due to watchpoint"
# Stopped after the load of the counter (ldr r3, [r3] in main), at the next instruction.
wp_pc=$(awk '/due to watchpoint/ { getline; print $4 }' "$T/ocd.out")
load=$(arm-none-eabi-objdump -d "$IMG" --start-address=$((wp_pc - 2)) --stop-address=$wp_pc | tail -1)
echo "$load" | grep -q "ldr.*r3, \[r3" || fail "the watchpoint stopped at $wp_pc, not after the counter's load: $load"
expect "^pc (/32): 0x00000000"          # reset halt: at the reset vector
expect "^0xfffffc30: 00000007"          # PMC_MCKR: PLL, divided by 2
expect "^0xfffffd44: 00008000"          # WDT_MR: watchdog off
grep "^Error" "$T/ocd.out" | grep -v "adapter speed" | grep -q . && fail "OpenOCD reported an error"

# Malformed streams: the board runs on and says what happened.
exec 3<>/dev/tcp/127.0.0.1/$port || fail "cannot connect"
exec 4<>/dev/tcp/127.0.0.1/$port || fail "cannot connect a second time"
printf 'xyz0101' >&3      # unknown bytes, then the TAP left in the middle of its path
exec 3>&- 4>&-
sleep 1
kill -0 $sim 2>/dev/null || fail "boardsim ended: $(cat "$T/sim.err")"
for m in "unknown byte 0x78" "a second JTAG client was turned away" "disconnected (TAP in"; do
    grep -q "$m" "$T/sim.err" || fail "boardsim did not report \"$m\": $(cat "$T/sim.err")"
done
openocd_on "halt" "reg pc" >"$T/again.out"
grep -q "target halted" "$T/again.out" || fail "OpenOCD cannot halt the chip after the bad client: $(cat "$T/again.out")"
kill -INT $sim; wait $sim
grep -q "^ARM direct SPI" "$T/sim.out" || fail "the board does not run on: $(cat "$T/sim.out")"
echo PASS
