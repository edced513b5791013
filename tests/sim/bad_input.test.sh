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

# A failing step: exit 1, the step, the display and the virtual time.
scenario "  - wait-lcd: { row: 1, text: \"STATUS:00000009\", timeout: 800ms }"
expect 1 "s.yaml:3: step 1 failed" --scenario "$T/s.yaml" --flash "$T/flash.bin" "$IMG"
grep -q "at virtual time 0.8" "$T/out" || fail "no virtual time in: $(cat "$T/out")"
grep -q "^STATUS:00000000" "$T/out" || fail "no display in: $(cat "$T/out")"

# A flash file that does not exist is created erased.
"$SIM" --headless --for 1ms --flash "$T/new.bin" "$IMG" > /dev/null
[[ $(stat -c %s "$T/new.bin") == 524288 ]] || fail "new flash file size"
[[ $(tr -d '\377' < "$T/new.bin" | wc -c) == 0 ]] || fail "new flash file not erased"
ls "$T" | grep -q tmp && fail "a temporary file was left behind"
echo "all bad-input checks passed"
