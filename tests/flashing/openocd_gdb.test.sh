#!/usr/bin/env bash
# gdb-multiarch through OpenOCD's GDB server on the simulated chip's JTAG
# port: a hardware breakpoint in the key interrupt handler, a key press from
# a scenario, the stop there, a backtrace and a step of one instruction.
# Usage: openocd_gdb.test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
source "$(dirname "$0")/../lib/jtag_sim.sh"
command -v gdb-multiarch >/dev/null || fail "gdb-multiarch is not installed (scripts/setup.sh installs it)"
cat >"$T/press.yaml" <<'YAML'
name: a key press for the debugger
steps:
  - wait-lcd: { row: 1, text: "STATUS:00000000", timeout: 20s }
  - delay: 6s
  - press: KEY_INC
  - delay: 100ms
  - release: KEY_INC
  - delay: 120s
YAML
start_jtag_sim --scenario "$T/press.yaml"
gdbport=$((port + 1))
[ $gdbport -le 65535 ] || gdbport=$((port - 1))
BOARDSIM_JTAG_PORT=$port timeout 120 openocd -f firmware/flash/sim-jtag.cfg -f firmware/flash/at91sam7s256.cfg \
    -c "gdb_port $gdbport" -c "telnet_port disabled" -c "tcl_port disabled" >"$T/ocd.out" 2>&1 &
ocd=$!
trap 'kill $sim $ocd 2>/dev/null; rm -rf "$T"' EXIT
for _ in $(seq 100); do grep -q "Listening on port $gdbport" "$T/ocd.out" && break; sleep 0.1; done
timeout 90 gdb-multiarch -nx -batch "$IMG" \
    -ex "set pagination off" -ex "target extended-remote 127.0.0.1:$gdbport" \
    -ex "hbreak ISR_PIO_handler" -ex "continue" -ex "bt" -ex "step" -ex "stepi" -ex "info registers pc" \
    -ex "delete" -ex "detach" >"$T/gdb.out" 2>&1
cat "$T/gdb.out"
kill $ocd 2>/dev/null
grep -q "Breakpoint 1, .*ISR_PIO_handler" "$T/gdb.out" || fail "gdb did not stop in the key interrupt handler"
grep -q "^#0 .*ISR_PIO_handler" "$T/gdb.out" || fail "no backtrace from the handler"
# One instruction on: the handler's first, a 16-bit load, has run.
grep -q "^pc .*<ISR_PIO_handler()+2>" "$T/gdb.out" || fail "the step did not run the handler's first instruction"
echo PASS
