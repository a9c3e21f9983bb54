"""Fixtures for the tests of the Python package: the bundled sample TIFFs
copied into a scratch folder, and a page counter that reads the output's
directory chain independently of the merger."""
import shutil
import struct
from pathlib import Path

import pytest

SAMPLES = Path(__file__).resolve().parents[2] / "samples"


def pages(path) -> int:
    data = Path(path).read_bytes()
    order = {b"II": "<", b"MM": ">"}[data[:2]]
    (offset,) = struct.unpack(order + "I", data[4:8])
    count = 0
    while offset:
        (entries,) = struct.unpack(order + "H", data[offset:offset + 2])
        (offset,) = struct.unpack(order + "I", data[offset + 2 + 12 * entries:offset + 6 + 12 * entries])
        count += 1
    return count


@pytest.fixture
def samples(tmp_path):
    """Copies of the samples in tmp_path: name -> Path (fax 1 page, lzw 2 pages, grey16 1 page, big-endian)."""
    copies = {}
    for name in ("fax-g4-le.tif", "grey-lzw-2pages-le.tif", "grey16-be.tif"):
        copies[name.split("-")[0]] = Path(shutil.copy(SAMPLES / name, tmp_path / name))
    return copies


@pytest.fixture
def uncompressed(tmp_path):
    """Writes uncompressed one-page TIFFs with tifffile, each of which tifffile can memory-map: an odd-sized 8-bit
    page (3x3) first, then 16-bit, float32 and float64 pages, two of them in several strips that lie back to back.
    Call it with the byte order of the first page and that of the others ("<" or ">"); it returns their paths."""
    import numpy
    import tifffile

    arrays = [("u8-3x3", numpy.arange(1, 10, dtype=numpy.uint8).reshape(3, 3), None),
              ("u16", (numpy.arange(35, dtype=numpy.uint16) * 1873).reshape(5, 7), 2),
              ("f32", numpy.linspace(-1.5, 2.5, 30, dtype=numpy.float32).reshape(6, 5), None),
              ("f64", numpy.linspace(-1e300, 1e300, 21).reshape(3, 7), 1)]

    def write(first, rest):
        paths = []
        for index, (name, array, rows_per_strip) in enumerate(arrays):
            path = tmp_path / f"{name}.tif"
            tifffile.imwrite(path, array, byteorder=first if index == 0 else rest, photometric="minisblack",
                             rowsperstrip=rows_per_strip)
            paths.append(path)
        return paths

    return write
