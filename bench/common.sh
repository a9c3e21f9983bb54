# Shared by the bench scripts (sourced): the bench build and the workloads.
# Needs ROOT, BUILD, SCRATCH and SEED set by the caller.

# Runs tifftools from a source copy, whose missing package metadata (read
# for its version) is stood in for: python3 -c "$TIFFTOOLS_MAIN" DIR ARGS...
TIFFTOOLS_MAIN='import importlib.metadata as m, sys
version = m.version
m.version = lambda name: "0+source" if name == "tifftools" else version(name)
sys.path.insert(0, sys.argv.pop(1))
import tifftools
sys.exit(1 if tifftools.main() else 0)'

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

# W6 from W1, in $SCRATCH/w6 unless it already holds the same one: $1
# documents of 5 single-page inputs each (distinct copies of the W1 files,
# taken in turn), and the job list jobs.tsv for `vellox batch` (a line per
# document: its output in $SCRATCH/w6/out, then its inputs, tab-separated).
# Copies with python3 ($PYTHON when set): 5 x $1 files.
generate_w6() {
  local docs=$1 stamp
  generate W1
  stamp="$(cat "$SCRATCH/w1/.stamp") docs=$docs"
  [[ -f $SCRATCH/w6/.stamp && $(cat "$SCRATCH/w6/.stamp") == "$stamp" ]] && return
  echo "making W6: $docs documents of 5 W1 files" >&2
  rm -rf "$SCRATCH/w6"
  "${PYTHON:-python3}" - "$SCRATCH" "$docs" <<'EOF'
import os, shutil, sys
scratch, docs = sys.argv[1], int(sys.argv[2])
w1 = sorted(f for f in os.listdir(f"{scratch}/w1") if f.endswith(".tif"))
os.makedirs(f"{scratch}/w6/in")
with open(f"{scratch}/w6/jobs.tsv", "w") as jobs:
    for d in range(docs):
        inputs = []
        for p in range(5):
            inputs.append(f"{scratch}/w6/in/{d:05d}-{p}.tif")
            shutil.copyfile(f"{scratch}/w1/{w1[(d * 5 + p) % len(w1)]}", inputs[-1])
        jobs.write("\t".join([f"{scratch}/w6/out/{d:05d}.tif"] + inputs) + "\n")
EOF
  echo "$stamp" >"$SCRATCH/w6/.stamp"
}

# The median of the numbers on standard input, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
