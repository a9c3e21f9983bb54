#!/usr/bin/env bash
# The core library and its unit, integration, fault-injection, defect-file
# and fuzz-replay tests built as 32-bit Linux programs (preset linux32: -m32,
# Debian's i386 libtiff and GoogleTest), so that size and offset arithmetic
# is tested with a 32-bit size_t and pointers. This kernel refuses to run
# 32-bit programs, so CTest runs each through qemu-i386-static. The CLI is
# not built: its tests start the program as a child process, which the
# kernel would refuse. The fault-injection tests (label faults) are left
# out: they wrap pwrite, ftruncate, openat... with ld --wrap, but a 32-bit
# build with 64-bit file offsets calls pwrite64, ftruncate64, openat64, so
# no fault is injected there; they run in the native stages. Extra
# arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build checks linux32
cmake --preset linux32
cmake --build --preset linux32 -j2
ctest --preset linux32 -j2 -LE faults "$@"
