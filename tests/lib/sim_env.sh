# Sourced by the simulator's shell tests (ctest passes the build dir as $1):
# the simulator, the built image, a scratch directory removed at exit, and
# fail, which ends the test with a message.
B=$(cd "$1" && pwd)
SIM="$B/bin/boardsim"
IMG="$B/firmware/program.elf"
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
