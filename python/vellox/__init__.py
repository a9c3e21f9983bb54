"""Vellox: merge TIFF files into one multi-page TIFF by copying their structure.

Every page of every input lands in the output, in order, byte for byte, with
its offsets rewritten; no pixel is decoded, except where compressed 16-, 32-
or 64-bit samples must change byte order (those pages are transcoded).

    import vellox
    report = vellox.merge(["a.tif", "b.tif"], "all.tif")
    print(report.pages, report.bytes)

Merges release the GIL, so merges in several threads run at the same time;
:func:`merge_many` runs a list of merges that way. :func:`append` adds pages
to an existing file in place. Input files that are empty (0 bytes) are
deleted, as the component's contract says.
"""
from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Optional, Union

from . import _vellox
from ._vellox import FileInfo, FileReport, Page, PageInfo, Report, SplitReport

__version__: str = _vellox.version()

__all__ = [
    "FileInfo",
    "FileReport",
    "Input",
    "MergeError",
    "Page",
    "PageInfo",
    "Report",
    "SplitError",
    "SplitReport",
    "append",
    "info",
    "merge",
    "merge_many",
    "remove_temporary_files",
    "split",
    "tiff_merge",
    "__version__",
]

PathLike = Union[str, "os.PathLike[str]", bytes, "os.PathLike[bytes]"]

#: The most merges :func:`merge_many` runs at once (the library keeps the
#: names of this many hidden outputs for removal when the process is told to end).
MAX_WORKERS = 64

# FileInfo and PageInfo (see info) are read-only records too.
# Report (status, result, reason, output, pages, bytes, files, bigtiff,
# complete), FileReport (path, status, fate, result, pages, reason, skipped,
# left_out, transcoded, failed) and Page (index, reason) are the library's
# reports, read-only; they compare equal by value and pickle. Statuses are
# the library's stable names: "ok", "missing", "not-tiff", ...


class MergeError(Exception):
    """A merge that wrote nothing. ``status`` names why (e.g. ``"not-tiff"``),
    ``result`` is its code (0, -1, -2 or -3), ``reason`` says why in words, ``report`` is the whole :class:`Report`."""

    def __init__(self, report: Report) -> None:
        super().__init__(report)
        self.report = report

    @property
    def result(self) -> int:
        return self.report.result

    @property
    def reason(self) -> str:
        return self.report.reason

    @property
    def status(self) -> str:
        return self.report.status

    def __str__(self) -> str:
        return f"{self.report.reason or 'the merge failed'} (result {self.report.result})"

    def __repr__(self) -> str:
        return f"MergeError(result={self.result}, reason={self.reason!r}, output={self.report.output!r})"


class Input:
    """An input with a page selection, usable wherever a path goes:
    ``vellox.Input("scan.tif", pages="2-z")``.

    ``pages`` uses the page-list syntax of PDF tools: 1-based numbers and
    ranges separated by ``","``; ``z`` is the last page, ``rN`` the N-th from
    the end; a range may run backwards (``"z-1"``); ``xN`` or ``xN-M``
    excludes pages (``"1-z,x3-4"``). ``None`` takes every page. A page the
    file lacks fails the merge before anything is written."""

    __slots__ = ("path", "pages")

    def __init__(self, path: PathLike, pages: Optional[str] = None) -> None:
        if pages is not None:
            if not isinstance(pages, str):
                raise TypeError(f"pages must be str or None, not {type(pages).__name__}")
            problem = _vellox.pages_problem(pages)
            if problem:
                raise ValueError(f"pages {pages!r}: {problem}")
        self.path = path
        self.pages = pages

    def __repr__(self) -> str:
        return f"Input({self.path!r}, pages={self.pages!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Input) and (self.path, self.pages) == (other.path, other.pages)

    def __hash__(self) -> int:
        return hash((self.path, self.pages))


class SplitError(Exception):
    """A split that wrote no part. ``status`` names why, ``reason`` says why in
    words, ``report`` is the whole :class:`SplitReport`."""

    def __init__(self, report: SplitReport) -> None:
        super().__init__(report.reason)
        self.report = report

    @property
    def status(self) -> str:
        return self.report.status

    @property
    def reason(self) -> str:
        return self.report.reason


def _input(value: Any, what: str) -> tuple[bytes, str]:
    if isinstance(value, Input):
        return _path(value.path, what), value.pages or ""
    return _path(value, what), ""


def _path(value: Any, what: str) -> bytes:
    try:
        path = os.fsencode(value)
    except TypeError:
        raise TypeError(f"{what} must be str, bytes or os.PathLike, not {type(value).__name__}") from None
    if not path:
        raise ValueError(f"{what} is empty")
    if b"\0" in path:
        raise ValueError(f"{what} contains a NUL character: {value!r}")
    return path


def _job(inputs: Any, output: Any, what: str = "",
         output_name: str = "the output") -> tuple[list[tuple[bytes, str]], bytes]:
    """The inputs and output as the library takes them (bytes), or TypeError/ValueError."""
    if isinstance(inputs, (str, bytes, bytearray, os.PathLike, Input)):
        raise TypeError(f"{what}inputs must be a sequence of paths, not one path")
    if not isinstance(inputs, Sequence):
        raise TypeError(f"{what}inputs must be an ordered sequence of paths such as a list or tuple, not "
                        f"{type(inputs).__name__}: the pages are merged in the order of the inputs")
    if not inputs:
        raise ValueError(f"{what}inputs is empty")
    paths = [_input(path, f"{what}an input") for path in inputs]
    target = _path(output, f"{what}{output_name}")
    if os.path.basename(target) in (b"", b".", b".."):
        raise ValueError(f"{what}{output_name} must name a file: {output!r}")
    return paths, target


def _on_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


def _outcome(report: Report) -> Union[Report, MergeError]:
    return report if report.result == 1 else MergeError(report)


def merge(inputs: Sequence[Union[PathLike, Input]], output: PathLike, *, format: str = "auto", sync: bool = False,
          progress: Optional[Callable[[Report], Any]] = None, clone: str = "auto",
          byte_order: str = "first", collate: bool = False) -> Report:
    """Merge the pages of every input, in order, into one TIFF file.

    ``inputs`` is a list or tuple of paths (``str``, ``bytes`` or
    ``os.PathLike``; relative ones are taken from the current folder), or
    :class:`Input` for some pages of a file, a sequence in merge order (a set, dict, iterator or single path raises
    ``TypeError``); ``output`` the file to write; an existing file is
    replaced only when the merge succeeds. **Input files that are empty are
    deleted.**

    ``format``: ``"auto"`` (classic TIFF when the merged file fits in it, up
    to 4 GiB, BigTIFF otherwise), ``"classic"`` or ``"bigtiff"``.
    ``sync=True`` flushes the output to the disk before it replaces the
    target. ``clone``: ``"auto"`` lets large strips and tiles share the
    inputs' blocks on file systems that can (XFS with reflink, btrfs);
    ``"never"`` copies every byte. ``byte_order``: ``"first"`` (the first
    input's), ``"little"``, ``"big"`` or ``"auto"`` (the order that needs the
    fewest bytes transcoded; ties go to the first input's). Option names are
    matched without regard to case. Pages whose compressed 16-, 32- or 64-bit
    samples are in the other byte order are decoded and encoded again (same
    values, other compressed bytes) and listed in their file's
    ``transcoded``. ``progress(report)`` is called at each step of the merge
    (twice per page) with the report so far, on the calling thread with the
    GIL held. ``collate=True`` takes one page of each input in turn (the
    first of each, then the second of each, ...); an input with fewer pages
    drops out when it has none left.

    Returns the :class:`Report` when the output was written (``status``
    ``"ok"``), even when some inputs failed (see ``Report.complete`` and each
    file's ``status`` and ``reason``). Raises :class:`MergeError` when nothing
    was written, ``TypeError`` or ``ValueError`` for bad arguments before any
    file is touched.

    Ctrl-C (``KeyboardInterrupt``) or an exception raised by ``progress``
    cancels the merge: nothing is written, an existing target is left as it
    was, and the exception propagates.
    """
    paths, target = _job(inputs, output)
    report = _vellox.merge(paths, target, sync, format, clone, byte_order, progress, _on_main_thread(), collate)
    if report.result != 1:
        raise MergeError(report)
    return report


def info(path: PathLike) -> FileInfo:
    """What the file at ``path`` holds, page by page, read from its directories
    without decoding a pixel; nothing is changed (an empty file is not deleted).

    Returns a :class:`FileInfo`: ``status`` (``"ok"`` when every page was read;
    ``"damaged"`` when the chain of pages breaks off or loops, with the pages
    read before it; ``"missing"``, ``"not-tiff"``, ``"cannot-open"``),
    ``reason``, ``format`` (``"classic"``, ``"bigtiff"``, or ``None`` when it
    is not a TIFF), ``byte_order`` (``"little"``, ``"big"``), ``bytes`` and
    ``pages``: :class:`PageInfo` records with ``width``, ``height``,
    ``bits_per_sample``, ``samples_per_pixel``, ``compression``,
    ``photometric``, ``tiled``, ``pieces``, ``tile_width``, ``tile_length``,
    ``image_bytes``, ``sub_ifds``, ``exif``, ``gps``, ``interoperability``,
    and what a merge does with the page: ``skipped`` (why it is left out
    whole, or ``""``), ``left_out`` (the parts left out, each with why) and
    ``other_byte_order`` (``"copied"``, ``"transcoded"`` or ``"skipped"``, in a
    merge into the other byte order, with ``other_byte_order_reason``).
    Raises ``TypeError`` or ``ValueError`` for a path that is not one; never
    for the file's own problems.
    """
    return _vellox.info(_path(path, "path"))


def append(target: PathLike, inputs: Sequence[Union[PathLike, Input]], *, clone: str = "auto",
           progress: Optional[Callable[[Report], Any]] = None) -> Report:
    """Add the pages of every input, in order, to the end of the existing TIFF file ``target``, in place.

    The pages are copied as :func:`merge` copies them, in the target's format
    (classic or BigTIFF) and byte order; the target's own bytes are not
    rewritten, but for the one link that makes the new pages part of it,
    written only once they are on the disk. A crash at any moment leaves the
    target with its old pages or with the old and all the new ones; appends to
    one file, from any process or thread, wait for each other. ``inputs`` and
    ``clone`` are as in :func:`merge`; **empty input files are deleted**.

    Returns the :class:`Report` (``pages`` and ``bytes``: what was added).
    Raises :class:`MergeError` when nothing was added: a target that is
    missing, not a TIFF file (``"not-tiff"``), whose chain of pages is cut or
    loops (``"damaged"``), on a read-only file system, an input that is the
    target itself (``"invalid-request"``), a classic target that would pass
    4 GiB, or no page that could be copied. Ctrl-C or an exception raised by
    ``progress`` cancels the append, which then adds nothing.
    """
    paths, path = _job(inputs, target, output_name="the target")
    report = _vellox.append(path, paths, clone, progress, _on_main_thread())
    if report.result != 1:
        raise MergeError(report)
    return report


def tiff_merge(file_names: str, output_dir: PathLike, new_file_name: str) -> tuple[int, str]:
    """One literal call of the component's ``Tiff_Merge``.

    ``file_names`` is the comma-separated list of input paths, merged into
    ``output_dir``/``new_file_name``. Returns the result code (1, 0, -1, -2,
    -3; see :class:`Report`) and ``file_names`` as the call left it (with a
    "," appended when it did not end with one). Nothing is raised for a failed
    merge. **Empty listed files are deleted.**
    """
    for value, what in ((file_names, "file_names"), (new_file_name, "new_file_name")):
        if not isinstance(value, str):
            raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    try:
        directory = os.fsencode(output_dir)
    except TypeError:
        raise TypeError(f"output_dir must be str or os.PathLike, not {type(output_dir).__name__}") from None
    result, names = _vellox.tiff_merge(os.fsencode(file_names), directory, os.fsencode(new_file_name),
                                       _on_main_thread())
    return result, os.fsdecode(names)


def _job_parts(job: Any, number: int) -> tuple[Any, Any]:
    if isinstance(job, Mapping):
        missing = {"inputs", "output"} - job.keys()
        if missing:
            raise ValueError(f"job {number}: no {' or '.join(sorted(missing))!r}")
        return job["inputs"], job["output"]
    if isinstance(job, (tuple, list)) and len(job) == 2:
        return job[0], job[1]
    raise TypeError(f"job {number} must be a mapping with 'inputs' and 'output' or a pair (inputs, output), "
                    f"not {type(job).__name__}")


def merge_many(jobs: Iterable[Union[Mapping[str, Any], tuple[Sequence[PathLike], PathLike]]],
               workers: Optional[int] = None,
               progress: Optional[Callable[[int, int, Union[Report, MergeError]], Any]] = None,
               *, format: str = "auto", sync: bool = False, clone: str = "auto",
               byte_order: str = "first") -> list[Union[Report, MergeError]]:
    """Run many merges in parallel on the library's pool of worker threads.

    Each job is a mapping ``{"inputs": [...], "output": ...}`` (as in
    ``vellox batch``'s JSON Lines) or a pair ``(inputs, output)``, with
    ``inputs`` as in :func:`merge`; jobs are numbered from 1 in messages.
    Every job is checked before any runs: no two jobs may write the same
    file, and no job may read another's output (they run in any order).
    Files are compared by identity, not by the text of their paths (a link
    and its target are one file); a clash raises ``ValueError`` with the
    library's reasons.

    ``workers``: merges at once, 1 to 64 (default: the number of cores).
    ``format``, ``sync``, ``clone`` and ``byte_order`` are those of :func:`merge`, for every job.
    ``progress(done, total, outcome)`` is called after each job ends, from
    the worker thread that ran it (one call at a time, with the GIL held).
    Returns one outcome per job, in job order: its :class:`Report`, or the
    :class:`MergeError` of a job that wrote nothing (returned, not raised); a
    job that fails does not stop the others.

    Ctrl-C or an exception raised by ``progress`` stops every running merge
    (each leaves nothing behind), starts no more, and propagates; outputs of
    jobs that had already ended stay.
    """
    if workers is None:
        workers = 0  # the library's default: one per core
    elif isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    elif not 1 <= workers <= MAX_WORKERS:
        raise ValueError(f"workers must be from 1 to {MAX_WORKERS}, not {workers}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    if isinstance(jobs, (str, bytes, Mapping)) or not isinstance(jobs, Iterable):
        raise TypeError("jobs must be a list of jobs")
    prepared = [_job(*_job_parts(job, number), f"job {number}: ") for number, job in enumerate(jobs, 1)]

    total = len(prepared)
    outcomes: dict[int, Union[Report, MergeError]] = {}

    def finished(index: int, report: Report) -> None:
        outcomes[index] = _outcome(report)
        progress(len(outcomes), total, outcomes[index])  # type: ignore[misc]

    reports = _vellox.merge_many(prepared, workers, sync, format, clone, byte_order,
                                 finished if progress is not None else None, _on_main_thread())
    return [outcomes[index] if index in outcomes else _outcome(report) for index, report in enumerate(reports)]


def split(input: Union[PathLike, Input], pattern: PathLike, *, every: int = 1, sync: bool = False) -> SplitReport:
    """Write the pages of ``input`` (an :class:`Input` selects some) into
    numbered files of ``every`` pages each, in the input's format and byte order.

    ``pattern`` holds one printf-style ``%d`` for the part's number, counted
    from 1, as in ``"parts/doc-%03d.tif"``. The parts are written under
    temporary names and all named at the end: a failure (a full disk, a page
    that cannot be copied whole, Ctrl-C) leaves none of them. Existing files
    are replaced. Returns the :class:`SplitReport`; raises :class:`SplitError`
    when no part was written.
    """
    if isinstance(every, bool) or not isinstance(every, int):
        raise TypeError(f"every must be an int, not {type(every).__name__}")
    if not 1 <= every < 2**32:
        raise ValueError(f"every must be at least 1, not {every}")
    source = _input(input, "the input")
    target = os.fsencode(pattern)
    report = _vellox.split(source, target, every, sync, _on_main_thread())
    if report.status != "ok":
        raise SplitError(report)
    return report


def remove_temporary_files() -> None:
    """Remove the hidden temporary outputs of merges running in this process.

    For a process about to end on a signal (say in a SIGTERM handler): where
    the file system cannot make unnamed files, a running merge writes a hidden
    ``.vellox-XXXXXX.tmp`` beside its target, which this removes.
    """
    _vellox.remove_temporary_files()
