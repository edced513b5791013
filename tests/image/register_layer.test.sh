#!/usr/bin/env bash
# The register layer must cost nothing on the target: a register write through
# it is one store to the register's address, a read one load, with the address
# a constant from the literal pool; no call, no other memory access.
# Usage: register_layer.test.sh BUILD_DIR
set -euo pipefail

obj="${1:?usage: $0 BUILD_DIR}/firmware/register_probe.o"
objdump="${OBJDUMP:-arm-none-eabi-objdump}"
[[ -f "$obj" ]] || { echo "FAIL: $obj not found (is the firmware built?)"; exit 1; }
command -v "$objdump" >/dev/null || { echo "FAIL: $objdump not found"; exit 1; }

listing=$("$objdump" -d --no-show-raw-insn "$obj")

# check FUNCTION KIND ADDRESS: KIND is "store" or "load". Prints what it found
# and fails unless the function's only memory access (besides the literal
# load) is one access of that kind whose base register holds ADDRESS.
check() {
    local fn=$1 kind=$2 want=$3
    printf '%s\n' "$listing" | awk -v fn="$fn" -v kind="$kind" -v want="$want" '
        function fail(msg) { printf "FAIL: %s: %s\n", fn, msg; bad = 1; exit 1 }
        function hex(s,    v, i, c) {
            s = tolower(s); sub(/^0x/, "", s); v = 0
            for (i = 1; i <= length(s); i++) { c = index("0123456789abcdef", substr(s, i, 1)); v = v * 16 + c - 1 }
            return v
        }
        $0 ~ "^[0-9a-f]+ <" fn ">:$" { inside = 1; next }
        inside && /^$/ { inside = 0 }
        !inside { next }
        {
            split($0, f, "\t")
            addr = f[1]; sub(/^ */, "", addr); sub(/:$/, "", addr)
            op = f[2]; args = f[3]
            text[addr] = op " " args
            n++; order[n] = addr; ops[n] = op; arg[n] = args; note[n] = f[4]
        }
        END {
            if (bad) exit 1
            if (n == 0) fail("not found in the object")
            for (i = 1; i <= n; i++)
                if (ops[i] ~ /^(bl|blx)$/ || (ops[i] ~ /^bx/ && arg[i] != "lr") || ops[i] ~ /^(b|b\.n|b\.w)$/)
                    fail("branches or calls (" ops[i] " " arg[i] "): the register layer is not inline")
            for (i = 1; i <= n; i++)
                if (ops[i] ~ /^(push|pop|stm|ldm|svc|swi)/)
                    fail("has " ops[i] " " arg[i] ": more than a register access")
            # Literal loads: ldr rX, [pc, #n] @ (ADDR <...>) -> the word at ADDR.
            for (i = 1; i <= n; i++) {
                if (ops[i] == "ldr" && arg[i] ~ /\[pc/) {
                    split(arg[i], a, ","); reg = a[1]
                    lit = note[i]; sub(/.*\(/, "", lit); sub(/ .*/, "", lit)
                    word = text[lit]
                    if (word !~ /^\.word /) fail("literal at " lit " is not a word")
                    sub(/^\.word /, "", word)
                    held[reg] = word
                }
            }
            accesses = 0
            for (i = 1; i <= n; i++) {
                if (ops[i] ~ /^(str|ldr)/ && !(ops[i] == "ldr" && arg[i] ~ /\[pc/)) {
                    accesses++
                    if (ops[i] != (kind == "store" ? "str" : "ldr"))
                        fail("unexpected memory access " ops[i] " " arg[i])
                    base = arg[i]; sub(/.*\[/, "", base); sub(/[],].*/, "", base)
                    off = 0
                    if (arg[i] ~ /#/) { o = arg[i]; sub(/.*#/, "", o); sub(/].*/, "", o); off = o + 0 }
                    if (!(base in held)) fail("base register " base " of " ops[i] " does not hold a literal address")
                    got = hex(held[base]) + off
                    if (got != hex(want))
                        fail(sprintf("%s goes to 0x%08x, expected %s", ops[i], got, want))
                }
            }
            if (accesses != 1) fail(accesses " " kind "s of a register, expected exactly one")
            printf "ok: %s: one %s to %s\n", fn, (kind == "store" ? "str" : "ldr"), want
        }'
}

status=0
check probe_write store 0xfffff430 || status=1
check probe_read load 0xfffff43c || status=1
if (( status )); then
    echo "--- disassembly of $obj ---"
    printf '%s\n' "$listing"
fi
exit $status
