#!/usr/bin/env bash
# The real image's peripheral accesses from reset, as the simulated board
# records them: what the compiler made of the bring-up, the board set-up, the
# start of the display and the first serial flash read, access by access
# (register, direction, value, order, count). Poll loops count as one access.
# Usage: boot_trace.test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
elf=$build/firmware/program.elf
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Until the display shows the first pass of the status loop, after its flash read.
printf '%s\n' "name: first pass" "steps:" '  - wait-lcd: { row: 2, text: "ADR:01=", timeout: 5s }' >"$work/first.yaml"
"$build/bin/boardsim" --scenario "$work/first.yaml" --trace mmio --trace-file "$work/mmio.txt" "$elf" >/dev/null

# One line per access: pc, direction, register, value.
awk '$2 == "mmio" { sub(/^pc=/, "", $3); print $3, $4, $5, $6 }' "$work/mmio.txt" >"$work/accesses"
[ -s "$work/accesses" ] || { echo "FAIL: no accesses traced" >&2; exit 1; }

# Reads of one register from one instruction in a row are one poll; reads are
# compared without their values, which come from the models.
normalise() {
    awk '$2 == "R" { key = $1 " " $3; if (key == last) next; last = key; print "R " $3; next }
         { last = ""; print $2, $3, $4 }'
}

sym() { arm-none-eabi-nm "$elf" | awk -v n="$1" '$3 == n { print $1; exit }'; }
fiq=$(sym AT91F_Default_FIQ_handler); irq=$(sym AT91F_Default_IRQ_handler); spu=$(sym AT91F_Spurious_handler)

# ---- from reset to the first status read of the display ----
{
    cat <<EOF
W MC.MC_FMR 00300100
W PMC.PMC_MOR 00004001
R PMC.PMC_SR
W PMC.PMC_PLLR 1048280e
R PMC.PMC_SR
R PMC.PMC_SR
W PMC.PMC_MCKR 00000004
R PMC.PMC_SR
R PMC.PMC_MCKR
W PMC.PMC_MCKR 00000007
R PMC.PMC_SR
W WDTC.WDTC_WDMR 00008000
W AIC.AIC_IDCR ffffffff
W AIC.AIC_ICCR ffffffff
W AIC.AIC_SVR[0] $fiq
EOF
    for n in $(seq 1 30); do echo "W AIC.AIC_SVR[$n] $irq"; done
    cat <<EOF
W AIC.AIC_SPU $spu
W WDTC.WDTC_WDMR 00008000
W PMC.PMC_PCER 00000024
W PIOA.PIO_SODR 00000800
W PIOA.PIO_PER 00010800
W PIOA.PIO_OER 00010800
W PIOA.PIO_OWDR fffeffff
W PIOA.PIO_OWER 00010000
R PIOA.PIO_OWSR
W PIOA.PIO_PER 00fe0000
W PIOA.PIO_OER 00fe0000
W PIOA.PIO_OWDR ff0fffff
W PIOA.PIO_OWER 00f00000
W PIOA.PIO_CODR 000e0000
W PIOA.PIO_ODSR 00f00000
W PIOA.PIO_ODSR 00300000
W PIOA.PIO_SODR 00080000
W PIOA.PIO_CODR 00080000
W PIOA.PIO_SODR 00080000
W PIOA.PIO_CODR 00080000
W PIOA.PIO_SODR 00080000
W PIOA.PIO_CODR 00080000
W PIOA.PIO_ODSR 00200000
W PIOA.PIO_SODR 00080000
W PIOA.PIO_CODR 00080000
W PIOA.PIO_PER 000e0000
W PIOA.PIO_OER 000e0000
W PIOA.PIO_ODR 00f00000
W PIOA.PIO_PER 00f00000
W PIOA.PIO_PPUER 00f00000
W PIOA.PIO_CODR 00020000
W PIOA.PIO_SODR 00040000
W PIOA.PIO_SODR 00080000
R PIOA.PIO_PDSR
W PIOA.PIO_CODR 00080000
W PIOA.PIO_SODR 00080000
R PIOA.PIO_PDSR
W PIOA.PIO_CODR 00080000
EOF
} >"$work/boot.expected"
normalise <"$work/accesses" | awk -v n="$(wc -l <"$work/boot.expected")" 'NR <= n' >"$work/boot.actual"
if ! cmp -s "$work/boot.expected" "$work/boot.actual"; then
    fail "accesses from reset to the first display status read"
    diff "$work/boot.expected" "$work/boot.actual" >&2 || true
fi

# ---- every status sample of the display is taken while E is high ----
read -r start size < <(arm-none-eabi-nm -SC "$elf" | awk '$4 == "lcd_read(unsigned" { print $1, $2; exit }')
[ -n "${start:-}" ] || { echo "FAIL: no lcd_read in the image" >&2; exit 1; }
bad=$(awk -v start=$((16#$start)) -v end=$((16#$start + 16#$size)) '
    function hex(s,    v, i) { s = tolower(s); v = 0
        for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
        return v }
    $3 == "PIOA.PIO_SODR" && int(hex($4) / 524288) % 2 == 1 { e = 1 }
    $3 == "PIOA.PIO_CODR" && int(hex($4) / 524288) % 2 == 1 { e = 0 }
    $2 == "R" && $3 == "PIOA.PIO_PDSR" { pc = hex($1); if (pc >= start && pc < end) { reads++; if (!e) low++ } }
    END { print reads + 0, low + 0 }' "$work/accesses")
read -r reads low <<<"$bad"
(( reads > 100 )) || fail "only $reads display status samples traced"
(( low == 0 )) || fail "$low of $reads display status samples taken with E low"

# ---- the first serial flash read: one low period of FLASH_CS ----
awk '$2 == "W" && $3 == "PIOA.PIO_CODR" && $4 == "00000800" { on = 1; next }
     on && $2 == "W" && $3 == "PIOA.PIO_SODR" && $4 == "00000800" { print; exit }
     on' "$work/accesses" | normalise |
    sed -E 's/^(W SPI\.PDC_[RT]PR) [0-9a-f]{8}$/\1 BUFFER/' >"$work/read.actual"
cat >"$work/read.expected" <<'EOF'
R SPI.SPI_SR
R SPI.PDC_RCR
W SPI.PDC_RPR BUFFER
W SPI.PDC_RCR 00000005
W SPI.PDC_RNPR 00000000
W SPI.PDC_RNCR 00000000
R SPI.SPI_SR
R SPI.SPI_MR
W SPI.SPI_MR 00000011
R SPI.SPI_MR
W SPI.SPI_MR 00000011
R SPI.PDC_TCR
W SPI.PDC_TPR BUFFER
W SPI.PDC_TCR 00000005
W SPI.PDC_TNPR 00000000
W SPI.PDC_TNCR 00000000
R SPI.PDC_TCR
R SPI.SPI_SR
R SPI.PDC_RCR
W PIOA.PIO_SODR 00000800
EOF
if ! cmp -s "$work/read.expected" "$work/read.actual"; then
    fail "accesses of the first serial flash read"
    diff "$work/read.expected" "$work/read.actual" >&2 || true
fi

if (( failures )); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "boot trace checks passed"
