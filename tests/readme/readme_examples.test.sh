#!/usr/bin/env bash
# Every example in README.md runs as written: each ```sh block is run from
# the repository root (a copy of it made of links, with build/ the build
# tree under test), in order, and must succeed; each ```yaml block is a
# scenario and must pass. A block that needs a board, a JTAG adapter or a
# real serial port, or that would run this suite itself, is marked in the
# README by a line `<!-- not run: REASON -->` just before it. Plain ```
# blocks show output and are not commands. The examples must leave nothing
# in the repository root. The list of blocks and what was done with each is
# printed first.
set -uo pipefail
source "$(dirname "$0")/../lib/sim_env.sh"
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
README="$ROOT/README.md"

# One line per block: its first line's number, its language, and the reason
# it is not run ("" when it runs).
awk '
    /^<!-- not run: .* -->$/ { reason = $0; sub(/^<!-- not run: /, "", reason); sub(/ -->$/, "", reason); held = NR; next }
    /^```/ && !inside { inside = 1; lang = substr($0, 4); start = NR + 1
                        printf "%d\t%s\t%s\n", start, (lang == "" ? "-" : lang), (held == NR - 1 ? reason : ""); next }
    /^```/ && inside { inside = 0; next }
    NF { held = 0 }
' "$README" > "$T/blocks"
block_text() { awk -v s="$1" 'NR >= s { if (/^```/) exit; print }' "$README"; }

M="$T/root"
mkdir "$M"
for entry in "$ROOT"/* "$ROOT"/.[!.]*; do
    [ -e "$entry" ] || continue
    name=$(basename "$entry")
    case "$name" in build|build-*) continue ;; esac
    ln -s "$entry" "$M/$name"
done
ln -s "$B" "$M/build"
ls -A "$M" | sort > "$T/root.before"

echo "README.md's code blocks:"
while IFS=$'\t' read -r line lang reason; do
    if [ "$lang" = "-" ]; then echo "  line $line: output, not a command"
    elif [ -n "$reason" ]; then echo "  line $line ($lang): not run: $reason"
    else echo "  line $line ($lang): run"
    fi
done < "$T/blocks"

failed=0
while IFS=$'\t' read -r line lang reason; do
    [ "$lang" = "-" ] || [ -n "$reason" ] && continue
    block_text "$line" > "$T/block"
    status=0
    case "$lang" in
        # A block that fails half-way must not leave what it started in the
        # background running (a boardsim waiting for its host for ever).
        sh) (cd "$M" && timeout -k 10 900 bash -e -c 'trap "kill \$(jobs -p) 2>/dev/null || true" EXIT; . "$1"' block "$T/block") \
                > "$T/block.out" 2>&1 < /dev/null || status=$? ;;
        yaml)
            mkdir -p "$T/yaml$line"
            cp "$T/block" "$T/yaml$line/example.yaml"
            (cd "$M" && timeout -k 10 300 ./build/bin/boardsim --scenario "$T/yaml$line/example.yaml") > "$T/block.out" 2>&1 < /dev/null || status=$? ;;
        *) echo "line $line: a block in $lang, which this test cannot run: mark it not run or make it sh or yaml"; failed=1; continue ;;
    esac
    if [ $status -ne 0 ]; then
        echo "FAIL: the block at README.md line $line ($lang) ended with status $status:"
        sed 's/^/    | /' "$T/block"
        tail -n 30 "$T/block.out" | sed 's/^/    > /'
        failed=1
    else
        echo "ok: README.md line $line ($lang)"
    fi
done < "$T/blocks"

ls -A "$M" | sort > "$T/root.after"
if ! cmp -s "$T/root.before" "$T/root.after"; then
    echo "FAIL: the examples left files in the repository root: $(comm -13 "$T/root.before" "$T/root.after" | tr '\n' ' ')"
    failed=1
fi
[ $failed -eq 0 ] || exit 1
echo "PASS"
