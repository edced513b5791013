#!/usr/bin/env bash
# What the host sends before the firmware turns its receiver on is held, as
# a terminal holds what was typed, and delivered at the line's rate once the
# receiver samples the line: a program that enables its receiver late echoes
# all of it. A loss that happens on the chip itself (an overrun: the next
# character arrives before the firmware read the last) is reported without
# -v.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
P="$B/tests/sim/programs"

printf 'hello, late receiver\n' > "$T/in"
status=0
timeout -k 5 60 "$SIM" --headless --for 1s --serial stdio "$P/late_echo.elf" < "$T/in" > "$T/out" 2> "$T/err" || status=$?
[[ $status == 0 ]] || fail "late echo: exit $status: $(cat "$T/err")"
grep -q "hello, late receiver" "$T/out" || fail "the input was not echoed: $(cat "$T/out")"
grep -q "lost" "$T/out" && fail "a loss reported where none happened: $(cat "$T/out")"

# The firmware's first pass reads its receiver only after writing its greeting
# and programming a page: what arrives meanwhile overruns, and the report says so.
printf 'abcdefghijklmnopqrstuvwxyz' > "$T/in"
status=0
timeout -k 5 60 "$SIM" --headless --for 2s --serial stdio --chip-flash "$T/chip.bin" "$P/chip.elf" < "$T/in" > "$T/out" 2> "$T/err" || status=$?
grep -q "character(s) from the host lost: each arrived before the firmware read" "$T/out" ||
  fail "no overrun reported: $(cat "$T/out")"
echo "ok"
