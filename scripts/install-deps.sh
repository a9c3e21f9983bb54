#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those that are missing.
#   scripts/install-deps.sh build   compiler, CMake, Ninja, CLI11
#   scripts/install-deps.sh test    the above, plus GoogleTest, libtiff, clang
#                                   (sanitizers, fuzzing), mingw-w64 and Wine
set -euo pipefail

build_packages=(g++ cmake ninja-build libcli11-dev)
test_packages=("${build_packages[@]}" libgtest-dev libtiff-dev libtiff-tools time
  clang libclang-rt-14-dev mingw-w64 wine wine64 wine64-tools)

case "${1:-build}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${test_packages[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
