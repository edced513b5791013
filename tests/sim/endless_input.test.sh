#!/usr/bin/env bash
# Endless input on the serial line (/dev/zero as standard input) neither
# holds a run past its end nor keeps it from stopping on a signal. Every run
# here has a hard limit of its own: a hang fails, it does not stall ctest.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"

# A run with an end ends on time.
status=0
timeout -k 5 60 "$SIM" --headless --for 1ms --serial stdio "$IMG" < /dev/zero > "$T/out" 2> "$T/err" || status=$?
[[ $status == 0 ]] || fail "--for 1ms with /dev/zero as input: exit $status (124/137: it did not end)"
grep -q "^LED" "$T/out" || fail "no report: $(head -c 300 "$T/out")"

# A run without one stops on SIGINT, SIGTERM and SIGHUP.
for sig in INT TERM HUP; do
  "$SIM" --headless --serial stdio "$IMG" < /dev/zero > "$T/out" 2> "$T/err" &
  pid=$!
  sleep 1
  kill -s "$sig" "$pid"
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    fail "SIG$sig: still running 10 s after the signal with /dev/zero as input"
  fi
  status=0
  wait "$pid" || status=$?
  want=$((128 + $(kill -l "$sig")))
  [[ $status == "$want" ]] || fail "SIG$sig: exit $status, expected $want"
done
echo "ok"
