# Sourced by the simulator's shell tests (ctest passes the build dir as $1):
# the simulator, the built image, a scratch directory removed at exit, and
# fail, which ends the test with a message.
B=$(cd "$1" && pwd)
SIM="$B/bin/boardsim"
IMG="$B/firmware/program.elf"
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# wait_for_monitor ERR-FILE: waits for `boardsim --samba` (its standard
# error in ERR-FILE) to serve its boot monitor and sets $port to its
# pseudo-terminal; fails after 30 s.
wait_for_monitor() {
  port=
  for _ in $(seq 300); do
    port=$(sed -n 's|^boardsim: boot monitor on \(/dev/[^ ]*\)$|\1|p' "$1")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  fail "boardsim --samba served no boot monitor: $(cat "$1")"
}
