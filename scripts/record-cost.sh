#!/usr/bin/env bash
# What recording a run costs: one boardsim runs the same work plain and with
# --record, taking turns, round after round, and the medians of the two are
# printed with their ratio, by CPU time and by wall clock. The work is a
# headless stretch of virtual time and the ten-second scenario with keys
# (tests/sim/data/ten_seconds.yaml), whose presses go into the recording.
#
#   scripts/record-cost.sh [--rounds N] [--for TIME] [BOARDSIM]
#
# BOARDSIM is an executable or a git revision of this tree (built once under
# build-bench/<commit>); build/bin/boardsim when not named.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=record-cost
source scripts/lib/boardsim_builds.sh

rounds=7
span=10s
builds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --for) span=$2; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "$tool: unknown option $1" >&2; exit 2 ;;
    *) builds+=("$1"); shift ;;
  esac
done
[ ${#builds[@]} -gt 0 ] || builds=(build/bin/boardsim)
[ ${#builds[@]} -eq 1 ] || { echo "$tool: name one build" >&2; exit 2; }
require_builds_and_rounds
bin=$(binary_of "${builds[0]}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
scenario=tests/sim/data/ten_seconds.yaml
declare -A args=(
  [headless]="--headless --for $span"
  [scenario]="--scenario $scenario"
)

run() {  # work how round: CPU and wall seconds into $work/<work>.<how>.<round>
  local name=$1 how=$2 r=$3 out="$work/$1.$2.$3" rec=()
  [ "$how" = recorded ] && rec=(--record "$work/$name.bundle")
  local TIMEFORMAT='%U %S %R'
  # shellcheck disable=SC2086
  { time "$bin" ${args[$name]} "${rec[@]}" >"$out.log" 2>&1; } 2>"$out.time" || {
    echo "$tool: $bin ${args[$name]} ${rec[*]} failed:" >&2
    cat "$out.log" >&2
    exit 1
  }
  awk '{ print $1 + $2 > "'"$out.cpu"'"; print $3 > "'"$out.wall"'" }' "$out.time"
}

for ((r = 1; r <= rounds; r++)); do
  for name in headless scenario; do
    for how in plain recorded; do
      run $name $how $r
    done
  done
done

med() { for ((r = 1; r <= rounds; r++)); do cat "$work/$1.$2.$r.$3"; done | median; }
printf '%d rounds, taking turns; medians in seconds (%s)\n' "$rounds" "$bin"
printf '%-34s %9s %9s %7s %9s %9s %7s %10s\n' work "plain CPU" "rec CPU" ratio "plain" "rec" ratio "bundle"
for name in headless scenario; do
  line=("$name: ${args[$name]##*/}")
  for m in cpu wall; do
    p=$(med $name plain $m) q=$(med $name recorded $m)
    line+=("$p" "$q" "$(awk -v p="$p" -v q="$q" 'BEGIN { printf "%.3f", (p > 0 ? q / p : 0) }')")
  done
  printf '%-34s %9s %9s %7s %9s %9s %7s %9sB\n' "${line[@]}" "$(stat -c %s "$work/$name.bundle")"
done
