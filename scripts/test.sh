#!/usr/bin/env bash
# Builds the firmware and the host side from scratch if needed, then runs every test.
# The tests build in build-dev/ (the dev preset): the same sources as the
# boardsim that scripts/run.sh builds, without its link-time optimisation and
# profile run, which would double the build for no difference in behaviour.
# Extra arguments go to ctest (e.g. -L board, -R Pio).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev "$@"
