#!/usr/bin/env bash
# Builds vellox (preset release: library and CLI, no tests) and merges the
# bundled sample TIFFs into build/demo/merged.tif. Installs only what the
# build needs: g++, cmake, ninja-build, libcli11-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
echo "building vellox in build/release (about 1 min on 2 cores)"
cmake --preset release >/dev/null
cmake --build --preset release --target vellox_cli
mkdir -p build/demo
# Copies, so that the samples themselves are never touched.
cp samples/*.tif build/demo/
inputs=()
for sample in samples/*.tif; do inputs+=("build/demo/$(basename "$sample")"); done
echo "merging the samples: build/release/cli/vellox merge -o build/demo/merged.tif ${inputs[*]}"
build/release/cli/vellox merge -o build/demo/merged.tif "${inputs[@]}"
echo
echo "The merged file is $PWD/build/demo/merged.tif; what it holds, page by page:"
echo "build/release/cli/vellox info build/demo/merged.tif"
build/release/cli/vellox info build/demo/merged.tif
