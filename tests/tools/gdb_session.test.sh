#!/usr/bin/env bash
# gdb-multiarch against boardsim running the real image: break in the key
# interrupt handler, look at PIO_ISR without clearing it, read and step the
# counter, watch it change, continue; then bad packets on the raw socket.
set -euo pipefail
build=$1
sim=$build/bin/boardsim
elf=$build/firmware/program.elf
command -v gdb-multiarch >/dev/null || { echo "gdb-multiarch not installed: skipped"; exit 0; }
work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- gdb:"; cat "$work/gdb.out" 2>/dev/null || true; echo "--- boardsim:"; cat "$work/sim.err" 2>/dev/null || true; exit 1; }

source "$(dirname "$0")/../lib/gdb_sim.sh"

start_sim "$elf"
timeout 120 gdb-multiarch -batch -nx "$elf" \
    -ex "target remote 127.0.0.1:$port" \
    -ex 'break AT91F_LowLevelInit' -ex 'continue' \
    -ex 'printf "arm cpsr %08x\n", $cpsr' \
    -ex 'monitor time' -ex 'shell sleep 0.3' -ex 'monitor time' \
    -ex 'delete' -ex 'break SPI_Init' -ex 'continue' -ex 'delete' \
    -ex 'monitor press KEY_INC' \
    -ex 'break ISR_PIO_handler' -ex 'continue' \
    -ex 'printf "isr %08x\n", *(unsigned int *)0xFFFFF44C' \
    -ex 'printf "isr %08x\n", *(unsigned int *)0xFFFFF44C' \
    -ex 'printf "before %d\n", demo_bukle' \
    -ex 'next' -ex 'next' -ex 'next' \
    -ex 'printf "after %d\n", demo_bukle' \
    -ex 'printf "cpsr %08x\n", $cpsr' \
    -ex 'delete' -ex 'watch demo_bukle' \
    -ex 'monitor release KEY_INC' -ex 'continue' \
    -ex 'printf "watched %d\n", demo_bukle' \
    -ex 'delete' -ex 'hbreak ISR_PIO_handler' \
    -ex 'monitor press KEY_CLR' -ex 'continue' -ex 'stepi' \
    -ex 'detach' >"$work/gdb.out" 2>&1 || fail "gdb-multiarch failed"

grep -q 'Breakpoint 1, .*AT91F_LowLevelInit' "$work/gdb.out" || fail "a breakpoint in ARM code"
grep -q '^arm cpsr 000000d3$' "$work/gdb.out" || fail "the bring-up runs in ARM state, supervisor mode, interrupts off"
# Halted means halted: the virtual time does not move while the debugger waits.
[ "$(grep -c '^virtual time ' "$work/gdb.out")" = 2 ] && [ "$(grep '^virtual time ' "$work/gdb.out" | sort -u | wc -l)" = 1 ] ||
    fail "virtual time moved while the core was halted"
grep -q 'Breakpoint 3, ISR_PIO_handler ()' "$work/gdb.out" || fail "the handler's breakpoint was not hit (Thumb code)"
# Two looks at PIO_ISR: bit 5 latched both times (peeking does not clear it) ...
[ "$(grep -c '^isr .*[2367abef]0$' "$work/gdb.out")" = 2 ] || fail "PIO_ISR did not show the key's change twice"
# ... so the handler still finds it and counts the press.
grep -q '^before 0$' "$work/gdb.out" || fail "demo_bukle before the handler"
grep -q '^after 1$' "$work/gdb.out" || fail "demo_bukle after stepping the handler"
grep -q '^cpsr 00000033$' "$work/gdb.out" || fail "the handler runs in supervisor mode, Thumb state"
grep -q 'Old value = 1' "$work/gdb.out" && grep -q 'New value = 2' "$work/gdb.out" || fail "the watchpoint on demo_bukle"
grep -q '^watched 2$' "$work/gdb.out" || fail "demo_bukle at the watchpoint"
grep -q 'Hardware assisted breakpoint' "$work/gdb.out" || fail "hardware breakpoint"
grep -q 'debugger detached; the board runs on' "$work/sim.err" || fail "detach"
kill "$sim_pid"; wait "$sim_pid" || true; sim_pid=

# A jump into Thumb code keeps the core in Thumb state, from Thumb code and
# from ARM code: the callee's breakpoint is reached, not a fault.
start_sim "$elf"
timeout 120 gdb-multiarch -batch -nx "$elf" \
    -ex "target remote 127.0.0.1:$port" \
    -ex 'break AT91F_LowLevelInit' -ex 'continue' -ex 'delete' \
    -ex "break '(anonymous namespace)::simple_command'" -ex 'jump _Z9SROM_WRDIv' \
    -ex 'printf "from arm cpsr %08x\n", $cpsr' -ex 'bt 2' \
    -ex 'jump _Z9SROM_WRENv' \
    -ex 'printf "from thumb cpsr %08x\n", $cpsr' -ex 'bt 2' \
    -ex 'kill' >"$work/gdb.out" 2>&1 || fail "gdb-multiarch failed"
[ "$(grep -c 'Breakpoint 2, (anonymous namespace)::simple_command' "$work/gdb.out")" = 2 ] || fail "a jump into Thumb code did not reach the callee"
grep -q '^from arm cpsr ......[2367abef].$' "$work/gdb.out" || fail "jump from ARM code: not in Thumb state"
grep -q '^from thumb cpsr ......[2367abef].$' "$work/gdb.out" || fail "jump from Thumb code: not in Thumb state"
grep -q 'in SROM_WREN ()' "$work/gdb.out" || fail "the second jump's caller"
wait "$sim_pid" || true; sim_pid=

# With a scenario: it runs while the debugger lets the core run, and its end
# is the program's exit (status 1 for a failing step); a second debugger is
# turned away at once instead of waiting.
printf '%s\n' "name: under gdb" "steps:" "  - wait-lcd: { row: 1, text: \"STATUS:00000000\", timeout: 3s }" \
    "  - press: KEY_INC" "  - delay: 50ms" "  - wait-lcd: { row: 1, text: \"STATUS:00000005\", timeout: 1s }" > "$work/s.yaml"
start_sim --scenario "$work/s.yaml" --junit "$work/r.xml" "$elf"
timeout 120 gdb-multiarch -batch -nx "$elf" \
    -ex "target remote 127.0.0.1:$port" \
    -ex 'break ISR_PIO_handler' -ex 'continue' \
    -ex 'monitor time' -ex 'shell sleep 0.3' -ex 'monitor time' \
    -ex "shell timeout 10 gdb-multiarch -batch -nx -ex 'target remote 127.0.0.1:$port' > $work/second.out 2>&1" \
    -ex 'delete' -ex 'continue' >"$work/gdb.out" 2>&1 || fail "gdb-multiarch failed"
status=0; wait "$sim_pid" || status=$?; sim_pid=
[ "$status" = 1 ] || fail "the failing scenario under the debugger exited $status"
grep -q 'Breakpoint 1, ISR_PIO_handler' "$work/gdb.out" || fail "the scenario's key press did not reach the handler"
[ "$(grep '^virtual time ' "$work/gdb.out" | sort -u | wc -l)" = 1 ] || fail "time moved while halted"
grep -q 'exited with code 01' "$work/gdb.out" || fail "the debugger was not told the scenario ended"
grep -q 'step 4 failed' "$work/sim.out" || fail "the failing step: $(cat "$work/sim.out")"
grep -q 'failures="1"' "$work/r.xml" || fail "the JUnit report"
grep -q 'a second debugger was turned away' "$work/sim.err" || fail "the second debugger"
grep -q 'already attached' "$work/second.out" || fail "the second debugger was not told why: $(cat "$work/second.out")"

# Malformed and unknown packets on the raw socket, then a proper one.
start_sim "$elf"
checksum() {
    local s=$1 sum=0 i c
    for ((i = 0; i < ${#s}; i++)); do printf -v c '%d' "'${s:i:1}"; sum=$((sum + c)); done
    printf '%02x' $((sum % 256))
}
packet() { printf '$%s#%s' "$1" "$(checksum "$1")"; }
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf '$g#00' >&3                    # bad checksum
packet 'm' >&3                        # m without arguments
packet 'Zq,100000,2' >&3              # no such breakpoint type
packet 'qNoSuchQuery' >&3
packet 'm100000,4' >&3                # the first word of the image
# The core is at reset, in ARM state; a pc in a Thumb function (by its
# symbol, bit 0 clear) puts it in Thumb state: cpsr 0xd3 becomes 0xf3.
thumb_fn=$(arm-none-eabi-nm "$elf" | awk '$3 == "_Z9SROM_WRDIv" {print $1}')
le=${thumb_fn:6:2}${thumb_fn:4:2}${thumb_fn:2:2}${thumb_fn:0:2}
packet "Pf=${le%?}$(( ${le: -1} & 0xe ))" >&3
packet 'p10' >&3
packet 'vCont;c' >&3                  # runs until ...
sleep 0.3
printf '\003' >&3                     # ... Ctrl-C
sleep 0.2
packet 'k' >&3
reply=$(timeout 10 cat <&3 || true)
exec 3<&-
case "$reply" in
    -*) ;;
    *) fail "a bad checksum was not refused with '-': $reply" ;;
esac
echo "$reply" | grep -q '\$E01#a6' || fail "malformed m was not answered E01: $reply"
[ "$(echo "$reply" | grep -o '\$#00' | wc -l)" = 2 ] || fail "unknown packets were not answered empty: $reply"
word=$(od -An -tx1 -N4 -j "$(arm-none-eabi-readelf -lW "$elf" | awk '/LOAD/ && $3 ~ /0x00100000/ {print $2; exit}')" "$elf" 2>/dev/null | tr -d ' \n' || true)
[ ${#word} = 8 ] || fail "could not read the image's first word"
echo "$reply" | grep -q "\\\$${word}#" || fail "memory read of the image's first word ($word): $reply"
echo "$reply" | grep -q '\$T02#b6' || fail "Ctrl-C did not stop the running core: $reply"
echo "$reply" | grep -q '\$f3000000#' || fail "a pc write into a Thumb function left the core in ARM state: $reply"
wait "$sim_pid" || true; sim_pid=
grep -q 'killed by the debugger' "$work/sim.err" || fail "kill"
echo "gdb session: ok"
