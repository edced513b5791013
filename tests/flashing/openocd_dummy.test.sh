#!/usr/bin/env bash
# The JTAG flashing script and the chip's OpenOCD configuration, run by the
# real openocd with its dummy adapter: every command the script gives must be
# one OpenOCD knows, with arguments it accepts, and the reset-init handler
# must run through. The dummy adapter leaves the target unreachable, so the
# commands that need the chip fail; those errors are expected.
# Usage: openocd_dummy.test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
command -v openocd >/dev/null || fail "openocd is not installed (scripts/setup.sh installs it)"

# flash.sh runs this in place of openocd. It keeps the script's commands in
# a file and runs each under catch, so that an unreachable-target failure
# does not hide the commands after it, and prints how each ended: OpenOCD's
# error code, or 1 for a Tcl error (an unknown command or subcommand).
cat >"$T/try.tcl" <<'TCL'
proc try_cmd {c} {
    echo "@@begin $c"
    set code [catch {uplevel #0 $c} message]
    echo "@@end $code [lindex [split $message \n] 0]"
}
TCL
cat >"$T/openocd" <<SH
#!/usr/bin/env bash
args=(-f "$T/try.tcl")
: >"$T/commands"
while [ \$# -gt 0 ]; do
    if [ "\$1" = -c ]; then
        printf '%s\n' "\$2" >>"$T/commands"
        args+=(-c "try_cmd {\$2}"); shift 2
    else
        args+=("\$1"); shift
    fi
done
exec openocd "\${args[@]}"
SH
chmod +x "$T/openocd"

OPENOCD="$T/openocd" OPENOCD_INTERFACE=interface/dummy.cfg \
    timeout 120 firmware/flash/flash.sh "$IMG" >"$T/out" 2>&1
status=$?
grep -v 'does not have valid IDCODE' "$T/out"
[ $status -eq 0 ] || fail "openocd ended with status $status"

grep '^@@begin ' "$T/out" | cut -c9- >"$T/ran"
diff "$T/commands" "$T/ran" >/dev/null || fail "not every command of the script ran: $(cat "$T/ran")"

# OpenOCD's codes: -601 is a syntax error (bad arguments), 1 a Tcl error
# (unknown command or subcommand). Other failures are the missing target's.
awk '
    /^@@begin / { cmd = substr($0, 9) }
    /^@@end (-601|1) / { print "rejected: " cmd " (" $0 ")"; bad = 1 }
    /invalid command name|Error executing event/ { print "in the configuration: " $0; bad = 1 }
    END { exit bad }
' "$T/out" || fail "OpenOCD rejected part of the script or configuration"

# The boot program's lock regions must be open before the write, and the
# write checked before the chip is started.
line_of() { grep -n -m1 -e "$1" "$T/ran" | cut -d: -f1; }
u=$(line_of '^flash protect 0 0 last off$'); w=$(line_of '^flash write_image erase ')
v=$(line_of '^verify_image '); r=$(line_of '^reset run$')
[ -n "$u" ] && [ -n "$w" ] && [ -n "$v" ] && [ -n "$r" ] && [ "$u" -lt "$w" ] && [ "$w" -lt "$v" ] && [ "$v" -lt "$r" ] ||
    fail "expected unlock, write, verify, run in that order; ran: $(cat "$T/ran")"
grep -q gpnvm "$T/ran" && fail "the script changes a GPNVM bit; this chip has no boot-select bit"
echo "PASS"
