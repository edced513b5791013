#!/usr/bin/env bash
# The board's timing and operating rules against the real image: ten virtual
# seconds of it break none, a strict scenario passes on it; a crystal that
# puts the PLL input out of its range is reported with its numbers and the
# instruction, in the headless report and as a strict scenario's failure.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"

out=$("$SIM" --headless --for 10s "$IMG")
echo "$out"
[[ $out == *"STATUS:00000000"* ]] || fail "the image did not reach its status screen"
[[ $out != *"rule broken"* ]] || fail "the image breaks a rule"

cat > "$T/strict.yaml" <<'YAML'
name: strict boot
strict: true
steps:
  - wait-lcd: { row: 1, text: "STATUS:00000000", timeout: 3s }
  - press: KEY_INC
  - delay: 50ms
  - release: KEY_INC
  - delay: 200ms
YAML
"$SIM" --scenario "$T/strict.yaml" "$IMG" || fail "strict scenario failed on the real image"

# 3 MHz / DIV 14 is a PLL input of 0.2143 MHz, under the 1 MHz minimum, and
# its output (x73) of 15.64 MHz is under the 80 MHz of OUT = 0.
out=$("$SIM" --headless --for 100ms --crystal 3000000 "$IMG")
echo "$out"
line=$(grep '^rule broken: PMC: PLL input' <<<"$out") || fail "no PLL input violation reported"
[[ $line == *"0.2143 MHz, at least 1 MHz"* ]] || fail "measured value and limit: $line"
[[ $line =~ pc\ 0x001[0-9A-F]{5} ]] || fail "no pc in the flash: $line"

set +e
fails=$("$SIM" --scenario "$T/strict.yaml" --crystal 3000000 "$IMG")
status=$?
set -e
echo "$fails"
[[ $status == 1 ]] || fail "strict scenario with a broken rule exited $status"
[[ $fails == *"step 1 failed"*"rule broken: PMC: PLL input"* ]] || fail "the first step fails, naming the rule"

sed 's/strict: true/strict: maybe/' "$T/strict.yaml" > "$T/bad.yaml"
set +e
err=$("$SIM" --scenario "$T/bad.yaml" "$IMG" 2>&1)
status=$?
set -e
[[ $status == 2 && $err == *"bad.yaml:2: strict is true or false"* ]] || fail "bad strict value: $status $err"
echo PASS
