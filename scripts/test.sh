#!/usr/bin/env bash
# Builds the firmware and the host side from scratch if needed, then runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
