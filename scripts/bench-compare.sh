#!/usr/bin/env bash
# Simulator speed, side by side: runs `boardsim --bench` of each build in
# turn, round after round, and prints each one's median real-time factor
# (by wall clock and by the process's CPU time) and its cycle and
# instruction counts. Taking the runs in turn gives every build the same
# share of a busy host, which a block of runs per build does not.
#
#   scripts/bench-compare.sh [--rounds N] [--passes P] [--image ELF] [--exact] BUILD...
#
# BUILD is a boardsim executable or a git revision of this tree; a revision
# is exported (git archive: no worktree to register or clean up) and built
# once (default preset, boardsim only, as many jobs as the host has cores)
# under build-bench/<commit>. Every build runs the same image: by default
# the firmware of ./build (built first if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tool=bench-compare
source scripts/lib/boardsim_builds.sh

rounds=7
passes=16
image=""
extra=()
builds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --passes) passes=$2; shift 2 ;;
    --image) image=$2; shift 2 ;;
    --exact) extra+=(--exact); shift ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "$tool: unknown option $1" >&2; exit 2 ;;
    *) builds+=("$1"); shift ;;
  esac
done
require_builds_and_rounds

if [ -z "$image" ]; then
  image=$root/build/firmware/program.elf
  if [ ! -f "$image" ]; then
    ./scripts/setup.sh
    cmake --preset default >/dev/null
    cmake --build --preset default --target firmware -j "$jobs" >&2
  fi
fi
[ -f "$image" ] || { echo "bench-compare: no image at $image" >&2; exit 2; }

./scripts/setup.sh
binaries=()
for b in "${builds[@]}"; do
  binaries+=("$(binary_of "$b")")
done

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
for ((r = 1; r <= rounds; r++)); do
  for i in "${!binaries[@]}"; do
    out=$results/$i.$r
    if ! "${binaries[$i]}" --bench --passes "$passes" "${extra[@]}" "$image" >"$out" 2>&1; then
      echo "bench-compare: ${builds[$i]} failed its benchmark:" >&2
      cat "$out" >&2
      exit 1
    fi
  done
done

# The value after `label` on its line of a --bench report.
field() { sed -n "s/^$2 *\([0-9.]*\).*/\1/p" "$1"; }
cpu_factor() { sed -n 's/.*(real-time factor \([0-9.]*\) by it).*/\1/p' "$1"; }

printf '%d rounds of --bench --passes %d%s, image %s\n' "$rounds" "$passes" "${extra[*]:+ ${extra[*]}}" "$image"
printf '%-28s %10s %10s %14s %14s\n' build "rt (wall)" "rt (cpu)" cycles instructions
for i in "${!binaries[@]}"; do
  wall=$(for ((r = 1; r <= rounds; r++)); do field "$results/$i.$r" "real-time factor"; done | median)
  cpu=$(for ((r = 1; r <= rounds; r++)); do cpu_factor "$results/$i.$r"; done | median)
  printf '%-28s %10s %10s %14s %14s\n' "${builds[$i]}" "$wall" "$cpu" \
    "$(field "$results/$i.1" cycles)" "$(field "$results/$i.1" instructions | grep . || echo -)"
done
