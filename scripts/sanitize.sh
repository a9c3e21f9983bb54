#!/usr/bin/env bash
# Runs the whole test suite once more under AddressSanitizer and
# UndefinedBehaviorSanitizer (-fno-sanitize-recover=all: the first report
# fails the test): configures the `asan` preset into build/asan, builds it
# and runs ctest there.
#
#   scripts/sanitize.sh [extra ctest arguments, e.g. -L crashers]
#
# Environment: ASAN_BUILD_DIR (default build/asan).
# Debian packages: g++ (its libasan and libubsan), cmake, ninja-build,
# libgtest-dev, libcli11-dev.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ASAN_BUILD_DIR:-$ROOT/build/asan}

cd "$ROOT"
cmake --preset asan -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2
# libtiff (the tests' independent reader and writer, not built here) keeps
# some allocations of custom directories alive; its leaks are not ours.
SUPPRESSIONS=$BUILD/lsan.supp
echo 'leak:libtiff.so' >"$SUPPRESSIONS"
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$SUPPRESSIONS:print_suppressions=0}
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
ctest --test-dir "$BUILD" --output-on-failure -j2 "$@"
