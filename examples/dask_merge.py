#!/usr/bin/env python3
"""Spread a job list of merges over a Dask distributed cluster.

Each task takes a chunk of jobs and runs them with ``vellox.merge_many`` on
its worker; the paths must mean the same file on every worker (a shared file
system mounted at the same place), and they are made absolute here, on the
client, before they are sent.

    dask_merge.py JOBS --scheduler tcp://host:8786   # an existing cluster
    dask_merge.py JOBS --local 2                     # a LocalCluster of 2 worker processes

JOBS is a file in the form of ``vellox batch``: one job per line, JSON Lines
``{"output": "out.tif", "inputs": ["a.tif", "b.tif"]}`` or tab-separated
(output, then the inputs). Prints one line per job that did not go in whole
and a summary; exits 0 when every output was written whole, 3 when some
input was missing or not copied whole, 1 when some job wrote nothing.

Needs the packages vellox and distributed (Debian: python3-distributed) on
the client and on every worker.
"""
import argparse
import json
import os
import sys
import time

import vellox


def read_jobs(path):
    """The jobs of a JSON Lines or tab-separated file, with absolute paths."""
    jobs = []
    with open(path, encoding="utf-8", errors="surrogateescape") as lines:
        for line in lines:
            line = line.rstrip("\r\n")
            if not line.strip():
                continue
            if line.lstrip().startswith("{"):
                job = json.loads(line)
                output, inputs = job["output"], job["inputs"]
            else:
                output, *inputs = line.split("\t")
            jobs.append({"output": os.path.abspath(output), "inputs": [os.path.abspath(p) for p in inputs]})
    return jobs


def merge_chunk(jobs, threads):
    """Runs on a worker: the chunk's merges, and a small summary of each."""
    summaries = []
    for job, outcome in zip(jobs, vellox.merge_many(jobs, workers=threads)):
        report = outcome.report if isinstance(outcome, vellox.MergeError) else outcome
        status = "failed" if report.result != 1 else "written" if report.complete else "partial"
        faults = [f"{f.path}: {f.reason or f.fate}" for f in report.files if f.failed]
        summaries.append((job["output"], status, report.pages, report.bytes, report.reason or "; ".join(faults)))
    return os.getpid(), summaries


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("jobs", help="the job list (JSON Lines or tab-separated)")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--local", type=int, metavar="N", help="start a LocalCluster of N worker processes")
    parser.add_argument("--chunk", type=int, default=64, help="jobs per task (default 64)")
    parser.add_argument("--threads", type=int, default=1, help="merges at once in each task (default 1)")
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster, as_completed

    jobs = read_jobs(args.jobs)
    outputs = [job["output"] for job in jobs]
    if len(set(outputs)) != len(outputs):
        sys.exit("dask_merge.py: two jobs write the same output")

    if args.local:
        # Loopback only, no dashboard: everything stays on this machine.
        cluster = LocalCluster(n_workers=args.local, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    else:
        cluster, client = None, Client(args.scheduler)

    start = time.perf_counter()
    chunks = [jobs[i:i + args.chunk] for i in range(0, len(jobs), args.chunk)]
    # pure=False: every chunk runs, even if two look alike.
    futures = client.map(merge_chunk, chunks, threads=args.threads, pure=False)
    counts = {"written": 0, "partial": 0, "failed": 0}
    pages = size = 0
    processes = set()
    for future in as_completed(futures):
        pid, summaries = future.result()
        processes.add(pid)
        for output, status, page_count, byte_count, reason in summaries:
            counts[status] += 1
            pages += page_count
            size += byte_count if status != "failed" else 0
            if status != "written":
                print(f"{output}: {status}: {reason}")
    seconds = time.perf_counter() - start
    client.close()
    if cluster is not None:
        cluster.close()

    print(f"{len(jobs)} jobs in {seconds:.2f} s on {len(processes)} worker processes: "
          f"{counts['written']} written whole, {counts['partial']} partial, {counts['failed']} failed; "
          f"{pages} pages, {size / 1e6:.1f} MB")
    sys.exit(1 if counts["failed"] else 3 if counts["partial"] else 0)


if __name__ == "__main__":
    main()
