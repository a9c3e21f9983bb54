"""The Python side of bench/batch.sh: runs one contender and prints its time.

    python_bench.py jobs merge_many JOBS [--workers N]   vellox.merge_many over a job list
    python_bench.py jobs merge_loop JOBS                 a plain loop of vellox.merge
    python_bench.py jobs tifftools JOBS                  a plain loop of tifftools.tiff_concat
    python_bench.py concat vellox|tifftools --runs N OUT INPUT...
                                                         one merge, N times: the median

JOBS is tab-separated (output, then the inputs). Prints "seconds=S" with the
time of the merges alone (imports and reading the list are not counted).
tifftools is imported from a source copy: set TIFFTOOLS_SRC to the folder
that holds its `tifftools` package.
"""
import argparse
import os
import statistics
import sys
import time


def import_tifftools():
    source = os.environ.get("TIFFTOOLS_SRC")
    if not source:
        sys.exit("python_bench.py: set TIFFTOOLS_SRC to a tifftools source folder")
    sys.path.insert(0, source)
    import importlib.metadata

    # A source copy has no installed metadata, which tifftools reads for its version.
    version = importlib.metadata.version

    def version_or_source(name):
        return "0+source" if name == "tifftools" else version(name)

    importlib.metadata.version = version_or_source
    import tifftools

    return tifftools


def read_jobs(path):
    with open(path, encoding="utf-8", errors="surrogateescape") as lines:
        return [line.rstrip("\n").split("\t") for line in lines if line.strip()]


def run_jobs(args):
    jobs = read_jobs(args.jobs)
    if args.contender == "merge_many":
        import vellox

        pairs = [(job[1:], job[0]) for job in jobs]
        start = time.perf_counter()
        outcomes = vellox.merge_many(pairs, workers=args.workers)
        seconds = time.perf_counter() - start
        failed = [o for o in outcomes if not isinstance(o, vellox.Report) or not o.complete]
        if failed:
            sys.exit(f"python_bench.py: {len(failed)} jobs failed, e.g. {failed[0]!r}")
    elif args.contender == "merge_loop":
        import vellox

        start = time.perf_counter()
        for job in jobs:
            vellox.merge(job[1:], job[0])
        seconds = time.perf_counter() - start
    else:
        tifftools = import_tifftools()
        start = time.perf_counter()
        for job in jobs:
            tifftools.tiff_concat(job[1:], job[0], overwrite=True)
        seconds = time.perf_counter() - start
    print(f"seconds={seconds:.6f}")


def run_concat(args):
    if args.contender == "vellox":
        import vellox

        def merge():
            vellox.merge(args.inputs, args.output)
    else:
        tifftools = import_tifftools()

        def merge():
            tifftools.tiff_concat(args.inputs, args.output, overwrite=True)

    times = []
    for _ in range(args.runs):
        if os.path.exists(args.output):
            os.remove(args.output)
        start = time.perf_counter()
        merge()
        times.append(time.perf_counter() - start)
    print(f"seconds={statistics.median(times):.6f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    jobs = commands.add_parser("jobs")
    jobs.add_argument("contender", choices=["merge_many", "merge_loop", "tifftools"])
    jobs.add_argument("jobs")
    jobs.add_argument("--workers", type=int, default=None)
    concat = commands.add_parser("concat")
    concat.add_argument("contender", choices=["vellox", "tifftools"])
    concat.add_argument("--runs", type=int, default=3)
    concat.add_argument("output")
    concat.add_argument("inputs", nargs="+")
    args = parser.parse_args()
    run_jobs(args) if args.command == "jobs" else run_concat(args)


if __name__ == "__main__":
    main()
