#!/usr/bin/env bash
# Recorded runs replayed with no outside input give the same run: the same
# traces, waveform, picture, cycle count and flash file, for a scenario's
# keys, the terminal view driven by a person's keys, and bytes a host wrote
# on a pseudo-terminal at moments of its own. A failed scenario leaves its
# bundle behind with --record-on-fail. A bundle that is cut, edited, not a
# bundle, or made with another image is refused with exit status 2.
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
DATA="$(dirname "$0")/data"
PROBE="$B/tests/sim/programs/chip.elf"

# same_files A B SUFFIX...: each $T/A.SUFFIX equals $T/B.SUFFIX.
same_files() {
    local a=$1 b=$2 s
    shift 2
    for s in "$@"; do
        cmp -s "$T/$a.$s" "$T/$b.$s" || fail "$a.$s and $b.$s differ"
    done
}
# The cycle count a replay printed equals $1.
replayed_cycles() {
    grep -q "^replayed .* ($1 cycles," "$T/replay.out" || fail "the replay ended elsewhere than cycle $1: $(cat "$T/replay.out")"
}
outputs() { echo --trace irq,mmio --trace-file "$T/$1.trace" --vcd "$T/$1.vcd" --screenshot "$T/$1.png"; }

# ---- a scenario's keys
"$SIM" --scenario "$DATA/key_clicks.yaml" --record "$T/keys.replay" $(outputs a) --flash "$T/a.flash" >"$T/a.out" ||
    fail "the scenario: $(cat "$T/a.out")"
cycles=$(sed -n 's/.*steps passed at .* (\([0-9]*\) cycles)$/\1/p' "$T/a.out")
"$SIM" --replay "$T/keys.replay" $(outputs b) --flash "$T/b.flash" >"$T/replay.out" || fail "the replay: $(cat "$T/replay.out")"
same_files a b trace vcd png flash
replayed_cycles "$cycles"
grep -q "^STATUS:00000002" "$T/replay.out" || fail "the replay's screen: $(cat "$T/replay.out")"
echo "scenario: traces, waveform, picture, flash and $cycles cycles reproduced"

# ---- the terminal view, with keys typed at the host's own moments
# (script gives the view a terminal; the keys come through it).
{ sleep 1.5; printf i; sleep 0.3; printf I; sleep 0.4; printf I; sleep 0.2; printf r; sleep 0.5; printf d; sleep 0.4; printf q; } |
    TERM=xterm timeout 60 script -qfec "$SIM --record $T/view.replay $(outputs view) $IMG" /dev/null >/dev/null ||
    fail "the terminal view ended with status $?"
"$SIM" --replay "$T/view.replay" $(outputs viewreplay) >"$T/replay.out" || fail "the view's replay: $(cat "$T/replay.out")"
same_files view viewreplay trace vcd png
grep -q "^replayed [1-9][0-9]* input" "$T/replay.out" || fail "the view's keys were not recorded: $(cat "$T/replay.out")"
echo "terminal view: $(sed -n 's/^replayed \([0-9]*\) .*/\1/p' "$T/replay.out") inputs reproduced"

# ---- bytes from a host on a pseudo-terminal, until a stop signal
"$SIM" --headless --serial pty --record "$T/pty.replay" --trace mmio --trace-file "$T/pty.trace" --chip-flash "$T/p.flash" \
    "$PROBE" >"$T/pty.out" 2>"$T/pty.err" &
sim=$!
for _ in $(seq 50); do grep -q "serial line" "$T/pty.err" && break; sleep 0.1; done
pty=$(sed -n 's/.*serial line (DBGU) on //p' "$T/pty.err")
[[ -c "$pty" ]] || { kill $sim; fail "no pseudo-terminal: $(cat "$T/pty.err")"; }
exec 3<>"$pty"
timeout 10 grep -m1 -a -q hello <&3 || { kill $sim; fail "no greeting on $pty"; }
printf 'ping' >&3; sleep 0.2; printf 'pong' >&3
got=$(timeout 10 head -c 8 <&3)
kill -TERM $sim; wait $sim
exec 3>&-
[[ $got == pingpong ]] || fail "the probe did not echo: $got"
"$SIM" --replay "$T/pty.replay" --trace mmio --trace-file "$T/ptyreplay.trace" --chip-flash "$T/q.flash" >"$T/replay.out" ||
    fail "the serial replay: $(cat "$T/replay.out")"
same_files pty ptyreplay trace
cmp -s "$T/p.flash" "$T/q.flash" || fail "the chip's flash files differ"
grep -q "^replayed 2 input" "$T/replay.out" || fail "two writes of the host, as they came: $(cat "$T/replay.out")"
echo "pseudo-terminal: the host's bytes reproduced at their cycles"

# ---- a failed scenario keeps its bundle
cat >"$T/late.yaml" <<'YAML'
name: late
steps:
  - press: KEY_CLR
  - wait-lcd: { row: 1, text: "STATUS:00000009", timeout: 400ms }
YAML
mkdir "$T/failed"
"$SIM" --scenario "$T/late.yaml" --record-on-fail "$T/failed" "$IMG" >"$T/late.out" 2>"$T/late.err" && fail "the late scenario passed"
grep -q "replay bundle: $T/failed/late.replay" "$T/late.err" || fail "no word of the bundle: $(cat "$T/late.err")"
"$SIM" --replay "$T/failed/late.replay" >"$T/replay.out" || fail "the failed run's replay: $(cat "$T/replay.out")"
"$SIM" --scenario "$DATA/key_clicks.yaml" --record-on-fail "$T/failed" >/dev/null || fail "the passing scenario"
[ "$(ls "$T/failed")" = late.replay ] || fail "a passing scenario left a bundle: $(ls "$T/failed")"
echo "record-on-fail: the failed run's bundle replays"

# ---- bundles that are not whole, or not this image's
good="$T/keys.replay"
size=$(stat -c %s "$good")
head -c $((size - 100)) "$good" >"$T/cut.replay"
cp "$good" "$T/edited.replay"
printf '\x07' | dd of="$T/edited.replay" bs=1 seek=$((size - 60)) conv=notrunc status=none
cp "$IMG" "$T/foreign.replay"
for c in "cut.replay|cut short" "edited.replay|damaged or edited" "foreign.replay|not a boardsim replay bundle"; do
    f=${c%%|*} why=${c#*|}
    "$SIM" --replay "$T/$f" >"$T/bad.out" 2>&1
    status=$?
    [ $status -eq 2 ] || fail "$f: exit status $status, not 2"
    grep -q "$why" "$T/bad.out" || fail "$f: $(cat "$T/bad.out")"
done
"$SIM" --replay "$good" "$PROBE" >"$T/bad.out" 2>&1
[ $? -eq 2 ] && grep -q "is not the image the run was recorded with" "$T/bad.out" || fail "another image: $(cat "$T/bad.out")"
echo "bad bundles refused with exit status 2"
echo PASS
