#!/usr/bin/env bash
# Going back in a debugged run, in figures (prints them; not a test):
# - reverse-stepi: a 60-virtual-second run of the image with its history
#   kept, then steps back at points spread through it (median and longest;
#   history_bench);
# - memory: the peak resident size of boardsim --gdb running 10 virtual
#   minutes with the history kept and the run recorded (--record), no
#   debugger attached.
#
#   scripts/reverse-bench.sh [--seconds S] [--minutes M] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
minutes=10
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "reverse-bench: unknown option $1" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
for tool in "$build/bin/history_bench" "$build/bin/boardsim"; do
  [ -x "$tool" ] || { echo "reverse-bench: $tool is not built (cmake --build $build)" >&2; exit 2; }
done
elf=$build/firmware/program.elf
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bin/history_bench" "$elf" "$seconds"

/usr/bin/time -f '%M %e' -o "$work/time" "$build/bin/boardsim" --gdb 0 --for "$((minutes * 60))s" \
  --record "$work/run.replay" "$elf" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
read -r kib wall <"$work/time"
printf 'memory: %d virtual minutes under --gdb with --record: peak RSS %.1f MiB (%s s)\n' "$minutes" \
  "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" "$wall"
