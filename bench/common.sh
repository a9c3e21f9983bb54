# Shared by the bench scripts (sourced): the bench build and the workloads.
# Needs ROOT, BUILD, SCRATCH and SEED set by the caller.

# Builds release Vellox and the bench tools (generator, page verifier) in $BUILD.
build_bench_tools() {
  cmake --preset release -S "$ROOT" -B "$BUILD" -DVELLOX_BUILD_BENCH=ON -DVELLOX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target vellox_cli vellox_bench_gen vellox_bench_verify >/dev/null
}

# Generates workload $1 at height scale $2 (default 1) in $SCRATCH unless it
# already holds the same one: a stamp file records the generator's hash,
# the scale and the seed.
generate() {
  local dir=$SCRATCH/${1,,} scale=${2:-1} stamp
  stamp="$(sha256sum "$ROOT/bench/gen_workloads.cpp" | cut -c1-16) scale=$scale seed=$SEED"
  [[ -f $dir/.stamp && $(cat "$dir/.stamp") == "$stamp" ]] && return
  "$BUILD/bench/vellox_bench_gen" "$SCRATCH" --only "$1" --scale "$scale" --seed "$SEED"
  echo "$stamp" >"$dir/.stamp"
}

# The median of the numbers on standard input, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
