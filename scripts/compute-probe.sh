#!/usr/bin/env bash
# The core's speed where no delay loop helps: boardsim of each build runs the
# compute probe (tests/core/bench/compute_probe.c: an LCG fill, a table
# CRC-32, a bubble sort and a copy, for ever), built for ARM and for Thumb
# with -O2 -mcpu=arm7tdmi, headless for a stretch of virtual time. The
# builds take turns, round after round; printed are the median guest MIPS
# by the process's CPU time and the instruction and cycle counts, which a
# traced run of each build gives once (they do not vary from run to run).
#
#   scripts/compute-probe.sh [--rounds N] [--seconds S] [--exact] BUILD...
#
# BUILD is a boardsim executable or a git revision of this tree (built once
# under build-bench/<commit>, as scripts/bench-compare.sh does).
set -euo pipefail
cd "$(dirname "$0")/.."
tool=compute-probe
source scripts/lib/boardsim_builds.sh

rounds=5
seconds=4
extra=()
builds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --exact) extra+=(--exact); shift ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "$tool: unknown option $1" >&2; exit 2 ;;
    *) builds+=("$1"); shift ;;
  esac
done
require_builds_and_rounds
case "$seconds" in ''|*[!0-9]*|0) echo "$tool: --seconds takes a positive whole number" >&2; exit 2 ;; esac

./scripts/setup.sh
binaries=()
for b in "${builds[@]}"; do
  binaries+=("$(binary_of "$b")")
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src=tests/core/bench
for state in arm thumb; do
  flags=()
  [ $state = thumb ] && flags=(-mthumb)
  arm-none-eabi-gcc -mcpu=arm7tdmi "${flags[@]}" -mthumb-interwork -O2 -ffreestanding \
    -fno-tree-loop-distribute-patterns -nostdlib -Wl,-Ttext=0x00100000 -Wl,-Tdata=0x00200000 -Wl,-e,_start \
    -o "$work/$state.elf" $src/probe_start.s $src/compute_probe.c
done

run() {  # binary state out [options]: the run's CPU seconds into out.cpu
  local bin=$1 state=$2 out=$3
  shift 3
  local TIMEFORMAT='%U %S'
  { time "$bin" --headless --for "${seconds}s" "${extra[@]}" "$@" "$work/$state.elf" >"$out" 2>&1; } 2>"$out.time" || {
    echo "$tool: $bin failed on the $state probe:" >&2
    cat "$out" >&2
    exit 1
  }
  awk '{ print $1 + $2 }' "$out.time" >"$out.cpu"
}

for i in "${!binaries[@]}"; do
  for state in arm thumb; do
    run "${binaries[$i]}" $state "$work/count.$i.$state" --trace irq --trace-file "$work/trace.$i.$state"
  done
done
for ((r = 1; r <= rounds; r++)); do
  for i in "${!binaries[@]}"; do
    for state in arm thumb; do
      run "${binaries[$i]}" $state "$work/$i.$state.$r"
    done
  done
done

count() { sed -n "s/^ *$2 *\([0-9]*\)$/\1/p" "$1" | head -1; }
printf '%d rounds of %d s of virtual time%s; guest MIPS by CPU time (medians)\n' "$rounds" "$seconds" "${extra[*]:+ ${extra[*]}}"
printf '%-28s %6s %10s %14s %14s\n' build state MIPS instructions cycles
for i in "${!binaries[@]}"; do
  for state in arm thumb; do
    n=$(count "$work/trace.$i.$state" instructions)
    cpu=$(for ((r = 1; r <= rounds; r++)); do cat "$work/$i.$state.$r.cpu"; done | median)
    printf '%-28s %6s %10.1f %14s %14s\n' "${builds[$i]}" $state "$(awk -v n="$n" -v s="$cpu" 'BEGIN { print (s > 0 ? n / s / 1e6 : 0) }')" \
      "$n" "$(count "$work/trace.$i.$state" cycles)"
  done
done
