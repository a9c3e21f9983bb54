#!/usr/bin/env bash
# Builds the Windows COM server KWVellox.dll with mingw-w64 (configure and
# build preset "windows", in build/windows) and runs its tests under Wine.
# Extra arguments go to ctest, e.g. scripts/test-windows.sh -R vbscript -V
set -euo pipefail
cd "$(dirname "$0")/.."

# The cross toolchain and Wine, libtiff's tools for making and checking
# TIFFs, and what the native command-line tool (the reference for byte
# comparisons) needs to build.
packages=(mingw-w64 wine wine64 wine64-tools libtiff-tools cmake ninja-build g++ libcli11-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

cmake --preset windows
cmake --build --preset windows -j2
ctest --preset windows "$@"
