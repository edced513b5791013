#!/usr/bin/env bash
# A run restored from a snapshot goes on exactly as the run that saved it:
# the real image and probe programs, saved at moments found in their own
# traces (inside a display command, an SPI/PDC transfer, a flash command, a
# serial frame, with an interrupt pending, in a delay loop) and at seeded
# random times, then restored and run to the same end. The restored run's
# screen and report, its trace lines and waveform changes from the
# snapshot's time on, its starting levels and its cycle and instruction
# counts equal the uninterrupted run's; and saving changes nothing in the
# run that saves. Then the files a restore must refuse.
set -euo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
PROGRAMS="$B/tests/sim/programs"
SEED=${SNAPSHOT_SEED:-$(date +%s)}
echo "seed $SEED (SNAPSHOT_SEED=$SEED to repeat)"

# moments TRACE SEED: save times (in ns) at the moments named above and at
# three random lines of the trace.
moments() {
    python3 - "$1" "$2" <<'EOF'
import random, re, sys
lines = [l.split() for l in open(sys.argv[1]) if l[:1].isdigit()]
ns = lambda l: int(l[0].replace('.', ''))
found = {}
def middle(name, pattern, after):
    hits = [l for l in lines if re.search(pattern, ' '.join(l))]
    if hits:
        found[name] = ns(hits[len(hits) // 2]) + after
middle('display command', r' W PIOA\.PIO_(SODR|ODSR) ', 1)
middle('SPI-PDC transfer', r' W SPI\.(SPI_TDR|PDC_PTCR) ', 100)
middle('flash command', r' W (SPI\.PDC_TCR|[A-Z]+\.[A-Z]+_FCR) ', 2000)
middle('serial frame', r' W DBGU\.DBGU_THR ', 30000)
middle('pending interrupt', r' R AIC\.AIC_IVR ', -50)
gaps = [(ns(b) - ns(a), ns(a)) for a, b in zip(lines, lines[1:])]
if gaps:
    gap, at = max(gaps)
    found['delay loop'] = at + gap // 2
rng = random.Random(int(sys.argv[2]))
for i in range(3):
    # Short of the trace's last line: a moment at or past the run's end
    # would have no snapshot, or nothing to run from it.
    k = rng.randrange(max(len(lines) - 2, 1))
    found['random %d' % i] = min(ns(lines[k]) + rng.randrange(0, 50000), ns(lines[k + 1]))
for name, t in found.items():
    if t > 0:
        print('%d %s' % (t, name.replace(' ', '_')))
EOF
}

# same_from FULL TS PART [TS PART]...: the trace lines of each PART equal
# those of FULL from time TS (ns) on, and so do the waveforms' changes;
# PART's first values are FULL's at TS. FULL is read once for all of them.
same_from() {
    python3 - "$@" <<'EOF'
import bisect, sys
full, pairs = sys.argv[1], sys.argv[2:]
ns = lambda l: int(l.split(None, 1)[0].replace(b'.', b''))
def lines(path):
    return open(path, 'rb').read().split(b'\n')
def trace(path):
    return [l for l in lines(path) if l[:1].isdigit()]
def counts(path):
    return [l for l in lines(path) if l.split()[:1] in ([b'instructions'], [b'cycles'])]
def vcd(path):
    ls = lines(path)
    changes, t = [], 0
    for l in ls[ls.index(b'$enddefinitions $end') + 1:]:
        l = l.strip()
        if l[:1] == b'#':
            t = int(l[1:])
        elif l[:1] in (b'0', b'1', b'x', b'z'):
            changes.append((t, l[1:], l[:1]))
    return changes
def state_at(changes, t):
    return {c[1]: c[2] for c in changes if c[0] <= t}
full_trace, full_counts, full_vcd = trace(full + '.trace'), counts(full + '.trace'), vcd(full + '.vcd')
times = [ns(l) for l in full_trace]
errors = []
for ts, part in zip(pairs[0::2], pairs[1::2]):
    ts = int(ts)
    a, b = full_trace[bisect.bisect_left(times, ts):], trace(part + '.trace')
    if a != b:
        d = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        errors.append('%s: trace differs at line %d: %r / %r' % (part, d, a[d:d+1], b[d:d+1]))
    if full_counts != counts(part + '.trace'):
        errors.append('%s: counts differ: %s / %s' % (part, full_counts, counts(part + '.trace')))
    # The restored run's waveform opens with its levels at time 0 of the
    # file: they are the levels at the snapshot's time.
    pv = [(max(c[0], ts), c[1], c[2]) for c in vcd(part + '.vcd')]
    if [c for c in full_vcd if c[0] > ts] != [c for c in pv if c[0] > ts]:
        errors.append('%s: waveform changes differ after %d ns' % (part, ts))
    if state_at(full_vcd, ts) != state_at(pv, ts):
        errors.append('%s: levels at %d ns differ: %s / %s' % (part, ts, state_at(full_vcd, ts), state_at(pv, ts)))
if errors:
    sys.exit('\n'.join(errors))
EOF
}

# Until every board model declares its state, a snapshot cannot bring the
# board back: the test waits for the models (their parts are in the file).
"$SIM" --headless --for 1ms --save-at 0ns "$T/probe.snap" "$IMG" >/dev/null 2>&1 || fail "no snapshot of the image"
grep -qa "PIOA" "$T/probe.snap" || { echo "SKIP: the board's models do not declare their state yet"; exit 77; }

checked=0
run_program() {
    local name=$1 image=$2 end=$3 rec=(--trace mmio --vcd-signals all)
    local dir="$T/$name"
    mkdir -p "$dir"
    "$SIM" --headless --for "$end" "${rec[@]}" --trace-file "$dir/full.trace" --vcd "$dir/full.vcd" "$image" \
        >"$dir/full.out" 2>"$dir/full.err" || [ $? -eq 3 ] || fail "$name: $(cat "$dir/full.err")"
    mapfile -t at < <(moments "$dir/full.trace" "$SEED")
    [ ${#at[@]} -ge 4 ] || fail "$name: too few moments found"
    local saves=()
    for m in "${at[@]}"; do saves+=(--save-at "${m%% *}ns" "$dir/${m#* }.snap"); done
    "$SIM" --headless --for "$end" "${rec[@]}" --trace-file "$dir/saving.trace" --vcd "$dir/saving.vcd" "${saves[@]}" \
        "$image" >"$dir/saving.out" 2>"$dir/saving.err" || [ $? -eq 3 ] || fail "$name saving: $(cat "$dir/saving.err")"
    for f in trace vcd out; do
        cmp -s "$dir/full.$f" "$dir/saving.$f" || fail "$name: saving snapshots changed the run's $f"
    done
    local compare=()
    for m in "${at[@]}"; do
        local what=${m#* } ts
        ts=$(sed -n "s|^boardsim: snapshot at \([0-9.]*\) s written to $dir/$what.snap$|\1|p" "$dir/saving.err")
        [ -n "$ts" ] || fail "$name: no snapshot for $what: $(cat "$dir/saving.err")"
        "$SIM" --headless --restore "$dir/$what.snap" --for "$end" "${rec[@]}" --trace-file "$dir/$what.trace" \
            --vcd "$dir/$what.vcd" "$image" >"$dir/$what.out" 2>"$dir/$what.err" || [ $? -eq 3 ] ||
            fail "$name from $what: $(cat "$dir/$what.err")"
        cmp -s "$dir/full.out" "$dir/$what.out" || fail "$name from $what at $ts s: $(diff "$dir/full.out" "$dir/$what.out")"
        compare+=("${ts/./}" "$dir/$what")
        checked=$((checked + 1))
    done
    same_from "$dir/full" "${compare[@]}" || fail "$name: a restored run differs"
    echo "$name: restored at ${#at[@]} moments, each run equal to the uninterrupted one"
}

run_program image "$IMG" 1s
run_program interrupts "$PROGRAMS/interrupts.elf" 50ms
run_program memory "$PROGRAMS/memory.elf" 50ms
run_program chip "$PROGRAMS/chip.elf" 1s
run_program talker "$PROGRAMS/talker.elf" 20ms

# Refused, each with its reason, exit status 2 and no output written.
snap="$T/image/random_0.snap"
head -c 40 "$snap" >"$T/short.snap"
head -c -1 "$snap" >"$T/cut.snap"
cp "$snap" "$T/corrupt.snap"
printf '\x5a' | dd of="$T/corrupt.snap" bs=1 seek=4000 conv=notrunc 2>/dev/null
cp "$snap" "$T/version.snap"
printf '\x63' | dd of="$T/version.snap" bs=1 seek=8 conv=notrunc 2>/dev/null
refused() {
    local file=$1 why=$2
    shift 2
    local status=0
    "$SIM" --headless --restore "$file" --for 5s --vcd "$T/refused.vcd" "$@" >"$T/refused.out" 2>&1 || status=$?
    [ $status -eq 2 ] || fail "$(basename "$file") $*: exit status $status, not 2: $(cat "$T/refused.out")"
    grep -q "$why" "$T/refused.out" || fail "$(basename "$file") $*: no \"$why\": $(cat "$T/refused.out")"
    [ ! -e "$T/refused.vcd" ] || fail "$(basename "$file") $*: an output was written"
}
refused "$T/short.snap" "cut short" "$IMG"
refused "$T/cut.snap" "cut short" "$IMG"
refused "$T/corrupt.snap" "corrupted" "$IMG"
refused "$T/version.snap" "format version 99" "$IMG"
refused "$snap" "another image" "$PROGRAMS/interrupts.elf"
refused "$snap" "other parts" --serial stdio "$IMG"
refused "$IMG" "not a boardsim snapshot" "$IMG"
echo "$checked restored runs equal; bad snapshots refused"
