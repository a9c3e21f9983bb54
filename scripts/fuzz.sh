#!/usr/bin/env bash
# Bounded fuzzing: builds the `fuzz` preset (clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs every fuzz target in turn, each
# from the seed corpus (tests/fuzz/corpus) and the defect files
# (tests/crashers), for its share of the time. Fails when a target crashes,
# hangs, leaks or runs out of memory; the input that did it is kept in the
# artifacts folder printed at the end; add it to tests/crashers with a line
# in tests/crashers/manifest.txt once the fault is fixed.
#
#   scripts/fuzz.sh [SECONDS]     total time for all targets (default 120)
#
# Environment: FUZZ_BUILD_DIR (default build/fuzz), FUZZ_WORK_DIR (default: a
# fresh temporary folder; the grown corpora and artifacts live there).
# Debian packages: clang libclang-rt-14-dev (or the clang version's
# libclang-rt-N-dev), cmake, ninja-build.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TOTAL=${1:-120}
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build/fuzz}
WORK=${FUZZ_WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/vellox-fuzz-run-XXXXXX")}
TARGETS=(fuzz_merge_one fuzz_merge_two)

install_missing() {
  local missing=()
  command -v clang++ >/dev/null || missing+=(clang)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  # libFuzzer's runtime ships in the compiler-rt package of the installed clang.
  if command -v clang++ >/dev/null && [[ ! -f $(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null) ]] &&
     ! ls "$(clang++ -print-resource-dir 2>/dev/null)"/lib/*/libclang_rt.fuzzer* >/dev/null 2>&1; then
    missing+=("libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev")
  fi
  if [[ ${#missing[@]} -gt 0 ]]; then
    if [[ $(id -u) -ne 0 ]]; then
      echo "missing Debian packages: ${missing[*]}" >&2
      exit 1
    fi
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

install_missing
cmake --preset fuzz -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target "${TARGETS[@]}"

per=$((TOTAL / ${#TARGETS[@]}))
((per < 5)) && per=5
mkdir -p "$WORK/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
for target in "${TARGETS[@]}"; do
  corpus=$WORK/corpus-$target
  mkdir -p "$corpus"
  cp "$ROOT"/tests/fuzz/corpus/* "$corpus"/
  find "$ROOT/tests/crashers" -maxdepth 1 -type f ! -name '*.txt' ! -name '*.cpp' -exec cp {} "$corpus"/ \;
  echo "== $target: ${per}s" >&2
  # -malloc_limit_mb and -rss_limit_mb catch unbounded allocation: no input of
  # at most 64 KiB has a reason to make the merge hold hundreds of MiB.
  if ! "$BUILD/tests/fuzz/$target" "$corpus" \
      -dict="$ROOT/tests/fuzz/tiff.dict" -max_total_time="$per" -max_len=65536 -timeout=20 \
      -rss_limit_mb=1024 -malloc_limit_mb=256 -artifact_prefix="$WORK/artifacts/$target-" \
      -print_final_stats=1 2>"$WORK/$target.log"; then
    status=1
    echo "$target FAILED; last lines of $WORK/$target.log:" >&2
    tail -40 "$WORK/$target.log" >&2
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$WORK/$target.log" >&2 || true
  fi
done
if [[ $status -ne 0 ]]; then
  echo "fuzzing found failures; inputs in $WORK/artifacts:" >&2
  ls -la "$WORK/artifacts" >&2
else
  echo "fuzzing passed: ${#TARGETS[@]} targets, ${per}s each (work folder $WORK)" >&2
  [[ -z ${FUZZ_WORK_DIR:-} ]] && rm -rf "$WORK"
fi
exit $status
