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
