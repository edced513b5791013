#!/usr/bin/env bash
# Installs the Debian packages this tree needs, only those that are missing.
# Silent when everything is present; runs apt-get (as root, or through sudo) otherwise.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang pkgconf
  gcc-arm-none-eabi binutils-arm-none-eabi
  libgtest-dev
  libunicorn-dev libcapstone-dev libyaml-cpp-dev libelf-dev libdw-dev libcli11-dev
  libpng-dev libncurses-dev libxbyak-dev
  gdb-multiarch sigrok-cli lcov valgrind time
  openocd bossa-cli
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO=sudo; else
    echo "setup: these packages are missing and I am not root: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get update -qq; then
  echo "setup: apt-get update failed; cannot install ${missing[*]}" >&2
  exit 1
fi
if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  echo "setup: apt-get could not install: ${missing[*]}" >&2
  exit 1
fi
