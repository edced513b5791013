#!/usr/bin/env bash
# SIGINT, SIGTERM and SIGHUP end every kind of run promptly, save the flash,
# and exit with 128 + the signal: during a scenario's delay and wait steps
# (which the JUnit report marks as interrupted), a headless run without an
# end, and a run with a silent debugger attached to the halted core.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"

pid=
cleanup_sim() { [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null || true; }
trap 'cleanup_sim; rm -rf "$T"' EXIT

# Waits until boardsim catches SIGINT (its handlers are installed): a signal
# sent earlier would meet the default action, which is not under test.
wait_for_handlers() {
  for _ in $(seq 300); do
    local caught
    caught=$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    (( (16#$caught >> 1) & 1 )) && return 0
    sleep 0.05
  done
  fail "boardsim never caught SIGINT"
}

# run_and_signal SIGNAL EXPECTED-STATUS ARGS...: starts boardsim, signals it
# once it is running, and checks it ends within 10 s with the status.
run_and_signal() {
  local sig=$1 want=$2 status=0; shift 2
  "$SIM" "$@" > "$T/out" 2> "$T/err" &
  pid=$!
  wait_for_handlers
  sleep 0.3
  kill -s "$sig" "$pid"
  for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$pid" 2>/dev/null && fail "$sig: boardsim $* still runs 10 s after the signal"
  wait "$pid" || status=$?
  pid=
  [[ $status == "$want" ]] || fail "$sig: boardsim $* exited $status, expected $want: $(cat "$T/out" "$T/err")"
}

# The flash did not exist: the run creates it at its end, erased.
flash_saved() {
  [[ -f $T/flash.bin && $(stat -c %s "$T/flash.bin") == 524288 ]] || fail "$1: the flash was not saved"
  rm -f "$T/flash.bin"
}

start_gdb_server() {
  "$SIM" --gdb 0 --gdb-wait --flash "$T/flash.bin" "$IMG" > "$T/out" 2> "$T/err" &
  pid=$!
  wait_for_handlers
  for _ in $(seq 200); do grep -q "GDB server on" "$T/err" && break; sleep 0.05; done
  port=$(sed -n 's/.*GDB server on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$T/err")
}
ended_with() {   # status, what
  local status=0
  for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$pid" 2>/dev/null && fail "$2: boardsim still runs 10 s after the signal"
  wait "$pid" || status=$?
  pid=
  [[ $status == "$1" ]] || fail "$2: exit $status, expected $1: $(cat "$T/err")"
}

scenario() { printf '%s\n' "name: long" "steps:" "$@" > "$T/s.yaml"; }

for sig in INT TERM HUP; do
  case $sig in INT) want=130 ;; TERM) want=143 ;; HUP) want=129 ;; esac

  scenario "  - delay: 20000s" "  - press: KEY_INC"
  run_and_signal "$sig" "$want" --scenario "$T/s.yaml" --junit "$T/r.xml" --flash "$T/flash.bin" "$IMG"
  flash_saved "$sig during a delay"
  grep -q "step 1 interrupted by SIG$sig: delay: 20000s" "$T/out" || fail "$sig: $(cat "$T/out")"
  grep -q "0 of 2 steps passed, 1 not run" "$T/out" || fail "$sig: the summary: $(cat "$T/out")"
  grep -q "steps passed at virtual time" "$T/out" && fail "$sig: an interrupted scenario reported as passed"
  grep -q 'errors="1" skipped="1"' "$T/r.xml" || fail "$sig: JUnit counts: $(cat "$T/r.xml")"
  grep -q "<error message=\"interrupted by SIG$sig at virtual time" "$T/r.xml" || fail "$sig: JUnit error: $(cat "$T/r.xml")"

  scenario "  - wait-lcd: { row: 0, text: \"never shown\", timeout: 20000s }"
  run_and_signal "$sig" "$want" --scenario "$T/s.yaml" --junit "$T/r.xml" --flash "$T/flash.bin" "$IMG"
  flash_saved "$sig during a wait"
  grep -q "step 1 interrupted by SIG$sig: wait-lcd" "$T/out" || fail "$sig: $(cat "$T/out")"

  run_and_signal "$sig" "$want" --headless --flash "$T/flash.bin" "$IMG"
  flash_saved "$sig during a headless run"
  grep -q "^LED [01]$" "$T/out" || fail "$sig: a headless run ends with the display and LED: $(cat "$T/out")"
  [[ ! -s $T/err ]] || fail "$sig: progress or other text on a standard error that is no terminal: $(cat "$T/err")"

  # A debugger that attached and says nothing: the core is halted, waiting.
  start_gdb_server
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  for _ in $(seq 200); do grep -q "debugger attached" "$T/err" && break; sleep 0.05; done
  kill -s "$sig" "$pid"
  ended_with "$want" "$sig with a debugger attached"
  exec 3<&-
  flash_saved "$sig with a debugger attached"
done

# A debugger that lets the core run is told that the program was terminated.
if command -v gdb-multiarch > /dev/null; then
  start_gdb_server
  timeout 60 gdb-multiarch -q -batch -nx "$IMG" -ex "target remote 127.0.0.1:$port" -ex continue > "$T/gdb" 2>&1 &
  gdb_pid=$!
  for _ in $(seq 200); do grep -q "debugger attached" "$T/err" && break; sleep 0.05; done
  sleep 0.5
  kill -TERM "$pid"
  ended_with 143 "SIGTERM with the core running under a debugger"
  wait "$gdb_pid" || true
  grep -q "Program terminated with signal SIGTERM" "$T/gdb" || fail "the debugger was not told: $(cat "$T/gdb")"
  flash_saved "SIGTERM with the core running under a debugger"
else
  echo "gdb-multiarch not installed: the running-debugger case skipped"
fi
echo "signals end every run, save the flash and give 128 + the signal"
