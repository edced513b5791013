# Sourced after sim_env.sh by the JTAG tests: start_jtag_sim ARGS... runs
# boardsim with --jtag 0 and the ARGS in the background (pid in $sim) and
# sets $port to the port it serves; openocd_on CMDS... runs OpenOCD with the
# repository's interface and chip files against it.
command -v openocd >/dev/null || fail "openocd is not installed (scripts/setup.sh installs it)"
start_jtag_sim() {
    timeout 300 "$SIM" --jtag 0 "$@" >"$T/sim.out" 2>"$T/sim.err" &
    sim=$!
    trap 'kill $sim 2>/dev/null; rm -rf "$T"' EXIT
    port=
    for _ in $(seq 300); do
        port=$(sed -n 's|^boardsim: JTAG (OpenOCD remote_bitbang) on 127.0.0.1:\([0-9]*\)$|\1|p' "$T/sim.err")
        [ -n "$port" ] && return 0
        kill -0 $sim 2>/dev/null || fail "boardsim ended before serving JTAG: $(cat "$T/sim.err")"
        sleep 0.1
    done
    fail "boardsim printed no JTAG port: $(cat "$T/sim.err")"
}
openocd_on() {
    local args=()
    for c in "$@"; do args+=(-c "$c"); done
    BOARDSIM_JTAG_PORT=$port timeout 120 openocd -f firmware/flash/sim-jtag.cfg -f firmware/flash/at91sam7s256.cfg \
        -c "gdb_port disabled" -c "telnet_port disabled" -c "tcl_port disabled" -c init "${args[@]}" -c shutdown 2>&1
}
