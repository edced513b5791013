#!/usr/bin/env bash
# Outputs that are FIFOs, two runs on one flash file, and closed standard
# descriptors:
# - --coverage and --profile into a FIFO with a reader: the reader gets the
#   report at the end (a FIFO is no earlier tracefile to read first, and the
#   start-up check must not end the reader's input before the run);
# - a second run on a --chip-flash file another run holds is refused at
#   start; a file two runs create at once is not silently overwritten;
# - with standard output closed, nothing meant for it lands in a file the
#   run opened (--vcd).
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
P="$B/tests/sim/programs"
pid=
trap '[[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null; rm -rf "$T"' EXIT

for kind in coverage profile; do
  mkfifo "$T/$kind.fifo"
  timeout 60 cat "$T/$kind.fifo" > "$T/$kind.got" &
  reader=$!
  status=0
  timeout -k 5 60 "$SIM" --headless --for 10ms "--$kind" "$T/$kind.fifo" "$IMG" > "$T/out" 2>&1 || status=$?
  [[ $status == 0 ]] || fail "--$kind into a FIFO: exit $status (124: it hung): $(cat "$T/out")"
  wait "$reader" || fail "--$kind: the FIFO's reader did not finish"
  want=$([[ $kind == coverage ]] && echo "^SF:" || echo "^events:")
  grep -q "$want" "$T/$kind.got" || fail "--$kind: the reader got no report: $(head -c 300 "$T/$kind.got")"
done

# One run holds the chip's flash file; a second one on it is refused.
"$SIM" --headless --for 1ms --chip-flash "$T/chip.bin" "$IMG" > /dev/null
"$SIM" --headless --chip-flash "$T/chip.bin" "$IMG" > /dev/null 2>&1 &
pid=$!
# Looked for in /proc/locks: trying the lock would race with the run's own.
inode=$(stat -c %i "$T/chip.bin")
held() { grep -q "FLOCK.*:$inode " /proc/locks; }
for _ in $(seq 100); do held && break; sleep 0.1; done
held || fail "the first run does not hold its flash file"
status=0
timeout -k 5 60 "$SIM" --headless --for 1ms --chip-flash "$T/chip.bin" "$IMG" > "$T/out" 2>&1 || status=$?
[[ $status == 2 ]] || fail "a second run on a held flash file: exit $status: $(cat "$T/out")"
grep -q "chip.bin: another run is using it" "$T/out" || fail "the refusal does not say why: $(cat "$T/out")"
kill -INT "$pid"
status=0
wait "$pid" || status=$?
pid=
[[ $status == 130 ]] || fail "the first run: exit $status after SIGINT"

# Two runs on a file that is not there yet: the second to end does not
# write over what the first created.
# The first run has looked for its file once it announces its serial line
# (a fixed sleep is not enough on a loaded machine).
"$SIM" --headless --serial pty --chip-flash "$T/new.bin" "$IMG" > "$T/first.out" 2>&1 &
pid=$!
for _ in $(seq 300); do grep -q "serial line (DBGU) on" "$T/first.out" && break; sleep 0.1; done
grep -q "serial line (DBGU) on" "$T/first.out" || fail "the first run did not start: $(cat "$T/first.out")"
"$SIM" --headless --for 1ms --chip-flash "$T/new.bin" "$IMG" > /dev/null
kill -INT "$pid"
status=0
wait "$pid" || status=$?
pid=
[[ $status == 130 || $status == 1 ]] || fail "the run whose file another created: exit $status"
grep -q "new.bin: another run created it" "$T/first.out" || fail "silently overwritten: $(cat "$T/first.out")"

# Standard output closed: what the chip sends on the serial line goes
# nowhere, not into the waveform file.
status=0
timeout -k 5 60 "$SIM" --headless --for 2s --serial stdio --chip-flash "$T/probe.bin" --vcd "$T/w.vcd" "$P/chip.elf" \
  < /dev/null >&- 2> "$T/err" || status=$?
[[ $status == 0 ]] || fail "stdout closed: exit $status: $(cat "$T/err")"
grep -q hello "$T/w.vcd" && fail "serial output landed in the --vcd file"
head -c 200 "$T/w.vcd" | grep -q '^\$' || fail "the --vcd file does not start as a VCD"
echo "ok"
