#!/usr/bin/env bash
# Every refused input gives its message and exit status 2, a failing step
# exit status 1 with the step, the display and the time, and none of them
# touches the flash file.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"

head -c 524288 /dev/urandom > "$T/flash.bin"
cp "$T/flash.bin" "$T/flash.orig"

# expect STATUS PATTERN ARGS...: exit status and a message matching PATTERN.
expect() {
  local want=$1 pattern=$2; shift 2
  local status=0
  "$SIM" "$@" > "$T/out" 2>&1 || status=$?
  [[ $status == "$want" ]] || fail "$* exited $status, expected $want: $(cat "$T/out")"
  grep -Eq -- "$pattern" "$T/out" || fail "$*: no '$pattern' in: $(cat "$T/out")"
  cmp -s "$T/flash.bin" "$T/flash.orig" || fail "$* changed the flash file"
}

echo "not an image" > "$T/text.elf"
expect 2 "text.elf: not an ELF file" --headless --for 1ms --flash "$T/flash.bin" "$T/text.elf"
expect 2 "program.o|not an executable|not a 32-bit|ARM" --headless --for 1ms --flash "$T/flash.bin" /bin/sh
expect 2 "missing.elf: cannot open" --headless --for 1ms --flash "$T/flash.bin" "$T/missing.elf"
head -c 1000 /dev/zero > "$T/short.bin"
expect 2 "short.bin: is 1000 bytes; a flash file must be exactly 524288" --headless --for 1ms --flash "$T/short.bin" "$IMG"
expect 2 "not a duration" --headless --for 3 --flash "$T/flash.bin" "$IMG"
expect 2 "not a duration" --headless --for 5parsecs --flash "$T/flash.bin" "$IMG"
expect 2 "--junit requires --scenario" --junit "$T/x.xml" --flash "$T/flash.bin" "$IMG"
expect 2 "" --no-such-option --flash "$T/flash.bin" "$IMG"
expect 2 "86401s is longer than one day" --headless --for 86401s --flash "$T/flash.bin" "$IMG"
expect 2 "--crystal: 25MHz is outside the crystal range of 3 to 20 MHz" --crystal 25MHz --for 1ms --flash "$T/flash.bin" "$IMG"
expect 2 "--crystal: 18.432 furlongs is not a frequency" --crystal "18.432 furlongs" --for 1ms --flash "$T/flash.bin" "$IMG"
expect 2 "--seed: must be a whole number" --seed -1 --bounce 2 --for 1ms --flash "$T/flash.bin" "$IMG"
mkfifo "$T/fifo.elf"
expect 2 "fifo.elf: not a regular file" --for 1ms --flash "$T/flash.bin" "$T/fifo.elf"
head -c 100 "$IMG" > "$T/cut.elf"
expect 2 "cut.elf: truncated: the program headers end at byte" --for 1ms --flash "$T/flash.bin" "$T/cut.elf"

# Options that something else on the line would make meaningless.
printf '%s\n' "name: ok" "steps:" "  - delay: 1ms" > "$T/ok.yaml"
expect 2 "--scenario excludes --bench|--bench excludes --scenario" --bench --scenario "$T/ok.yaml" --flash "$T/flash.bin" "$IMG"
expect 2 "--junit requires --scenario" --bench --junit "$T/r.xml" --flash "$T/flash.bin" "$IMG"
expect 2 "--gdb excludes --bench|--bench excludes --gdb" --bench --gdb 0 --flash "$T/flash.bin" "$IMG"
expect 2 "--for excludes --bench|--bench excludes --for" --bench --for 1s --flash "$T/flash.bin" "$IMG"
expect 2 "--for excludes --scenario|--scenario excludes --for" --scenario "$T/ok.yaml" --for 1s --flash "$T/flash.bin" "$IMG"
expect 2 "--seed requires --bounce" --seed 7 --for 1ms --flash "$T/flash.bin" "$IMG"
expect 2 "--fast excludes --headless|--headless excludes --fast" --fast --headless --for 1ms --flash "$T/flash.bin" "$IMG"
expect 2 "--trace: an empty file name|--trace: .*empty" --trace "" --for 1ms --flash "$T/flash.bin" "$IMG"
expect 2 "--flash: .*empty" --flash "" --for 1ms "$IMG"
[[ ! -e $T/r.xml ]] || fail "a refused run wrote the report"
# Units are accepted where a person would write them.
"$SIM" --crystal 18.432MHz --headless --for 1ms --flash "$T/flash.bin" "$IMG" > /dev/null || fail "--crystal 18.432MHz refused"

scenario() { printf '%s\n' "name: bad" "steps:" "$@" > "$T/s.yaml"; }
scenario "  - delay: 10ms" "  - jump: 3"
expect 2 "s.yaml:4: unknown step \"jump\"" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
scenario "  - press: KEY_UP"
expect 2 "s.yaml:3: unknown key \"KEY_UP\"" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
scenario "  - expect-pin: { pin: PB3, level: 0 }"
expect 2 "s.yaml:3: unknown pin \"PB3\"" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
scenario "  - expect-pin: { pin: PA32, level: 0 }"
expect 2 "unknown pin \"PA32\"" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
scenario "  - delay: 10 minutes"
expect 2 "s.yaml:3: delay: \"10 minutes\" is not a duration" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
scenario "  - wait-lcd: { row: 4, text: \"x\", timeout: 1s }"
expect 2 "s.yaml:3: row must be a whole number from 0 to 3" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
scenario "  - expect-lcd: { row: 0, col: 15, text: \"too long here\" }"
expect 2 "does not fit" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
scenario "  - delay: [10ms" 
expect 2 "s.yaml:[0-9]+: malformed YAML" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
expect 2 "nothing.yaml: cannot be read" --scenario "$T/nothing.yaml" --flash "$T/flash.bin" "$IMG"
# yaml-cpp would keep one of two equal keys and drop a second document
# without a word; the steps in them would never run.
printf '%s\n' "name: a" "steps:" "  - delay: 1ms" "---" "name: b" "steps:" "  - press: KEY_INC" > "$T/s.yaml"
expect 2 "s.yaml:5: a second YAML document" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
printf '%s\n' "name: a" "steps:" "  - delay: 1ms" "steps:" "  - press: KEY_INC" > "$T/s.yaml"
expect 2 "s.yaml:4: \"steps\" appears twice" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
scenario "  - wait-lcd: { row: 1, text: \"x\", row: 2, timeout: 1s }"
expect 2 "s.yaml:3: \"row\" appears twice" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
{ echo "name: deep"; echo "steps:"; printf '  - delay: '; printf '[%.0s' $(seq 600); echo; } > "$T/s.yaml"
expect 2 "s.yaml:[0-9]+: nested deeper than [0-9]+ levels" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
printf '%s\n' "name: a" 'flash: ""' "steps:" "  - delay: 1ms" > "$T/s.yaml"
expect 2 "s.yaml:2: flash must name a file" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
expect 2 "fifo.elf: not a regular file" --scenario "$T/fifo.elf" --flash "$T/flash.bin" "$IMG"

# A failing step: exit 1, the step, the display and the virtual time.
scenario "  - wait-lcd: { row: 1, text: \"STATUS:00000000\", timeout: 5s }" \
         "  - wait-lcd: { row: 1, text: \"STATUS:00000009\", timeout: 100ms }"
expect 1 "s.yaml:4: step 2 failed" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
grep -q "at virtual time [0-9.]* s" "$T/out" || fail "no virtual time in: $(cat "$T/out")"
grep -q "^STATUS:00000000" "$T/out" || fail "no display in: $(cat "$T/out")"

# A flash file that does not exist is created erased.
"$SIM" --headless --for 1ms --flash "$T/new.bin" "$IMG" > /dev/null
[[ $(stat -c %s "$T/new.bin") == 524288 ]] || fail "new flash file size"
[[ $(tr -d '\377' < "$T/new.bin" | wc -c) == 0 ]] || fail "new flash file not erased"
ls "$T" | grep -q tmp && fail "a temporary file was left behind"
echo "all bad-input checks passed"
