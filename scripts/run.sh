#!/usr/bin/env bash
# Builds the firmware and the simulator (not the tests) and runs the firmware
# on the simulated board. Extra arguments go to the simulator (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target boardsim
exec ./build/bin/boardsim "$@"
