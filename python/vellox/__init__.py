"""Vellox: merge TIFF files into one multi-page TIFF by copying their structure.

Every page of every input lands in the output, in order, byte for byte, with
its offsets rewritten; no pixel is decoded, except where compressed 16-, 32-
or 64-bit samples must change byte order (those pages are transcoded).

    import vellox
    report = vellox.merge(["a.tif", "b.tif"], "all.tif")
    print(report.pages, report.bytes)

Merges release the GIL, so merges in several threads run at the same time;
:func:`merge_many` runs a list of merges that way. Input files that are empty
(0 bytes) are deleted, as the component's contract says.
"""
from __future__ import annotations

import os
import queue
import threading
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

from . import _vellox

__version__: str = _vellox.version()

__all__ = [
    "FileReport",
    "MergeError",
    "Page",
    "Report",
    "merge",
    "merge_many",
    "remove_temporary_files",
    "tiff_merge",
    "__version__",
]

PathLike = Union[str, "os.PathLike[str]", bytes, "os.PathLike[bytes]"]

#: The most merges :func:`merge_many` runs at once (the library keeps the
#: names of this many hidden outputs for removal when the process is told to end).
MAX_WORKERS = 64

_FORMATS = ("auto", "classic", "bigtiff")
_CLONES = ("auto", "never")
_BYTE_ORDERS = ("first", "little", "big", "auto")


@dataclass(frozen=True)
class Page:
    """A page left out whole (``FileReport.skipped``) or in part (``left_out``), or copied with its compressed
    samples decoded and encoded again in the output's byte order (``transcoded``)."""

    index: int  #: 0-based position of the page in its file
    reason: str


@dataclass(frozen=True, repr=False)
class FileReport:
    """What became of one input.

    ``fate`` is ``"copied"``, ``"deleted-empty"`` (an empty file, deleted),
    ``"missing"`` (no such file), ``"not-reached"`` (the merge stopped before
    it) or ``"kept-empty"`` (empty but held open by another program, so not
    deleted). ``result`` is the per-file code (1 copied whole, -1 failed,
    -2 not a TIFF file); ``reason`` says why whenever it is not 1.
    """

    path: str
    fate: str
    result: int
    pages: int
    reason: str
    skipped: tuple[Page, ...]
    left_out: tuple[Page, ...]
    transcoded: tuple[Page, ...] = ()

    @property
    def failed(self) -> bool:
        """True when the file was missing, or was copied without all of its pages."""
        return self.fate == "missing" or (self.fate == "copied" and (self.result != 1 or self.pages == 0))

    def __repr__(self) -> str:
        text = f"FileReport({self.path!r}, {self.fate}, {self.pages} page{'' if self.pages == 1 else 's'}"
        if self.result != 1 and self.fate == "copied":
            text += f", result {self.result}"
        if self.reason:
            text += f", {self.reason!r}"
        if self.skipped:
            text += f", {len(self.skipped)} skipped"
        if self.left_out:
            text += f", {len(self.left_out)} with parts left out"
        if self.transcoded:
            text += f", {len(self.transcoded)} transcoded"
        return text + ")"


@dataclass(frozen=True, repr=False)
class Report:
    """The report of one merge.

    ``result`` is the merge's code: 1 the output was written; 0 every input was
    missing or empty; -1 a step failed; -2 the first input is not a TIFF file;
    -3 the output folder does not exist. ``reason`` says why whenever it is not
    1. ``pages`` and ``bytes`` are what the output holds (so far, in a progress
    callback); ``files`` has one :class:`FileReport` per input, in order;
    ``bigtiff`` tells whether the output is (being) written as BigTIFF.
    """

    result: int
    reason: str
    output: str
    pages: int
    bytes: int
    files: tuple[FileReport, ...]
    bigtiff: bool = False

    @property
    def complete(self) -> bool:
        """True when the output was written and every input went in whole."""
        return self.result == 1 and not any(file.failed for file in self.files)

    def __repr__(self) -> str:
        files = ", ".join(repr(file) for file in self.files)
        reason = f", reason={self.reason!r}" if self.reason else ""
        bigtiff = ", bigtiff=True" if self.bigtiff else ""
        return (f"Report(result={self.result}{reason}, output={self.output!r}, pages={self.pages}, "
                f"bytes={self.bytes}{bigtiff}, files=[{files}])")


class MergeError(Exception):
    """A merge that wrote nothing. ``result`` is its code (0, -1, -2 or -3),
    ``reason`` says why, ``report`` is the whole :class:`Report`."""

    def __init__(self, report: Report) -> None:
        super().__init__(report)
        self.report = report

    @property
    def result(self) -> int:
        return self.report.result

    @property
    def reason(self) -> str:
        return self.report.reason

    def __str__(self) -> str:
        return f"{self.report.reason or 'the merge failed'} (result {self.report.result})"

    def __repr__(self) -> str:
        return f"MergeError(result={self.result}, reason={self.reason!r}, output={self.report.output!r})"


def _pages(items: list[tuple[int, bytes]]) -> tuple[Page, ...]:
    return tuple(Page(index, os.fsdecode(reason)) for index, reason in items)


def _report(raw: tuple, output: str) -> Report:
    result, reason, pages, size, files, bigtiff = raw
    return Report(
        result=result,
        reason=os.fsdecode(reason),
        output=output,
        pages=pages,
        bytes=size,
        files=tuple(
            FileReport(os.fsdecode(path), fate, code, count, os.fsdecode(why), _pages(skipped), _pages(left_out),
                       _pages(transcoded))
            for path, fate, code, count, why, skipped, left_out, transcoded in files
        ),
        bigtiff=bigtiff,
    )


def _path(value: Any, what: str) -> bytes:
    try:
        path = os.fsencode(value)
    except TypeError:
        raise TypeError(f"{what} must be str or os.PathLike, not {type(value).__name__}") from None
    if not path:
        raise ValueError(f"{what} is empty")
    if b"\0" in path:
        raise ValueError(f"{what} contains a NUL character: {value!r}")
    return path


def _absolute(path: bytes) -> bytes:
    # Joined to the current folder as it is, not normalised: "link/.." means
    # what the file system says it means.
    return path if os.path.isabs(path) else os.path.join(os.getcwdb(), path)


@dataclass
class _Job:
    file_names: bytes
    output_dir: bytes
    new_file_name: bytes
    output: str  # the absolute target, for the report


def _prepare(inputs: Any, output: Any, what: str = "") -> _Job:
    if isinstance(inputs, (str, bytes, os.PathLike)):
        raise TypeError(f"{what}inputs must be a list of paths, not one path")
    try:
        paths = list(inputs)
    except TypeError:
        raise TypeError(f"{what}inputs must be a list of paths, not {type(inputs).__name__}") from None
    if not paths:
        raise ValueError(f"{what}inputs is empty")
    names = []
    for path in paths:
        name = _path(path, f"{what}an input")
        if b"," in name:
            raise ValueError(f"{what}input paths cannot contain ',': {path!r}")
        names.append(_absolute(name))
    target = _absolute(_path(output, f"{what}the output"))
    directory, name = os.path.split(target)
    if name in (b"", b".", b".."):
        raise ValueError(f"{what}the output must name a file: {output!r}")
    return _Job(b",".join(names) + b",", directory, name, os.fsdecode(target))


def _check_options(format: Any, clone: Any, byte_order: Any, sync: Any, progress: Any) -> None:
    for value, what, allowed in ((format, "format", _FORMATS), (clone, "clone", _CLONES),
                                 (byte_order, "byte_order", _BYTE_ORDERS)):
        if not isinstance(value, str):
            raise TypeError(f"{what} must be a str, not {type(value).__name__}")
        if value not in allowed:
            raise ValueError(f"{what} must be one of {', '.join(map(repr, allowed))}, not {value!r}")
    if not isinstance(sync, bool):
        raise TypeError(f"sync must be a bool, not {type(sync).__name__}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")


def _on_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


def _run(job: _Job, sync: bool, format: str, clone: str, byte_order: str,
         progress: Optional[Callable[[Report], Any]],
         cancel: Optional[_vellox.CancelToken] = None) -> Union[Report, MergeError]:
    observe = None
    if progress is not None:
        def observe(raw: tuple) -> None:
            progress(_report(raw, job.output))
    result, _, raw = _vellox.merge(job.file_names, job.output_dir, job.new_file_name, sync, format, clone,
                                   byte_order, observe, _on_main_thread(), cancel)
    report = _report(raw, job.output)
    return report if result == 1 else MergeError(report)


def merge(inputs: Iterable[PathLike], output: PathLike, *, format: str = "auto", sync: bool = False,
          progress: Optional[Callable[[Report], Any]] = None, clone: str = "auto",
          byte_order: str = "first") -> Report:
    """Merge the pages of every input, in order, into one TIFF file.

    ``inputs`` is a list of paths (``str`` or ``os.PathLike``; relative ones
    are taken from the current folder), ``output`` the file to write; an
    existing file is replaced only when the merge succeeds. **Input files that
    are empty are deleted.**

    ``format``: ``"auto"`` (classic TIFF when the merged file fits in it, up
    to 4 GiB, BigTIFF otherwise), ``"classic"`` or ``"bigtiff"``.
    ``sync=True`` flushes the output to the disk before it replaces the
    target. ``clone``: ``"auto"`` lets large strips and tiles share the
    inputs' blocks on file systems that can (XFS with reflink, btrfs);
    ``"never"`` copies every byte. ``byte_order``: ``"first"`` (the first
    input's), ``"little"``, ``"big"`` or ``"auto"`` (the order that needs the
    fewest bytes transcoded; ties go to the first input's). Pages whose
    compressed 16-, 32- or 64-bit samples are in the other byte order are
    decoded and encoded again (same values, other compressed bytes) and listed
    in their file's ``transcoded``. ``progress(report)`` is called at each
    step of the merge (twice per page) with the report so far, on the calling
    thread with the GIL held.

    Returns the :class:`Report` when the output was written, even when some
    inputs failed (see ``Report.complete`` and each file's ``reason``). Raises
    :class:`MergeError` when nothing was written, ``TypeError`` or
    ``ValueError`` for bad arguments before any file is touched.

    Ctrl-C (``KeyboardInterrupt``) or an exception raised by ``progress``
    cancels the merge: nothing is written, an existing target is left as it
    was, and the exception propagates.
    """
    _check_options(format, clone, byte_order, sync, progress)
    job = _prepare(inputs, output)
    outcome = _run(job, sync, format, clone, byte_order, progress)
    if isinstance(outcome, MergeError):
        raise outcome
    return outcome


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
    result, names, _ = _vellox.merge(os.fsencode(file_names), directory, os.fsencode(new_file_name), False,
                                     "classic", "never", "first", None, _on_main_thread(), None)
    return result, os.fsdecode(names)


def _job_parts(job: Any, index: int) -> tuple[Any, Any]:
    if isinstance(job, Mapping):
        missing = {"inputs", "output"} - job.keys()
        if missing:
            raise ValueError(f"job {index}: no {' or '.join(sorted(missing))!r}")
        return job["inputs"], job["output"]
    if isinstance(job, (tuple, list)) and len(job) == 2:
        return job[0], job[1]
    raise TypeError(f"job {index} must be a mapping with 'inputs' and 'output' or a pair (inputs, output), "
                    f"not {type(job).__name__}")


def merge_many(jobs: Iterable[Union[Mapping[str, Any], tuple[Iterable[PathLike], PathLike]]],
               workers: Optional[int] = None,
               progress: Optional[Callable[[int, int, Union[Report, MergeError]], Any]] = None,
               *, format: str = "auto", sync: bool = False, clone: str = "auto",
               byte_order: str = "first") -> list[Union[Report, MergeError]]:
    """Run many merges in parallel, one merger per worker thread.

    Each job is a mapping ``{"inputs": [...], "output": ...}`` (as in
    ``vellox batch``'s JSON Lines) or a pair ``(inputs, output)``; every job
    is checked before any runs. No two jobs may write the same file, and no
    job may read another's output (they run in any order).

    ``workers``: merges at once, 1 to 64 (default: the number of cores).
    ``format``, ``sync``, ``clone`` and ``byte_order`` are those of :func:`merge`, for every job.
    ``progress(done, total, outcome)`` is called on the calling thread after
    each job ends. Returns one outcome per job, in job order: its
    :class:`Report`, or the :class:`MergeError` of a job that wrote nothing
    (returned, not raised).

    Ctrl-C or an exception raised by ``progress`` stops every running merge
    (each leaves nothing behind), starts no more, and propagates; outputs of
    jobs that had already ended stay.
    """
    if workers is None:
        workers = os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    if not 1 <= workers <= MAX_WORKERS:
        raise ValueError(f"workers must be from 1 to {MAX_WORKERS}, not {workers}")
    _check_options(format, clone, byte_order, sync, progress)
    if isinstance(jobs, (str, bytes, Mapping)):
        raise TypeError("jobs must be a list of jobs")
    prepared = []
    for index, job in enumerate(jobs):
        inputs, output = _job_parts(job, index)
        prepared.append(_prepare(inputs, output, f"job {index}: "))
    _check_independent(prepared)

    total = len(prepared)
    outcomes: list[Union[Report, MergeError, None]] = [None] * total
    if total == 0:
        return []
    cancel = _vellox.CancelToken()
    finished: queue.SimpleQueue = queue.SimpleQueue()
    next_job = iter(range(total))
    take = threading.Lock()

    def work() -> None:
        try:
            while not cancel.cancelled:
                with take:
                    index = next(next_job, None)
                if index is None:
                    return
                finished.put((index, _run(prepared[index], sync, format, clone, byte_order, None, cancel)))
        except BaseException as error:  # handed to the calling thread, raised there
            finished.put((None, error))

    threads = [threading.Thread(target=work, name=f"vellox-{i}", daemon=True) for i in range(min(workers, total))]
    for thread in threads:
        thread.start()
    try:
        for done in range(1, total + 1):
            index, outcome = finished.get()
            if index is None:
                raise outcome
            outcomes[index] = outcome
            if progress is not None:
                progress(done, total, outcome)
    except BaseException:
        cancel.cancel()
        raise
    finally:
        for thread in threads:
            thread.join()
    return outcomes  # type: ignore[return-value]


def _check_independent(jobs: list[_Job]) -> None:
    writers: dict[bytes, int] = {}
    for index, job in enumerate(jobs):
        target = os.path.normpath(os.path.join(job.output_dir, job.new_file_name))
        if target in writers:
            raise ValueError(f"job {index}: the output {job.output!r} is also written by job {writers[target]}")
        writers[target] = index
    for index, job in enumerate(jobs):
        for name in job.file_names.split(b",")[:-1]:
            writer = writers.get(os.path.normpath(name))
            if writer is not None and writer != index:
                raise ValueError(f"job {index}: the input {os.fsdecode(name)!r} is written by job {writer}")


def remove_temporary_files() -> None:
    """Remove the hidden temporary outputs of merges running in this process.

    For a process about to end on a signal (say in a SIGTERM handler): where
    the file system cannot make unnamed files, a running merge writes a hidden
    ``.vellox-XXXXXX.tmp`` beside its target, which this removes.
    """
    _vellox.remove_temporary_files()
