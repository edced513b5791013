#!/usr/bin/env bash
# The built image, read with the cross binutils: entry point, vector table and
# FIQ entry word by word, the instruction set of every entry point, where the
# variables live, that nothing lies outside flash and RAM, the binary and HEX
# outputs, and the stand-alone bring-up object.
# Usage: image.test.sh BUILD_DIR
set -uo pipefail
build=${1:?usage: image.test.sh BUILD_DIR}
fw=$build/firmware
elf=$fw/program.elf

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check_eq() {   # what expected actual
    [ "$2" = "$3" ] || fail "$1: expected $2, got $3"
}

for f in program.elf program.bin program.hex program.map lowinit.o; do
    [ -s "$fw/$f" ] || { echo "FAIL: $fw/$f was not built" >&2; exit 1; }
done

FLASH_START=$((0x00100000)); FLASH_END=$((0x00140000))
RAM_START=$((0x00200000));   RAM_END=$((0x00210000))

symbols=$(arm-none-eabi-readelf -sW "$elf")
# Value of a symbol as the symbol table holds it (bit 0 set for Thumb code).
sym() {
    awk -v n="$1" '$8 == n { print "0x" $2; exit }' <<<"$symbols"
}
# Value of a C++ function, whatever its mangled name.
cxx_sym() {
    arm-none-eabi-readelf -sW -C "$elf" | awk -v n="$1" '$5 == "GLOBAL" && $8 == n { print "0x" $2; exit }'
}
# The 32-bit word stored at a flash address.
word_at() {
    local off=$(( $1 - FLASH_START ))
    od -An -tx4 -j "$off" -N 4 "$fw/program.bin" | tr -d ' '
}

# ---- entry point ----
check_eq "entry point" 0x100000 "$(arm-none-eabi-readelf -h "$elf" | awk '/Entry point/ { print $4 }')"
check_eq "_startup" 0x00100000 "$(sym _startup)"

# ---- vector table and FIQ entry ----
init_reset=$(sym InitReset)
irq_entry=$(sym IRQ_Handler_Entry)
# One line per word: address, encoding, then the disassembly.
disasm=$(arm-none-eabi-objdump -d --start-address=0x100000 --stop-address=0x100048 "$elf" |
    awk -F'\t' '/^ +[0-9a-f]+:\t/ { sub(/^ +/, "", $1); sub(/:$/, "", $1); sub(/ +$/, "", $2); sub(/[ \t]*@.*$/, "", $4);
                 print $1 "|" $2 "|" $3 " " $4 }')
expected=$(cat <<EXP
100000|b $(printf '%x' "$init_reset")
100004|b 100004
100008|b 100008
10000c|b 10000c
100010|b 100010
100014|b 100014
100018|b $(printf '%x' "$irq_entry")
10001c|mov r9, r0
100020|ldr r0, [r8, #260]
100024|msr CPSR_c, #211
100028|push {r1, r2, r3, ip, lr}
10002c|mov lr, pc
100030|bx r0
100034|pop {r1, r2, r3, ip, lr}
100038|msr CPSR_c, #209
10003c|mov r0, r9
100040|subs pc, lr, #4
100044|.word 0x00210000
EXP
)
actual=$(awk -F'|' '{ sub(/ <.*>$/, "", $3); gsub(/\t/, " ", $3); print $1 "|" $3 }' <<<"$disasm")
if [ "$actual" != "$expected" ]; then
    fail "vector table, FIQ entry and .RAM_TOP differ from the expected words"
    diff <(echo "$expected") <(echo "$actual") >&2
fi
check_eq "InitReset follows the literal .RAM_TOP" 0x00100048 "$init_reset"
check_eq ".RAM_TOP" 0x00100044 "$(sym .RAM_TOP)"
check_eq "Top_Stack" 0x00210000 "$(sym Top_Stack)"

# ---- reset path and IRQ entry, instruction by instruction ----
# Literal loads are shown as "=value" so that the constants (stack top, AIC
# base, the addresses entered by BX) are checked with the code that uses them.
# Branch targets are shown as symbols where the code branches to a label.
# Instructions from $1 up to (not including) $2; literals are looked up to $3.
startup_listing() {
    arm-none-eabi-objdump -d --start-address="$1" --stop-address="$3" "$elf" | awk -F'\t' -v stop="$2" '
        /^ +[0-9a-f]+:\t/ {
            a = $1; sub(/^ +/, "", a); sub(/:$/, "", a); w = $2; sub(/ +$/, "", w)
            n++; at[n] = a; op[n] = $3; arg[n] = $4; note[n] = $5; word[a] = w
        }
        function hex(s,    v, i) {
            s = tolower(s); sub(/^0x/, "", s); v = 0
            for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
            return v
        }
        END {
            for (i = 1; i <= n; i++) {
                if (op[i] == ".word" || hex(at[i]) >= hex(stop)) continue
                g = arg[i]
                if (g ~ /\[pc, #-?[0-9]+\]/) {
                    l = note[i]; sub(/^@ /, "", l); sub(/ .*/, "", l)
                    r = g; sub(/,.*/, "", r); g = r ", =0x" word[l]
                } else if (g ~ / <[^>]*>$/) {
                    t = g; sub(/.* </, "", t); sub(/>$/, "", t); g = t
                }
                print op[i] " " g
            }
        }'
}
hex8() { printf '0x%08x' "$1"; }
lowinit_addr=$(sym AT91F_LowLevelInit)
irq_entry_end=$(( $(sym IRQ_Handler_Entry) + $(arm-none-eabi-readelf -sW "$elf" | awk '$8 == "IRQ_Handler_Entry" { print $3; exit }') ))
actual=$(startup_listing 0x00100044 "$(hex8 "$irq_entry_end")" "$(( irq_entry_end + 0x40 ))")
expected=$(cat <<EXP
ldr sp, =0x00210000
ldr r0, =$(hex8 "$lowinit_addr")
mov lr, pc
bx r0
mov r0, sp
msr CPSR_c, #209
ldr r8, =0xfffff000
msr CPSR_c, #210
mov sp, r0
sub r0, r0, #96
msr CPSR_c, #19
mov sp, r0
ldr r1, =$(hex8 "$(sym _etext)")
ldr r2, =$(hex8 "$(sym _data)")
ldr r3, =$(hex8 "$(sym _edata)")
cmp r2, r3
ldrcc r0, [r1], #4
strcc r0, [r2], #4
bcc LoopRel
mov r0, #0
ldr r1, =$(hex8 "$(sym __bss_start__)")
ldr r2, =$(hex8 "$(sym __bss_end__)")
cmp r1, r2
strcc r0, [r1], #4
bcc LoopZI
ldr lr, =$(hex8 "$(sym exit)")
ldr r0, =$(hex8 "$(cxx_sym main)")
bx r0
b exit
sub lr, lr, #4
stmfd sp!, {lr}
mrs lr, SPSR
stmfd sp!, {lr}
stmfd sp!, {r0}
ldr lr, =0xfffff000
ldr r0, [lr, #256]
str lr, [lr, #256]
msr CPSR_c, #19
push {r1, r2, r3, ip, lr}
mov lr, pc
bx r0
pop {r1, r2, r3, ip, lr}
msr CPSR_c, #146
ldr lr, =0xfffff000
str lr, [lr, #304]
ldmfd sp!, {r0}
ldmfd sp!, {lr}
msr SPSR_fsxc, lr
ldm sp!, {pc}^
EXP
)
if [ "$actual" != "$expected" ]; then
    fail "reset path or IRQ entry differs from the expected instructions"
    diff <(echo "$expected") <(echo "$actual") >&2
fi

# ---- counted delays: the counter goes through memory on every pass ----
# Each loop must load the counter from the stack, store it back and execute
# its no-operation; a counter kept in a register would shorten every delay.
for f in 'lcd_e_delay()' 'lcd_ms_delay(unsigned int)' 'pauze(unsigned int)'; do
    read -r start size < <(arm-none-eabi-nm -SC "$elf" | awk -v n="$f" '{ name = $4; for (i = 5; i <= NF; i++) name = name " " $i } name == n { print $1, $2; exit }')
    if [ -z "${start:-}" ]; then fail "$f is missing"; continue; fi
    loop=$(arm-none-eabi-objdump -d --start-address=$((16#$start)) --stop-address=$((16#$start + 16#$size)) "$elf" | awk -F'\t' '
        function hex(s,    v, i) {
            s = tolower(s); sub(/ .*/, "", s); v = 0
            for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
            return v
        }
        /^ +[0-9a-f]+:\t/ { a = $1; sub(/^ +/, "", a); sub(/:$/, "", a); n++; at[n] = hex(a); op[n] = $3; arg[n] = $4 }
        END {
            # The back edge: a branch to an earlier address of the function.
            for (i = 1; i <= n; i++)
                if (op[i] ~ /^b(\.n)?$|^b[a-z][a-z](\.n)?$/ && hex(arg[i]) < at[i]) { from = hex(arg[i]); to = at[i] }
            if (!to) { print "none"; exit }
            for (i = 1; i <= n; i++) if (at[i] >= from && at[i] <= to) {
                if (op[i] == "ldr" && arg[i] ~ /\[sp/) ld = 1
                if (op[i] == "str" && arg[i] ~ /\[sp/) st = 1
                if (op[i] == "nop") nop = 1
            }
            print (ld ? "load " : "") (st ? "store " : "") (nop ? "nop" : "")
        }')
    check_eq "$f loop body" "load store nop" "$loop"
    unset start size
done

# ---- instruction sets: bit 0 of a function symbol marks Thumb code ----
thumb_bit() { echo $(( $1 & 1 )); }
for f in _startup InitReset IRQ_Handler_Entry exit AT91F_LowLevelInit \
         AT91F_Default_FIQ_handler AT91F_Default_IRQ_handler AT91F_Spurious_handler; do
    v=$(sym "$f")
    if [ -z "$v" ]; then fail "$f is missing"; continue; fi
    [ "$(thumb_bit "$v")" = 0 ] || fail "$f must be ARM code, its symbol is $v"
done
for f in main 'ISR_PIO_handler()' 'init_hardware()'; do
    v=$(cxx_sym "$f")
    if [ -z "$v" ]; then fail "$f is missing"; continue; fi
    [ "$(thumb_bit "$v")" = 1 ] || fail "$f must be Thumb code, its symbol is $v"
done

# The reset path enters main through BX with bit 0 set and returns to exit in ARM state.
main=$(cxx_sym main)
exit_addr=$(sym exit)
literals=$(arm-none-eabi-objdump -d --start-address="$irq_entry" --stop-address=$((0x00100000 + 0x200)) "$elf" |
    awk '/\.word/ { print "0x" $2 }')
grep -qx "$(printf '0x%08x' "$main")" <<<"$literals" ||
    fail "no literal of the start-up holds main's Thumb address $main"
grep -qx "$(printf '0x%08x' "$exit_addr")" <<<"$literals" ||
    fail "no literal of the start-up holds exit's ARM address $exit_addr"

# ---- data bounds and variables ----
etext=$(sym _etext); data=$(sym _data); edata=$(sym _edata)
bss_start=$(sym __bss_start__); bss_end=$(sym __bss_end__)
check_eq "_data" 0x00200000 "$data"
check_eq "__bss_start__" "$edata" "$bss_start"
for b in "$etext" "$data" "$edata" "$bss_start" "$bss_end"; do
    [ $(( b % 4 )) = 0 ] || fail "data bound $b is not word-aligned"
done
for v in demo_bukle text; do
    a=$(sym "$v")
    if [ -z "$a" ]; then fail "$v is missing"; continue; fi
    (( a >= bss_start && a < bss_end )) || fail "$v at $a is not in the zeroed data [$bss_start, $bss_end)"
done
check_eq "size of text" 21 "$(awk '$8 == "text" { print $3; exit }' <<<"$symbols")"
data_lma=$(arm-none-eabi-objdump -h "$elf" | awk '$2 == ".data" && $3 != "00000000" { print "0x" $5 }')
[ -z "$data_lma" ] || check_eq "flash copy of the initialised data at _etext" $((etext)) $((data_lma))

# ---- nothing outside flash and RAM ----
while read -r name addr size; do
    a=$((0x$addr)); s=$((0x$size)); e=$((a + s))
    if (( s == 0 )); then continue; fi
    if ! (( (a >= FLASH_START && e <= FLASH_END) || (a >= RAM_START && e <= RAM_END) )); then
        fail "section $name [$addr, +$size) lies outside flash and RAM"
    fi
done < <(arm-none-eabi-readelf -SW "$elf" | awk '/^ *\[ *[0-9]+\]/ { sub(/^ *\[ *[0-9]+\] */, ""); if ($6 ~ /A/) print $1, $3, $5 }')
while read -r type off vaddr paddr filesz memsz rest; do
    for pair in "$vaddr $memsz" "$paddr $filesz"; do
        set -- $pair; a=$(($1)); e=$(($1 + $2))
        (( (a >= FLASH_START && e <= FLASH_END) || (a >= RAM_START && e <= RAM_END) )) ||
            fail "segment at $1 size $2 lies outside flash and RAM"
    done
done < <(arm-none-eabi-readelf -lW "$elf" | awk '$1 == "LOAD"')

# ---- raw binary and HEX: the flash contents from 0x00100000 ----
bin_size=$(stat -c %s "$fw/program.bin")
check_eq "program.bin size (code, constants and initialised data)" \
    $(( etext - FLASH_START + edata - data )) "$bin_size"
check_eq "first word of program.bin (branch to InitReset)" "$(arm-none-eabi-objdump -d --start-address=0x100000 --stop-address=0x100004 "$elf" | awk '/100000:/ { print $2 }')" "$(word_at $FLASH_START)"
hex_as_bin=$(mktemp); trap 'rm -f "$hex_as_bin"' EXIT
arm-none-eabi-objcopy -I ihex -O binary "$fw/program.hex" "$hex_as_bin"
cmp -s "$hex_as_bin" "$fw/program.bin" || fail "program.hex and program.bin hold different flash contents"
grep -q '^:020000040010EA' "$fw/program.hex" || fail "program.hex does not start its records at 0x0010xxxx"

# ---- map ----
grep -q '_startup' "$fw/program.map" || fail "program.map does not list _startup"

# ---- the stand-alone bring-up object ----
lowinit=$fw/lowinit.o
check_eq "lowinit.o type" REL "$(arm-none-eabi-readelf -h "$lowinit" | awk '/Type:/ { print $2 }')"
lsyms=$(arm-none-eabi-readelf -sW "$lowinit")
for h in AT91F_Default_FIQ_handler AT91F_Default_IRQ_handler AT91F_Spurious_handler; do
    awk -v n="$h" '$8 == n && $7 == "UND" { found = 1 } END { exit !found }' <<<"$lsyms" ||
        fail "lowinit.o does not refer to $h as an undefined symbol"
done
awk '$8 == "AT91F_LowLevelInit" && $4 == "FUNC" && $5 == "GLOBAL" && $7 != "UND" && $2 ~ /[02468ace]$/ { found = 1 } END { exit !found }' <<<"$lsyms" ||
    fail "lowinit.o does not define AT91F_LowLevelInit as a global ARM function"
undefined=$(awk '$7 == "UND" && $8 != "" { print $8 }' <<<"$lsyms" | sort | tr '\n' ' ')
check_eq "lowinit.o undefined symbols" "AT91F_Default_FIQ_handler AT91F_Default_IRQ_handler AT91F_Spurious_handler " "$undefined"

# ---- the drivers' whole interface is in the image, called or not ----
defined=$(arm-none-eabi-nm -C --defined-only "$elf" | sed -E 's/^[0-9a-f]+ [A-Za-z] //; s/\(.*//')
for f in SROM_ReadStatus SROM_EWSR SROM_WRSR SROM_WREN SROM_WRDI SROM_Read_ID SROM_Jedec_ID_Read \
         SROM_Read2 SROM_Read SROM_Read_Cont SROM_HighSpeed_Read SROM_HighSpeed_Read_Cont \
         SROM_Byte_Program SROM_Auto_Add_IncA SROM_Auto_Add_IncB SROM_DP SROM_RDP SROM_Chip_Erase \
         SROM_Sector_Erase SROM_Block_Erase_32K SROM_Block_Erase_64K SROM_Wait_Busy SROM_Wait_Busy_AAI \
         SROM_WREN_Check SROM_WREN_AAI_Check \
         SPI_Init SPI_MasterTransmit SPI_TrasmitBuffer SPI_ReadBuffer \
         lcd_init lcd_gotoxy lcd_getxy lcd_clrscr lcd_home lcd_putc lcd_puts lcd_CustChar lcd_data \
         PutChar PutString PutUnsignedInt PutSignedInt PutHexa vsnprintf snprintf vsprintf; do
    grep -qx "$f" <<<"$defined" || fail "$f is not in the image"
done

if (( failures )); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "image checks passed"
