#!/usr/bin/env bash
# Writes the firmware image to a board through a JTAG adapter with OpenOCD:
# resets and halts the chip, brings its clocks up, unlocks the flash, writes
# and verifies the image and starts it.
#
# Usage: flash.sh [IMAGE.elf]
#   OPENOCD_INTERFACE  the adapter's OpenOCD configuration (required), e.g. interface/jlink.cfg
#   OPENOCD            the openocd program (default: openocd from PATH)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
image=${1:-$here/../../build/firmware/program.elf}
interface=${OPENOCD_INTERFACE:-}
openocd=${OPENOCD:-openocd}

if [ ! -s "$image" ]; then
    echo "flash: no image at $image (build first: cmake --build build)" >&2
    exit 1
fi
if [ -z "$interface" ]; then
    echo "flash: set OPENOCD_INTERFACE to your adapter's OpenOCD configuration, e.g. interface/jlink.cfg" >&2
    exit 1
fi
if ! command -v "$openocd" >/dev/null; then
    echo "flash: $openocd not found (Debian: apt-get install openocd)" >&2
    exit 1
fi

# The chip always boots from flash; there is no boot-select bit to set (its
# two GPNVM bits control the brown-out detector). The TST procedure leaves the
# boot program in the first two lock regions, locked: a write over them fails
# unless every region is unlocked first. OpenOCD stops at the first command
# that fails, so nothing is started after a failed write or verify. A
# one-shot run needs none of OpenOCD's servers (nor their ports).
exec "$openocd" -f "$interface" -f "$here/at91sam7s256.cfg" \
    -c "gdb_port disabled" -c "telnet_port disabled" -c "tcl_port disabled" \
    -c "init" \
    -c "reset init" \
    -c "flash protect 0 0 last off" \
    -c "flash write_image erase {$image}" \
    -c "verify_image {$image}" \
    -c "reset run" \
    -c "shutdown"
