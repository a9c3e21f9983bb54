#!/usr/bin/env bash
# Builds the library and its tests with gcov instrumentation (preset
# `coverage`, build/coverage), runs the native test suite and prints the line
# and branch coverage of src/ per file (gcovr, Debian package gcovr).
#
#   scripts/coverage.sh [extra ctest arguments, e.g. -L faults]
set -euo pipefail
cd "$(dirname "$0")/.."
command -v gcovr >/dev/null || scripts/install-deps.sh coverage
cmake --preset coverage >/dev/null
cmake --build --preset coverage >/dev/null
find build/coverage -name '*.gcda' -delete
ctest --test-dir build/coverage -j2 --output-on-failure "$@" >build/coverage/ctest.log || {
  tail -50 build/coverage/ctest.log
  exit 1
}
filters=(-r . --filter 'src/' --exclude 'src/platform/.*_win32.cpp')
gcovr "${filters[@]}" build/coverage
gcovr "${filters[@]}" --branches --exclude-unreachable-branches --exclude-throw-branches build/coverage
