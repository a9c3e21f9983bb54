#!/usr/bin/env bash
# Builds vellox and merges the bundled sample TIFFs into build/demo/merged.tif.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release --target vellox_cli
mkdir -p build/demo
# Copies, so that the samples themselves are never touched.
cp samples/*.tif build/demo/
inputs=()
for sample in samples/*.tif; do inputs+=("build/demo/$(basename "$sample")"); done
build/release/cli/vellox merge -o build/demo/merged.tif "${inputs[@]}"
