#!/usr/bin/env bash
# gdb-multiarch going backwards on the real image: 1000 instructions
# stepped forward across the key's interrupt entry and then stepped back
# one by one show the same registers at every boundary; forward again
# replays the recorded key press; reverse-continue with a watchpoint on the
# key counter stops at the handler's store that wrote it last; and
# reverse-finish leaves a display routine for its caller's call site.
# A recorded run walked with --replay --gdb meets the recorded key press
# forwards and backwards. `gdb_reverse.test.sh BUILD [RUNS [STEPS]]` repeats
# it all, stepping STEPS instructions each way (1000).
set -euo pipefail
build=$1
runs=${2:-1}
steps=${3:-1000}
sim=$build/bin/boardsim
elf=$build/firmware/program.elf
data=$(dirname "$0")/../sim/data
command -v gdb-multiarch >/dev/null || { echo "gdb-multiarch not installed: skipped"; exit 77; }
work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "${KEEP:-}" ] && cp -r "$work" "$KEEP"
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- gdb:"; tail -40 "$work/gdb.out" 2>/dev/null || true; echo "--- boardsim:"; cat "$work/sim.err" 2>/dev/null || true; exit 1; }

source "$(dirname "$0")/../lib/gdb_sim.sh"
stop_sim() { wait "$sim_pid" || true; sim_pid=; }

# One line per boundary: its index and every register.
regs='printf "%s %d %08x %08x %08x %08x %08x %08x %08x %08x %08x %08x %08x %08x %08x %08x %08x %08x %08x\n", $dir, $i, $pc, $r0, $r1, $r2, $r3, $r4, $r5, $r6, $r7, $r8, $r9, $r10, $r11, $r12, $sp, $lr, $cpsr'
# Code is read from the image: a step then costs the debugger a few
# packets rather than dozens.
cat >"$work/reverse.gdb" <<EOF
set pagination off
set confirm off
set trust-readonly-sections on
break lcd_puts
continue
delete
monitor press KEY_INC
set \$i = 0
set \$dir = "F"
while \$i < $steps
  $regs
  stepi
  set \$i = \$i + 1
end
$regs
set \$dir = "B"
while \$i > 0
  reverse-stepi
  set \$i = \$i - 1
  $regs
end
break lcd_puts
continue
continue
delete
watch demo_bukle
reverse-continue
printf "store r3=%d counter=%d\n", \$r3, demo_bukle
info symbol \$pc
x/i \$pc
delete
break lcd_write
continue
delete
next
next
reverse-finish
info symbol \$pc
x/i \$pc - 2
kill
EOF

check_session() {
    local out=$work/gdb.out
    start_sim "$elf"
    timeout 120 gdb-multiarch -batch -nx "$elf" -ex "target remote 127.0.0.1:$port" -x "$work/reverse.gdb" >"$out" 2>&1 ||
        fail "gdb-multiarch failed"
    stop_sim
    grep '^F ' "$out" | cut -d' ' -f2- | sort -n >"$work/forward"
    grep '^B ' "$out" | cut -d' ' -f2- | sort -n >"$work/backward"
    [ "$(wc -l <"$work/backward")" = "$steps" ] || fail "not $steps steps back"
    head -"$steps" "$work/forward" | cmp -s - "$work/backward" ||
        fail "a boundary differs going back: $(head -"$steps" "$work/forward" | diff - "$work/backward" | head -4)"
    # The stretch crosses the key's interrupt: the IRQ vector and the handler.
    grep -q '^[0-9]* 00000018 ' "$work/forward" || fail "no interrupt entry in the stepped stretch"
    # The last writer of the counter: the handler's store, its value in r3, not yet in memory.
    grep -q '^store r3=1 counter=0$' "$out" || fail "reverse-continue did not stop before the store of 1"
    grep -q 'ISR_PIO_handler.* in section' "$out" || fail "the last writer is not the key handler"
    grep -q '=> .*<_Z15ISR_PIO_handlerv+[0-9]*>:.*str' "$out" || fail "not stopped at a store"
    grep -q 'lcd_putc(char) + [0-9]* in section' "$out" || fail "reverse-finish did not return to the caller"
    # In a BL pair, as the core runs its halves one by one.
    grep -q '<_Z8lcd_putcc+[0-9]*>:.*bl.*<_Z9lcd_writehh>' "$out" || fail "reverse-finish did not stop at the call site"
}

# A scenario's run with key presses, recorded, then walked in the debugger:
# the key handler's entries forwards, then backwards, see the counter the
# recording gave it.
check_replay() {
    local out=$work/replay.out
    "$sim" --scenario "$data/key_clicks.yaml" --record "$work/keys.replay" "$elf" >/dev/null ||
        fail "recording the scenario"
    # Traces of a run that goes back would show code twice: refused, nothing written.
    local status=0
    "$sim" --replay "$work/keys.replay" --gdb 0 --trace irq --trace-file "$work/t" 2>"$work/refused" || status=$?
    [ "$status" = 2 ] && [ ! -e "$work/t" ] && grep -q 'show code twice' "$work/refused" ||
        fail "--replay --gdb --trace was not refused (status $status)"
    start_sim --replay "$work/keys.replay"
    local each=(-ex 'printf "at %d %x\n", demo_bukle, $sp')
    timeout 120 gdb-multiarch -batch -nx "$elf" -ex 'set trust-readonly-sections on' \
        -ex "target remote 127.0.0.1:$port" -ex 'break ISR_PIO_handler' \
        -ex continue "${each[@]}" -ex continue "${each[@]}" -ex continue "${each[@]}" \
        -ex reverse-continue "${each[@]}" -ex reverse-continue "${each[@]}" -ex 'kill' >"$out" 2>&1 ||
        fail "gdb-multiarch on the replay failed"
    stop_sim
    local seen
    seen=$(sed -n 's/^at //p' "$out" | tr '\n' ' ')
    [ "$(echo "$seen" | wc -w)" = 10 ] || fail "the replay's handler entries: $(cat "$out")"
    read -r a1 a2 b1 b2 c1 c2 d1 d2 e1 e2 <<<"$seen"
    [ "$d1 $d2 $e1 $e2" = "$b1 $b2 $a1 $a2" ] && [ "$a1" != "$c1" ] ||
        fail "the recorded presses backwards are not those forwards: $seen"
}

for ((run = 1; run <= runs; run++)); do
    check_session
    check_replay
done
echo "reverse execution: $runs run(s), $steps steps back each, last writer, reverse-finish, replay"
