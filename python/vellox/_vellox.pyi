# Stubs of the native module; the package `vellox` wraps it.
from typing import Any, Callable, Optional

_PageTuple = tuple[int, bytes]
_FileTuple = tuple[bytes, str, int, int, bytes, list[_PageTuple], list[_PageTuple], list[_PageTuple]]
_ReportTuple = tuple[int, bytes, int, int, list[_FileTuple], bool]

class CancelToken:
    def __init__(self) -> None: ...
    def cancel(self) -> None: ...
    @property
    def cancelled(self) -> bool: ...

def version() -> str: ...
def merge(
    file_names: bytes,
    output_dir: bytes,
    new_file_name: bytes,
    sync: bool = False,
    format: str = "auto",
    clone: str = "never",
    byte_order: str = "first",
    progress: Optional[Callable[[_ReportTuple], Any]] = None,
    check_signals: bool = False,
    cancel: Optional[CancelToken] = None,
) -> tuple[int, bytes, _ReportTuple]: ...
def remove_temporary_files() -> None: ...
