#!/usr/bin/env bash
# What a run keeps is bounded whatever the guest or the host does:
# - a guest whose data-abort handler returns faults millions of times: the
#   first faults are kept for the report and the rest counted;
# - a host that writes to the boot monitor's line without reading is paced
#   by the line, as a real one is: its writes block, nothing piles up.
# The bounds are generous (a loaded machine, a sanitizer build) and still
# far below what an unbounded queue reaches in the same run.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
P="$B/tests/sim/programs"
pid=
writer=
trap '[[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null; [[ -n $writer ]] && kill -KILL "$writer" 2>/dev/null; rm -rf "$T"' EXIT

# Peak resident set of a finished command, in MB.
status=0
/usr/bin/time -f "%M" -o "$T/rss" timeout -k 5 120 "$SIM" --headless --for 1s "$P/fault_loop.elf" > "$T/out" 2> "$T/err" || status=$?
[[ $status == 3 ]] || fail "fault loop: exit $status, expected 3: $(head -c 500 "$T/out" "$T/err")"
rss=$(( $(tail -1 "$T/rss") / 1024 ))
(( rss < 200 )) || fail "fault loop: peak RSS $rss MB for 1 s of faults"
grep -q "more faults, the last at" "$T/out" || fail "the faults not kept are not counted: $(head -c 500 "$T/out")"
[[ $(grep -c "^fault: " "$T/out") == 10 ]] || fail "ten faults shown: $(grep -c "^fault: " "$T/out")"

# A host writing to the monitor's line without reading.
"$SIM" --samba --chip-flash "$T/chip.bin" > "$T/samba.out" 2> "$T/samba.err" &
pid=$!
wait_for_monitor "$T/samba.err"
# What the writer got in after 4 s is read from its own counters: its
# answer to a signal can be lost on a loaded host.
dd if=/dev/zero of="$port" bs=1k count=64000 2> "$T/dd" &
writer=$!
sleep 4
sent=$(awk '/^wchar:/ {print $2}' "/proc/$writer/io" 2>/dev/null) ||
    sent=$(sed -n 's/^\([0-9]*\) bytes.*copied.*/\1/p' "$T/dd")
kill -KILL "$writer" 2>/dev/null || true
wait "$writer" 2>/dev/null || true
writer=
[[ -n $sent ]] || fail "no count of what the writer sent: $(cat "$T/dd")"
(( sent < 4 * 1024 * 1024 )) || fail "the line took $sent bytes in 4 s: its host is not paced"
rss=$(( $(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status") / 1024 ))
(( rss < 200 )) || fail "boot monitor: peak RSS $rss MB after $sent bytes from the host"
kill -INT "$pid"
status=0
timeout 20 tail --pid="$pid" -f /dev/null || fail "the boot monitor did not stop on SIGINT"
wait "$pid" || status=$?
[[ $status == 130 ]] || fail "boot monitor: exit $status after SIGINT"
pid=
echo "ok (fault loop and monitor within their bounds; the host got $sent bytes in)"
