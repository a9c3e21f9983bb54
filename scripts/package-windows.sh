#!/usr/bin/env bash
# Builds the Windows release package in one go: the windows-x64 and
# windows-x86 presets (KWVellox.dll and vellox.exe for each), then the ZIP
# build/windows-package/vellox-<version>-windows.zip with CPack (layout in
# packaging/windows/CMakeLists.txt). Installs the Debian packages it needs.
#   scripts/package-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build windows
for preset in windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done
cmake -S packaging/windows -B build/windows-package \
  -DVELLOX_X64_BUILD=build/windows-x64 -DVELLOX_X86_BUILD=build/windows-x86 >/dev/null
(cd build/windows-package && cpack -G ZIP >/dev/null)
zip=$(ls build/windows-package/vellox-*-windows.zip)
echo "built $zip ($(du -k "$zip" | cut -f1) KB)"
