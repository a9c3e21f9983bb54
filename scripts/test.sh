#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test, stage
# by stage (times on 2 cores, packages already installed):
#   native      the test suite, optimised with assertions, warnings as errors
#               (preset ci, build/ci)                               ~3 min
#   python      the Python package: pip install, the wheel, pytest
#               (scripts/test-python.sh, build/python)              ~1 min
#   sanitizers  the same suite under AddressSanitizer and UndefinedBehavior-
#               Sanitizer (scripts/sanitize.sh, build/asan)         ~4 min
#   fuzz        bounded libFuzzer fuzzing (scripts/fuzz.sh)         ~3 min
#   windows     KWVellox.dll and vellox.exe cross-built with mingw-w64 for
#               x64 and x86, the release ZIP, the x64 tests under Wine
#               (scripts/test-windows.sh, build/windows-x64)        ~3 min
#   windows-x86 the x86 DLL and vellox.exe checked statically: PE32, exports,
#               imports, type library, version resource
#               (scripts/check-windows-x86.sh, build/windows-x86)   ~1 min
#   linux32     library, unit, integration and defect-file tests as 32-bit
#               programs under qemu-i386-static (scripts/test-linux32.sh,
#               build/linux32)                                      ~3 min
#   package     cmake --install, consumer projects, the .deb and lintian
#               (scripts/test-package.sh, build/package)            ~1 min
# Prints one line per stage; each stage's whole output goes to
# build/logs/STAGE.log, and for a failing stage the failing tests' output (or
# the build error) is printed too. Every stage runs even when one fails.
#
#   scripts/test.sh [STAGE...]     only these stages (default: all, in order)
#
# Environment: VELLOX_CHECK_DEB_INSTALL=1 makes the package stage also
# install the .deb with apt-get, use it and purge it (.ci/run sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(native python sanitizers fuzz windows windows-x86 linux32 package)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
for stage in "${stages[@]}"; do
  [[ " ${all_stages[*]} " == *" $stage "* ]] || { echo "usage: $0 [${all_stages[*]}]" >&2; exit 2; }
done

logs=build/logs
mkdir -p "$logs"
# The package groups of scripts/install-deps.sh each stage needs.
declare -A needs=([native]="build checks" [python]="build python" [sanitizers]="build checks" [fuzz]="build clang"
  [windows]="build checks windows" [windows-x86]="build windows" [linux32]="build checks linux32" [package]="build package")
groups=()
for stage in "${stages[@]}"; do
  # A stage not listed in `needs` gets everything the tests may need.
  for group in ${needs[$stage]:-test}; do
    [[ " ${groups[*]} " == *" $group "* ]] || groups+=("$group")
  done
done
[[ " ${groups[*]} " != *" test "* ]] || groups=(test)
echo "Installing the Debian packages the tests need (only those missing; about 5 min the first time)."
scripts/install-deps.sh "${groups[@]}"

describe() {
  case $1 in
    native) echo "building and running the test suite (about 3 min)" ;;
    python) echo "the Python package: install, wheel, pytest (about 1 min)" ;;
    sanitizers) echo "the test suite under AddressSanitizer and UBSan (about 4 min)" ;;
    fuzz) echo "building the fuzz targets and fuzzing for 2 min (about 3 min)" ;;
    windows) echo "Windows x64 and x86 builds, the ZIP, the x64 tests under Wine (about 3 min)" ;;
    windows-x86) echo "the x86 DLL and vellox.exe checked statically (about 1 min)" ;;
    linux32) echo "the core tests as 32-bit programs under qemu-user (about 3 min)" ;;
    package) echo "install, consumer projects, .deb and lintian (about 1 min)" ;;
  esac
}

run_stage() {
  case $1 in
    native) cmake --preset ci && cmake --build --preset ci && ctest --preset ci -j2 ;;
    python) scripts/test-python.sh ;;
    sanitizers) scripts/sanitize.sh ;;
    fuzz) scripts/fuzz.sh ;;
    windows) scripts/test-windows.sh ;;
    windows-x86)
      for preset in windows-x86 windows-x64; do
        cmake --preset "$preset" && cmake --build --preset "$preset" -j2 || return 1
      done
      scripts/check-windows-x86.sh ;;
    linux32) scripts/test-linux32.sh ;;
    package)
      if [ "${VELLOX_CHECK_DEB_INSTALL:-0}" = 1 ]; then
        scripts/test-package.sh --install-deb
      else
        scripts/test-package.sh
      fi
      ;;
  esac
}

# The build folders where a stage's ctest may leave its results, if any.
test_dirs() {
  case $1 in
    native) echo build/ci ;;
    sanitizers) echo "${ASAN_BUILD_DIR:-build/asan}" ;;
    windows) echo build/windows-x64 ;;
    linux32) echo build/linux32 ;;
  esac
}

# What a stage did, from its log: summarise STAGE LOG passed|FAILED.
summarise() {
  local counts failed total
  case $1 in
    fuzz)
      [ "$3" = passed ] || return 0
      awk '/^stat::number_of_executed_units:/ {runs += $2}
           /^fuzzing passed:/ {sub(/^fuzzing passed: /, ""); sub(/ \(work folder.*$/, ""); what = $0}
           END {printf "%s, %d runs, nothing found", what, runs}' "$2" ;;
    python)
      # pytest's closing line: "=== 31 passed, 1 failed in 12.34s ==="
      counts=$(grep -E '^=+ .*[0-9]+ (passed|failed).* in [0-9.]+s' "$2" | tail -1) || return 0
      failed=$(grep -Eo '[0-9]+ (failed|error)' <<<"$counts" | awk '{n += $1} END {print n + 0}')
      total=$(($(grep -Eo '[0-9]+ passed' <<<"$counts" | awk '{print $1}' || echo 0) + failed))
      if [ "$failed" = 0 ]; then echo "installed, wheel built, $total tests"; else echo "$failed of $total tests failed"; fi ;;
    windows-x86)
      grep -Eo '[0-9]+ passed, [0-9]+ failed' "$2" | tail -1 | awk '{print ($3 == 0 ? $1 " checks" : $3 " of " $1 + $3 " checks failed")}' ;;
    package)
      [ "$3" = passed ] || return 0
      echo "install, 3 consumers, .deb lintian-clean$(grep -q '^installed with apt-get' "$2" && echo ', installed and purged')" ;;
    *)
      counts=$(grep -Eo '[0-9]+ tests? failed out of [0-9]+' "$2" | tail -1) || return 0
      failed=${counts%% *} total=${counts##* }
      if [ "$failed" = 0 ]; then echo "$total tests"; else echo "$failed of $total tests failed"; fi ;;
  esac
}

# Prints what made a stage fail: the output of its failing tests, or else the
# build error, or else the end of its log.
show_failure() {
  local stage=$1 log=$2 dir temp=
  for dir in $(test_dirs "$stage"); do
    [ -s "$dir/Testing/Temporary/LastTestsFailed.log" ] && temp=$dir/Testing/Temporary
  done
  if [ -n "$temp" ]; then
    echo "  failed tests: $(cut -d: -f2- "$temp/LastTestsFailed.log" | paste -sd' ' -)"
    # Each test's block in ctest's log runs from "N/M Testing:" to its end time.
    awk '/^[0-9]+\/[0-9]+ Testing: / {block = ""; inside = 1}
         inside {block = block $0 "\n"}
         inside && /^"[^"]*" end time: / {if (block !~ /\nTest Passed\.\n/) printf "%s\n", block; inside = 0}' \
      "$temp/LastTest.log" | head -300 | sed 's/^/  | /' || true
  elif grep -q '^FAILED: ' "$log"; then
    sed -n '/^FAILED: /,$p' "$log" | head -60 | sed 's/^/  | /' || true
  else
    tail -40 "$log" | sed 's/^/  | /'
  fi
}

failed=()
total_start=$SECONDS
for stage in "${stages[@]}"; do
  log=$logs/$stage.log
  for dir in $(test_dirs "$stage"); do rm -f "$dir"/Testing/Temporary/LastTest*.log; done
  printf '%-11s %s ... ' "$stage" "$(describe "$stage")"
  start=$SECONDS
  if run_stage "$stage" >"$log" 2>&1; then
    status=passed
  else
    status=FAILED
    failed+=("$stage")
  fi
  elapsed=$((SECONDS - start))
  summary=$(summarise "$stage" "$log" "$status" || true)
  echo "$status${summary:+: $summary} ($((elapsed / 60)) min $((elapsed % 60)) s)"
  [ "$status" = passed ] || { show_failure "$stage" "$log"; echo "  whole output: $log"; }
done

elapsed=$((SECONDS - total_start))
if [ ${#failed[@]} -eq 0 ]; then
  echo "all stages passed in $((elapsed / 60)) min; logs in $logs/"
else
  echo "FAILED: ${failed[*]} (logs in $logs/)"
  exit 1
fi
