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

# A flashing tool's result: the chip-flash file $2 holds the raw image $1 page
# by page, and a board switched on again with that file alone boots it.
expect_flash_holds_image() {
    local bin=$1 chip=$2 size pages p n
    size=$(stat -c %s "$bin")
    pages=$(( (size + 255) / 256 ))
    for ((p = 0; p < pages; p++)); do
        n=$(( p == pages - 1 ? size - p * 256 : 256 ))
        cmp -s -n $n <(tail -c +$((p * 256 + 1)) "$bin") <(tail -c +$((p * 256 + 1)) "$chip") ||
            fail "flash page $p differs from $(basename "$bin")"
    done
    echo "flash file: $pages pages equal to $(basename "$bin")"
    timeout 60 "$SIM" --chip-flash "$chip" --headless --for 3s >"$T/again.out" 2>&1 || fail "second run: $(cat "$T/again.out")"
    grep -q "^STATUS:00000000" "$T/again.out" || fail "the second run does not boot the image: $(cat "$T/again.out")"
}
