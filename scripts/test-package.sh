#!/usr/bin/env bash
# Checks Vellox as another project and a Debian user get it:
#  1. builds the `package` preset (build/package: the release build with
#     warnings as errors, so it stays warning-free) and installs it into a
#     scratch prefix with `cmake --install`;
#  2. builds packaging/consumer three ways: find_package(vellox CONFIG)
#     against that prefix, pkg-config against it, and add_subdirectory of
#     this source tree (which must not look up GTest, CLI11 or libtiff);
#  3. merges the samples with each consumer (vellox::Merge, then
#     vellox::MergeMany over two requests) and with the installed `vellox`
#     CLI: all ten outputs must be the same bytes;
#  4. makes the Debian package with CPack and runs lintian on it (any error
#     or warning fails);
#  5. with --install-deb (as root or through sudo, only when no vellox
#     package is installed): apt-get installs the .deb, runs `vellox
#     --version` and `man vellox`, purges it and checks that none of its
#     files is left.
# Debian packages: those of `scripts/install-deps.sh build package`.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
BUILD=$ROOT/build/package
WORK=$BUILD/check
install_deb=false
[ "${1:-}" = --install-deb ] && install_deb=true

step() { echo "== $*"; }

step "build (preset package)"
cmake --preset package >/dev/null
cmake --build --preset package
rm -rf "$WORK"
mkdir -p "$WORK/inputs"
cmake --install "$BUILD" --prefix "$WORK/prefix"

version=$("$WORK/prefix/bin/vellox" --version)
pc=$(find "$WORK/prefix" -name vellox.pc)
step "consumer builds against vellox $version"
cmake -S packaging/consumer -B "$WORK/find-package" -G Ninja -DCMAKE_PREFIX_PATH="$WORK/prefix" >/dev/null
cmake --build "$WORK/find-package"
cmake -S packaging/consumer -B "$WORK/add-subdirectory" -G Ninja -DVELLOX_SOURCE_DIR="$ROOT" >/dev/null
cmake --build "$WORK/add-subdirectory"
mkdir -p "$WORK/pkg-config"
# The .pc names /usr (the package's prefix); the scratch prefix replaces it.
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --define-variable=prefix="$WORK/prefix" --cflags --libs vellox)
echo "pkg-config --cflags --libs vellox: $flags"
# shellcheck disable=SC2086 # the flags are words
g++ -std=c++20 packaging/consumer/main.cpp $flags -o "$WORK/pkg-config/vellox_consumer"

step "the manual page names every command and option of the CLI"
cli=$WORK/prefix/bin/vellox
page=$(gzip -dc "$WORK/prefix/share/man/man1/vellox.1.gz" | sed 's/\\-/-/g')
commands=$("$cli" --help | awk '/^Subcommands:/ {on = 1; next} on && /^  [a-z]/ {print $1}')
options=$(for command in "" $commands; do "$cli" $command --help; done | grep -aoE -- '--[a-z][a-z-]*' | sort -u)
for word in $commands $options; do
  grep -qF -- "$word" <<<"$page" || { echo "vellox.1 does not mention $word" >&2; exit 1; }
done
echo "$(wc -w <<<"$commands $options") commands and options"

step "merge the samples with each consumer and the CLI"
merge_copies() {  # merge_copies NAME COMMAND...: merges fresh copies of the samples into $WORK/NAME.tif
  local name=$1 inputs=()
  shift
  rm -rf "$WORK/inputs" && mkdir -p "$WORK/inputs"
  cp samples/*.tif "$WORK/inputs/"
  for sample in samples/*.tif; do inputs+=("$WORK/inputs/$(basename "$sample")"); done
  "$@" "${inputs[@]}"
}
merge_copies cli "$WORK/prefix/bin/vellox" merge -o "$WORK/cli.tif" >/dev/null
for consumer in find-package pkg-config add-subdirectory; do
  echo -n "$consumer: "
  merge_copies "$consumer" "$WORK/$consumer/vellox_consumer" "$WORK/$consumer.tif"
  for output in "$WORK/$consumer.tif" "$WORK/$consumer.tif".{1,2}.tif; do cmp "$WORK/cli.tif" "$output"; done
done

step "Debian package"
rm -rf "$BUILD/packages"
cpack --preset deb >/dev/null
deb=$(ls "$BUILD"/packages/vellox_*.deb)
echo "$deb"
lintian --fail-on error,warning "$deb"

if $install_deb; then
  step "install, use and remove $(basename "$deb")"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo -n)
  if dpkg-query -W -f='${Status}' vellox 2>/dev/null | grep -q "installed"; then
    echo "a vellox package is installed already; not replacing it" >&2
    exit 1
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >/dev/null
  [ "$(vellox --version)" = "$version" ] || { echo "installed vellox --version says $(vellox --version)" >&2; exit 1; }
  man -P cat vellox 2>&1 | grep -q "merge TIFF files into one multi" || {
    echo "man vellox does not show the manual page" >&2
    exit 1
  }
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}')
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y vellox >/dev/null
  for file in $files; do
    [ ! -e "$file" ] || { echo "left behind after removal: $file" >&2; exit 1; }
  done
  echo "installed with apt-get, vellox --version and man vellox work, purged without leftovers"
fi
echo "package checks passed: cmake --install, 3 consumers (find_package, pkg-config, add_subdirectory) merge the samples like the CLI, $(basename "$deb") is lintian-clean"
