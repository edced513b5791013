# Sourced by the GDB tests. start_sim ARGS... starts boardsim ($sim) with
# its GDB server on a free port, waiting for the debugger, its output in
# $work/sim.out and $work/sim.err, and sets $sim_pid and $port; the caller's
# fail() ends the test when no port is reported.
start_sim() {
    rm -f "$work/sim.err"
    "$sim" --gdb 0 --gdb-wait "$@" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
        port=$(sed -n 's/.*GDB server on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.err" 2>/dev/null || true)
        [ -n "$port" ] && return 0
        sleep 0.1
    done
    fail "boardsim did not report its port"
}
