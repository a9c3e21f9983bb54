#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those that are missing, and
# says what it installs and why. apt's own output goes to build/logs/install.log.
#
#   scripts/install-deps.sh build   what the library and the vellox CLI need
#   scripts/install-deps.sh test    everything scripts/test.sh needs
#   scripts/install-deps.sh GROUP...  some of the groups below
set -euo pipefail
cd "$(dirname "$0")/.."

# Each group: its packages, then why they are needed.
declare -A packages why
packages[build]="g++ cmake ninja-build libcli11-dev nlohmann-json3-dev zlib1g-dev"
why[build]="compiler, CMake, Ninja, CLI11, nlohmann-json and zlib: the library (zlib for transcoding Deflate pages) and the vellox CLI (CLI11 and nlohmann-json)"
packages[checks]="libgtest-dev libtiff-dev libtiff-tools libimage-exiftool-perl time xfsprogs btrfs-progs"
why[checks]="GoogleTest; libtiff as the independent TIFF reader and writer of the tests; exiftool, which validates merged outputs; XFS and btrfs tools for the cloning tests"
packages[clang]="clang libclang-rt-14-dev"
why[clang]="clang and libFuzzer: the fuzzing stage"
packages[windows]="mingw-w64 libz-mingw-w64-dev wine wine64 wine64-tools"
why[windows]="the mingw-w64 cross compiler, zlib for it (linked in statically) and Wine: the Windows COM server and its tests"
packages[linux32]="g++-multilib qemu-user-static zlib1g-dev:i386 libtiff-dev:i386 libgtest-dev:i386"
why[linux32]="32-bit GCC, qemu-user and the i386 zlib, libtiff and GoogleTest: the core tests as 32-bit programs"
packages[package]="dpkg-dev lintian man-db pkgconf"
why[package]="Debian packaging tools, lintian, man and pkg-config: the package stage"
packages[python]="pybind11-dev python3-dev python3-venv python3-pip python3-setuptools python3-wheel python3-pytest python3-distributed python3-tifffile"
why[python]="pybind11, Python headers, venv, pip, setuptools and wheel, pytest, Dask distributed and tifffile: the Python package, its tests (tifffile maps merged pages) and the Dask example"
packages[coverage]="gcovr"
why[coverage]="gcovr: the coverage report of scripts/coverage.sh"

# "test" stands for every group the tests use; otherwise each argument is a group.
case "$*" in
  "") groups=(build) ;;
  test) groups=(build checks clang windows linux32 package python) ;;
  *) groups=("$@") ;;
esac

mkdir -p build/logs
log=build/logs/install.log
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
updated=false
for group in "${groups[@]}"; do
  [ -n "${packages[$group]:-}" ] || { echo "usage: $0 build|test|GROUP... (groups: ${!packages[*]})" >&2; exit 2; }
  if [ "$group" = linux32 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding Debian's i386 architecture (for the 32-bit libraries of the linux32 stage)"
    "${sudo[@]}" dpkg --add-architecture i386
    updated=false  # the package lists must be read again, with i386
  fi
  missing=()
  for package in ${packages[$group]}; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && continue
  if ! $updated; then
    echo "updating the list of Debian packages (apt-get update; apt's output in $log)"
    "${sudo[@]}" apt-get update >>"$log" 2>&1 || { tail -20 "$log" >&2; exit 1; }
    updated=true
  fi
  echo "installing ${missing[*]}"
  echo "  for: ${why[$group]}"
  start=$SECONDS
  mark=$(wc -l <"$log")
  if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
      "${missing[@]}" >>"$log" 2>&1; then
    echo "apt-get install failed; the end of $log:" >&2
    tail -20 "$log" >&2
    exit 1
  fi
  # apt's "Need to get 45.2 MB of archives." and "After this operation, 180 MB
  # of additional disk space will be used."
  sizes=$(tail -n +$((mark + 1)) "$log" | sed -n -e 's/^Need to get \([^ ]* [kMG]*B\).*/\1 downloaded/p' \
    -e 's/^After this operation, \([^ ]* [kMG]*B\) of additional.*/\1 on disk/p' | paste -sd';' - | sed 's/;/, /g')
  echo "  done in $((SECONDS - start)) s${sizes:+ ($sizes)}"
done
