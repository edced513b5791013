#!/usr/bin/env bash
# Coverage and profile of the real image over a boot and one key press: the
# key handler ran, its decrement did not, genhtml renders the tracefile; the
# profile adds up to the run's cycle count, main's calls to what main's
# callees cost, and callgrind_annotate reads it. A second run adds its hits.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh" "$1"
SRC=$(cd "$(dirname "$0")/../.." && pwd)/firmware

cat >"$T/press.yaml" <<'YAML'
name: one press
steps:
  - wait-lcd: { row: 1, text: "STATUS:00000000", timeout: 3s }
  - press: KEY_INC
  - wait-lcd: { row: 1, text: "STATUS:00000001", timeout: 3s }
YAML
run() {
    "$SIM" --scenario "$T/press.yaml" --coverage "$T/run.info" --profile "$T/run.prof" \
        --trace irq --trace-file "$T/trace.txt" >"$T/out.txt" 2>"$T/err.txt" ||
        fail "scenario: $(cat "$T/out.txt" "$T/err.txt")"
}
run

# The tracefile: the handler entered once, the decrement line never run and
# its test's branch pair with one side never taken.
record() { awk -v f="$SRC/$1" '$0 == "SF:" f {on=1} on {print} /^end_of_record/ {on=0}' "$T/run.info"; }
record configuratoriai.cpp >"$T/conf.info"
grep -qx 'FNDA:1,_Z15ISR_PIO_handlerv' "$T/conf.info" || fail "ISR_PIO_handler not entered once: $(grep ISR "$T/conf.info")"
dec=$(grep -n 'if (pin_mask & KEY_DEC)' "$SRC/configuratoriai.cpp" | cut -d: -f1)
grep -qx "DA:$dec,1" "$T/conf.info" || fail "the KEY_DEC test did not run once"
grep -qx "DA:$((dec + 1)),0" "$T/conf.info" || fail "the decrement ran"
mapfile -t taken < <(sed -n "s/^BRDA:$dec,0,[01],//p" "$T/conf.info")
[ "${#taken[@]}" = 2 ] || fail "the KEY_DEC test is not one two-way branch: ${taken[*]}"
[ $((taken[0] + taken[1])) = 1 ] && { [ "${taken[0]}" = 0 ] || [ "${taken[1]}" = 0 ]; } ||
    fail "KEY_DEC branch: ${taken[*]}"
grep -q '^SF:.*lib1funcs' "$T/run.info" && fail "a source that is not here is in the tracefile"
genhtml -q -o "$T/html" "$T/run.info" >"$T/genhtml.txt" 2>&1 || fail "genhtml: $(cat "$T/genhtml.txt")"
[ -f "$T/html/index.html" ] || fail "genhtml wrote no report"

# The profile.
cycles=$(sed -n 's/^  cycles *//p' "$T/trace.txt")
[ -n "$cycles" ] || fail "no cycle count in the trace summary"
grep -qx "summary: $cycles [0-9]*" "$T/run.prof" || fail "profile total $(grep summary: "$T/run.prof"), run $cycles cycles"
# Self cycles by function, calls by caller and callee, from the file itself.
awk '
    function name(s,   id) {   # "(n) name" or "(n)"
        id = s; sub(/ .*/, "", id)
        if (index(s, " ")) { sub(/^[^ ]* /, "", s); names[id] = s }
        return names[id]
    }
    /^fn=/  { fn = name(substr($0, 4)); next }
    /^cfn=/ { callee = name(substr($0, 5)); next }
    /^calls=/ { incall = 1; next }
    /^[0-9]/ {
        if (incall) { edge[fn SUBSEP callee] += $2; out[fn] += $2; callers[callee] = callers[callee] " " fn; incall = 0 }
        else { self[fn] += $2; total += $2 }
    }
    END {
        if (!("main" in self)) { print "no main"; exit 1 }
        incl = self["main"] + out["main"]
        for (k in edge) {
            split(k, p, SUBSEP)
            if (p[1] != "main") continue
            c = p[2]; n = split(callers[c], who, " "); only = 1
            for (i = 1; i <= n; i++) if (who[i] != "main") only = 0
            # A callee called from main alone costs in all what main paid for its calls.
            if (only && self[c] + out[c] != edge[k]) { print c ": " self[c] + out[c] " vs " edge[k]; exit 1 }
            callees += edge[k]
        }
        if (callees != incl - self["main"]) { print "callees " callees " vs " incl - self["main"]; exit 1 }
        print total, incl
    }' "$T/run.prof" >"$T/sums.txt" || fail "profile sums: $(cat "$T/sums.txt")"
read -r total main_inclusive <"$T/sums.txt"
[ "$total" = "$cycles" ] || fail "self cycles add up to $total, the run took $cycles"
callgrind_annotate --inclusive=yes "$T/run.prof" >"$T/annotated.txt" 2>&1 || fail "callgrind_annotate: $(cat "$T/annotated.txt")"
# Each function once, whatever directory the sources are in relative to here.
twice=$(sed -n 's/^ *[0-9,]* ([ 0-9.]*%) *[0-9,]* ([ 0-9.]*%)  \([^ ]*\.[A-Za-z]*:.*\)$/\1/p' "$T/annotated.txt" |
    sed 's|^[^:]*/||' | sort | uniq -d)
[ -z "$twice" ] || fail "callgrind_annotate lists functions twice: $twice"
grouped=$(echo "$main_inclusive" | sed -e ':a' -e 's/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/' -e 'ta')
grep -Eq "^ *$grouped .*:main " "$T/annotated.txt" ||
    fail "callgrind_annotate does not show main's $grouped inclusive cycles: $(grep ':main ' "$T/annotated.txt")"

# A second run adds its hits.
run
grep -qx 'FNDA:2,_Z15ISR_PIO_handlerv' "$T/run.info" || fail "the second run's hits were not added"

# Refusals: a tracefile that is not one, a file that cannot be written.
printf 'SF:/x.c\nDA:1\n' >"$T/bad.info"
set +e
"$SIM" --headless --for 1ms --coverage "$T/bad.info" >/dev/null 2>"$T/err.txt"
status=$?
set -e
[ "$status" = 2 ] && grep -q "bad.info:2: bad DA record" "$T/err.txt" || fail "bad tracefile: $status $(cat "$T/err.txt")"
set +e
"$SIM" --headless --for 1ms --profile "$T/no/such/dir/p.out" >/dev/null 2>"$T/err.txt"
status=$?
set -e
[ "$status" = 2 ] && grep -q "no/such/dir/p.out" "$T/err.txt" || fail "unwritable profile: $status $(cat "$T/err.txt")"
echo "coverage and profile: ok"
