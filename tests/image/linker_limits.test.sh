#!/usr/bin/env bash
# The linker script refuses, with a link error, code that does not fit in the
# 256 KiB of flash and variables that leave no room for the stacks in the
# 64 KiB of RAM; what fits links, with its data bounds word-aligned.
# Usage: linker_limits.test.sh BUILD_DIR (unused: the script is taken from the tree)
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/firmware/link/flash.ld
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Links one C source alone against the script; prints the linker's messages.
link() {
    printf '%s\n' "$2" > "$work/$1.c"
    arm-none-eabi-gcc -mcpu=arm7tdmi -Os -ffreestanding -nostdlib -nostartfiles \
        -T "$script" -Wl,--entry=0 -o "$work/$1.elf" "$work/$1.c" 2>&1
}

out=$(link flash 'const char table[256 * 1024] = {1}; const char *use(void) { return table; }
void _startup(void) { for (;;) use(); }')
[ $? -ne 0 ] && grep -q "flash" <<<"$out" || fail "code beyond 256 KiB of flash linked: $out"

out=$(link ram 'char buffer[64 * 1024 - 0x100]; char *use(void) { return buffer; }
void _startup(void) { for (;;) use(); }')
[ $? -ne 0 ] && grep -q "RAM" <<<"$out" || fail "variables filling the RAM linked: $out"

out=$(link fits 'int counter = 5; char odd[3]; short flag;
void _startup(void) { for (;;) { counter++; odd[1]++; flag++; } }')
if [ $? -ne 0 ]; then
    fail "a small image did not link: $out"
else
    syms=$(arm-none-eabi-nm "$work/fits.elf")
    for s in _etext _data _edata __bss_start__ __bss_end__; do
        v=$(awk -v n="$s" '$3 == n { print $1 }' <<<"$syms")
        [ -n "$v" ] && (( 0x$v % 4 == 0 )) || fail "$s is ${v:-missing}, not a word-aligned bound"
    done
    bss=$(( 0x$(awk '$3 == "__bss_end__" { print $1 }' <<<"$syms") - 0x$(awk '$3 == "__bss_start__" { print $1 }' <<<"$syms") ))
    (( bss == 8 )) || fail "zeroed data of 3 + 2 bytes should round up to 8, got $bss"
fi

(( failures == 0 )) || exit 1
echo "linker limits hold"
