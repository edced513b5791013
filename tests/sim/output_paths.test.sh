#!/usr/bin/env bash
# Where outputs go: an output that is an input is refused before the run;
# a symbolic link is followed, a file keeps its mode and its hard links, a
# read-only file or a missing directory is refused at the start (creating
# nothing, not even the flash), FIFOs and character devices are written
# directly, and neither a cut trace nor a killed run leaves a temporary file.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"

# expect STATUS PATTERN ARGS...: exit status and a message on stderr.
expect() {
  local want=$1 pattern=$2 status=0; shift 2
  (cd "$T" && timeout 60 "$SIM" "$@") > "$T/.out" 2> "$T/.err" || status=$?
  [[ $status == "$want" ]] || fail "$* exited $status, expected $want: $(cat "$T/.out" "$T/.err")"
  [[ -z $pattern ]] || grep -Eq -- "$pattern" "$T/.err" || fail "$*: no '$pattern' on stderr: $(cat "$T/.err")"
}
only_files() {   # the directory holds exactly these names (and the captures)
  local want have
  want=$(printf '%s\n' "$@" .err .out | sort | tr '\n' ' ')
  have=$(ls -A "$T" | sort | tr '\n' ' ')
  [[ $want == "$have" ]] || fail "files: $have, expected $want"
}

cp "$IMG" "$T/img.elf"
head -c 524288 /dev/urandom > "$T/data.bin"
cp "$T/data.bin" "$T/data.orig"
printf '%s\n' "name: x" "steps:" "  - delay: 1ms" > "$T/x.yaml"
cp "$T/x.yaml" "$T/x.orig"

# An output that is an input, by name or through another name of the file.
expect 2 "--vcd data.bin and the flash file data.bin are one file" --vcd data.bin --flash data.bin --for 1ms img.elf
expect 2 "--trace-file img.elf is the image img.elf" --trace irq --trace-file img.elf --for 1ms img.elf
expect 2 "--junit x.yaml is the scenario x.yaml" --junit x.yaml --scenario x.yaml img.elf
ln "$T/img.elf" "$T/alias.png"
expect 2 "--screenshot alias.png is the image img.elf" --screenshot alias.png --for 1ms img.elf
cmp -s "$T/data.bin" "$T/data.orig" && cmp -s "$T/x.yaml" "$T/x.orig" && cmp -s "$T/img.elf" "$IMG" || fail "an input changed"
rm "$T/alias.png"

# Refused at the start, creating nothing: an unwritable path, a read-only
# file, a directory, a FIFO that nobody reads.
expect 2 "--junit no/such/dir/r.xml: cannot write" --junit no/such/dir/r.xml --scenario x.yaml --flash new.bin img.elf
[[ ! -s $T/.out ]] || fail "the message went to stdout"
chmod 0444 "$T/data.bin"
expect 2 "data.bin: is read-only" --flash data.bin --for 1ms img.elf
chmod 0644 "$T/data.bin"
mkdir "$T/dir"
expect 2 "--vcd dir: is a directory" --vcd dir --for 1ms --flash new.bin img.elf
rmdir "$T/dir"
mkfifo "$T/fifo"
expect 2 "fifo: is a FIFO that nobody reads" --trace irq --trace-file fifo --for 1ms --flash new.bin img.elf
only_files img.elf data.bin data.orig x.yaml x.orig fifo
cmp -s "$T/data.bin" "$T/data.orig" || fail "a refused run changed the flash"

# A FIFO with a reader is written as the trace goes, also when the reader
# opens it a moment after the run has started.
(sleep 0.3; exec cat "$T/fifo" > "$T/from_fifo") &
expect 0 "" --trace irq --trace-file fifo --for 100ms img.elf
wait
grep -q "^  instructions" "$T/from_fifo" || fail "the trace did not come through the FIFO: $(head -3 "$T/from_fifo")"
rm "$T/fifo" "$T/from_fifo"

# A symbolic link is followed; its target is replaced.
mkdir "$T/real"
ln -s real/flash.bin "$T/link.bin"
expect 0 "" --flash link.bin --for 1ms img.elf
[[ -L $T/link.bin && $(stat -c %s "$T/real/flash.bin") == 524288 ]] || fail "the link was replaced, not followed"
# A file keeps its mode; one with another name (a hard link) keeps it.
printf 'old' > "$T/shot.png"; chmod 0600 "$T/shot.png"
ln "$T/shot.png" "$T/other.png"
expect 0 "" --screenshot shot.png --for 1ms img.elf
[[ $(stat -c %a "$T/shot.png") == 600 ]] || fail "mode $(stat -c %a "$T/shot.png"), expected 600"
[[ $(stat -c %h "$T/shot.png") == 2 ]] && cmp -s "$T/shot.png" "$T/other.png" || fail "the hard link was broken"
[[ $(head -c 4 "$T/shot.png" | od -An -c | tr -d ' ') == '211PNG' ]] || fail "not a picture"
rm -r "$T/real" "$T/link.bin" "$T/shot.png" "$T/other.png"

# The trace stops at its size limit on a whole line, says so, and the
# summary still comes.
expect 0 "trace cut at its size limit" --trace insn --trace-limit 64k --trace-file t.txt --for 200ms img.elf
size=$(stat -c %s "$T/t.txt")
(( size < 65536 + 4096 )) || fail "trace of $size bytes for a 64k limit"
grep -q "^trace cut at its size limit" "$T/t.txt" && grep -q "^  instructions" "$T/t.txt" || fail "no note or summary"
expect 2 "--trace-limit: 5 parsecs is not a size" --trace insn --trace-limit "5 parsecs" --for 1ms img.elf
rm "$T/t.txt"

# A killed run leaves no temporary file behind.
(cd "$T" && exec "$SIM" --trace insn --trace-file big.txt --vcd w.vcd --headless img.elf) 2>/dev/null &
pid=$!
sleep 1
kill -KILL "$pid"; wait "$pid" 2>/dev/null || true
only_files img.elf data.bin data.orig x.yaml x.orig

# Device nodes are written, not replaced; tried in a private /dev.
if [[ $(id -u) == 0 ]] && unshare -m true 2>/dev/null; then
  unshare -m bash -c '
    set -e
    mount -t tmpfs tmpfs /dev
    mknod -m 666 /dev/null c 1 3; mknod -m 666 /dev/full c 1 7
    status=0; "$1" --vcd /dev/full --for 10ms "$2" > /dev/null 2> "$3/full.err" || status=$?
    [[ $status == 1 ]] && grep -q "/dev/full: could not be written (No space left on device)" "$3/full.err" ||
      { echo "FAIL: --vcd /dev/full: exit $status, $(cat "$3/full.err")"; exit 1; }
    printf "%s\n" "name: n" "steps:" "  - delay: 1ms" > "$3/n.yaml"
    "$1" --scenario "$3/n.yaml" --junit /dev/null "$2" > /dev/null
    [[ -c /dev/null && -c /dev/full ]] || { echo "FAIL: a device node was replaced"; ls -l /dev; exit 1; }
  ' _ "$SIM" "$IMG" "$T" || fail "device nodes"
else
  echo "device nodes skipped: needs root and unshare -m for a private /dev"
fi
echo "output paths: all checks passed"
