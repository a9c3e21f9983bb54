"""The Python side of bench/append.sh: A1's appends within one process, and
A2's page and documents built from it one page at a time.

    append_bench.py a1 RUNS PAGE TARGET...     vellox.append(TARGET, [PAGE]), RUNS rounds over the targets in turn:
                                               prints each target's median milliseconds, one a line
    append_bench.py page OUT                   writes A2's page: 8-bit grey, Deflate, about 50 KB
    append_bench.py vellox DOC PAGE N          vellox.append, N - 1 times, to DOC (which holds the page once)
    append_bench.py tifffile DOC PAGE N        tifffile.imwrite(DOC, ..., append=True), N times
    append_bench.py tifffile-fsync DOC PAGE N  the same, each page flushed to the disk (os.fsync) after it

A2's modes print "seconds=S", the time of the loop alone. tifffile is handed the
page's compressed strips as they are (read once, before the loop), so that
neither side decodes or encodes a pixel; it writes them with its own append
mode, which walks the file to its last page and links the new one to it.
"""
import os
import statistics
import sys
import time

import numpy
import tifffile

ROWS_PER_STRIP = 64


def write_page(path):
    """A 600x512 page of text-like strokes on a light ground, a pixel in 20
    a little off: about 50 KB with Deflate, the same bytes on every run."""
    random = numpy.random.default_rng(20261211)
    height, width = 600, 512
    image = numpy.full((height, width), 235, numpy.int16)
    for _ in range(3000):
        y, x = random.integers(0, height - 12), random.integers(0, width - 8)
        image[y:y + random.integers(2, 10), x:x + random.integers(1, 6)] = random.integers(0, 80)
    noisy = random.random((height, width)) < 0.05
    image[noisy] += random.integers(-3, 4, int(noisy.sum()))
    tifffile.imwrite(path, image.clip(0, 255).astype(numpy.uint8), compression="zlib",
                     rowsperstrip=ROWS_PER_STRIP, photometric="minisblack")


def strips(path):
    with tifffile.TiffFile(path) as tif:
        page = tif.pages[0]
        handle = tif.filehandle
        pieces = []
        for offset, count in zip(page.dataoffsets, page.databytecounts):
            handle.seek(offset)
            pieces.append(handle.read(count))
        return page.shape, pieces


def main():
    what = sys.argv[1]
    if what == "a1":
        import vellox
        runs, page, targets = int(sys.argv[2]), sys.argv[3], sys.argv[4:]
        times = {target: [] for target in targets}
        for _ in range(runs):
            for target in targets:
                os.sync()
                start = time.perf_counter()
                vellox.append(target, [page])
                times[target].append(time.perf_counter() - start)
        for target in targets:
            print(f"{1000 * statistics.median(times[target]):.2f}")
        return
    if what == "page":
        write_page(sys.argv[2])
        return
    document, page, count = sys.argv[2], sys.argv[3], int(sys.argv[4])
    if what == "vellox":
        import vellox
        start = time.perf_counter()
        for _ in range(count - 1):
            vellox.append(document, [page])
    else:
        shape, pieces = strips(page)
        if os.path.exists(document):
            os.remove(document)
        durable = what == "tifffile-fsync"
        start = time.perf_counter()
        for _ in range(count):
            tifffile.imwrite(document, iter(pieces), shape=shape, dtype="uint8", compression="zlib",
                             rowsperstrip=ROWS_PER_STRIP, photometric="minisblack", append=True)
            if durable:
                handle = os.open(document, os.O_RDONLY)
                os.fsync(handle)
                os.close(handle)
    print(f"seconds={time.perf_counter() - start:.6f}")


if __name__ == "__main__":
    main()
