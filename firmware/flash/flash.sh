#!/usr/bin/env bash
# Writes the firmware image to a board through a JTAG adapter with OpenOCD,
# makes the chip boot from flash, verifies and starts the firmware.
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

# GPNVM bit 2 selects booting from flash instead of the boot ROM; it is kept
# through erases, so setting it again is harmless.
exec "$openocd" -f "$interface" -f "$here/at91sam7s256.cfg" \
    -c "init" \
    -c "reset init" \
    -c "at91sam7 gpnvm 2 set" \
    -c "program {$image} verify" \
    -c "reset run" \
    -c "shutdown"
