#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test:
# the native suite (warnings as errors), the same suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, bounded fuzzing, and the Windows COM server
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

echo "== native tests"
cmake --preset ci >/dev/null
cmake --build --preset ci
ctest --preset ci -j2

for step in sanitize fuzz test-windows; do
  if [ -x "scripts/$step.sh" ]; then
    echo "== $step"
    "scripts/$step.sh"
  fi
done
echo "== all tests passed"
