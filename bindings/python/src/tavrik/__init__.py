"""Gives PDF files meaningful names.

Python bindings to the tavrik library. ``suggest`` reads a PDF and proposes a
file name for it, ``rename`` moves the file under that name, and ``batch``
renames every PDF of a directory. The name comes from the document's title,
from the first line of its text, or from its date and title: the *strategy*,
given by name ("title", "first-line", "date+title") or by number (0, 1, 2).

No file is ever overwritten (a taken name gets a counter, "Report-2.pdf") and
no PDF is ever changed: the only effects are directories created and files
moved.

>>> import tavrik
>>> tavrik.suggest("scan0001.pdf")                          # doctest: +SKIP
'Annual Report 2023.pdf'
>>> tavrik.rename("scan0001.pdf", "date+title", "sorted")   # doctest: +SKIP
'sorted/2024-02-21 Annual Report 2023.pdf'

The library leaves its results in static buffers and is not reentrant, so
every call here holds one lock, over the call and over reading its results:
any number of threads may use the package, and each gets the answer for its
own file (the calls themselves run one at a time).

The library is looked for in this order: the one bundled with the package
(built by ``pip install``), the file that the environment variable
``TAVRIK_LIBRARY`` names, and the system's library path.
"""

from __future__ import annotations

import ctypes
import operator
import os
import re
import sys
import threading
from typing import Literal, NamedTuple, Optional, Union

__all__ = ["Error", "BatchResult", "STRATEGIES", "suggest", "rename", "batch", "library_path"]

try:
    from ._version import version as __version__
except ImportError:  # running from the source tree, not installed
    __version__ = "unknown"

#: The strategy names, in the order of their numbers.
STRATEGIES = ("title", "first-line", "date+title")

#: A path as the ``os`` functions take it.
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
#: A strategy by name or by number.
Strategy = Union[Literal["title", "first-line", "date+title"], int]

_WINDOWS = sys.platform == "win32"
if _WINDOWS:
    _LIBRARY_NAME = "tavrik.dll"
elif sys.platform == "darwin":
    _LIBRARY_NAME = "libtavrik.1.dylib"
else:
    _LIBRARY_NAME = "libtavrik.so.1"


class Error(Exception):
    """A call failed. ``str(error)`` and ``error.message`` are the library's own message."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class BatchResult(NamedTuple):
    """What ``batch`` did: how many files it renamed, and its summary message."""

    renamed: int
    """Files moved under their names, or found already named so."""
    message: str
    """"renamed N file(s)", or "renamed N file(s), M failed"."""

    @property
    def failed(self) -> int:
        """Files that could not be named or moved; each was left where it was."""
        match = _FAILED_COUNT.search(self.message)
        return int(match.group(1)) if match else 0


_FAILED_COUNT = re.compile(r", (\d+) failed$")

# One lock for the whole process: the library's buffers are process-wide, and a
# result must be read before another call can overwrite it.
_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_lib_path = ""


def _reset_lock_after_fork() -> None:
    # A child forked while another thread held the lock would wait on it forever.
    global _lock
    _lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_reset_lock_after_fork)


def _load() -> ctypes.CDLL:
    """The library, loaded on first use; the caller holds the lock."""
    global _lib, _lib_path
    if _lib is not None:
        return _lib
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), _LIBRARY_NAME)
    from_env = os.environ.get("TAVRIK_LIBRARY", "")
    if os.path.isfile(bundled):
        path, where = bundled, "the tavrik library bundled with this package"
    elif from_env:
        path, where = from_env, "the tavrik library that TAVRIK_LIBRARY names"
    else:
        path, where = _LIBRARY_NAME, (
            "the tavrik library: none is bundled with this package, TAVRIK_LIBRARY is not set, "
            "and the system's library path does not have it")
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise OSError(f"cannot load {where} ({path}): {e}") from None
    char_p, c_int = ctypes.c_char_p, ctypes.c_int
    try:
        for name, restype, argtypes in (
            ("tavrik_suggest", char_p, [char_p, c_int]),
            ("tavrik_rename", c_int, [char_p, c_int, char_p]),
            ("tavrik_batch", c_int, [char_p, char_p, c_int]),
            ("tavrik_last_error", char_p, []),
            ("tavrik_last_result_path", char_p, []),
        ):
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
    except AttributeError as e:
        raise OSError(f"{path} is not the tavrik library: {e}") from None
    _lib, _lib_path = lib, path
    return lib


def library_path() -> str:
    """The library in use: its path, or its bare name when the system's search found it.

    Loads it if no call has yet; raises ``OSError`` when it cannot be found.
    """
    with _lock:
        _load()
        return _lib_path


def _encode_path(path: StrPath, what: str) -> bytes:
    raw = os.fspath(path)
    if isinstance(raw, str):
        # On Windows the library takes paths in the ANSI code page, as the
        # narrow system calls read them; os.fsencode would give UTF-8.
        raw = raw.encode("mbcs") if _WINDOWS else os.fsencode(raw)
    if b"\0" in raw:
        # The library would see only the text before it: another path.
        raise ValueError(f"{what}: embedded null byte")
    return raw


def _encode_dir(path: Optional[StrPath], what: str) -> Optional[bytes]:
    return None if path is None else _encode_path(path, what)


def _decode_path(raw: bytes) -> str:
    # Paths and messages carry the caller's path bytes; decoded so, they encode
    # back to the same bytes.
    return raw.decode("mbcs", "replace") if _WINDOWS else os.fsdecode(raw)


def _strategy_number(strategy: Strategy) -> int:
    if isinstance(strategy, str):
        try:
            return STRATEGIES.index(strategy)
        except ValueError:
            raise ValueError(f"unknown strategy {strategy!r} (title, first-line, date+title or 0, 1, 2)") from None
    if isinstance(strategy, bool):
        raise TypeError("strategy must be a name or a number, not bool")
    try:
        number = operator.index(strategy)
    except TypeError:
        raise TypeError(f"strategy must be a name or a number, not {type(strategy).__name__}") from None
    if not 0 <= number <= 2:
        raise ValueError(f"unknown strategy {number} (title, first-line, date+title or 0, 1, 2)")
    return number


def suggest(path: StrPath, strategy: Strategy = "title") -> str:
    """The file name that ``path`` would get: UTF-8 text ending in ".pdf".

    Reads the PDF and changes nothing. Raises ``Error`` with the library's
    message when the file is not a PDF, is encrypted, or gives no name by this
    strategy; ``ValueError`` for an unknown strategy.
    """
    raw = _encode_path(path, "path")
    number = _strategy_number(strategy)
    with _lock:
        lib = _load()
        name: bytes = lib.tavrik_suggest(raw, number)
        message: bytes = b"" if name else lib.tavrik_last_error()
    if not name:
        raise Error(_decode_path(message))
    return name.decode("utf-8", "surrogateescape")


def rename(path: StrPath, strategy: Strategy = "title", output_dir: Optional[StrPath] = None) -> str:
    """Moves the PDF at ``path`` under its suggested name; returns the destination.

    The file goes into ``output_dir`` (created when missing), or stays in its
    own directory when that is ``None`` or empty. An existing file is never
    replaced: a taken name gets a counter ("Report-2.pdf"). A file that has its
    name already stays where it is, and its path is returned. Raises ``Error``
    with the library's message on failure; the file is then left where it was.
    """
    raw = _encode_path(path, "path")
    out = _encode_dir(output_dir, "output_dir")
    number = _strategy_number(strategy)
    with _lock:
        lib = _load()
        ok = lib.tavrik_rename(raw, number, out)
        result: bytes = lib.tavrik_last_result_path() if ok else b""
        message: bytes = b"" if ok else lib.tavrik_last_error()
    if not ok:
        raise Error(_decode_path(message))
    return _decode_path(result)


def batch(input_dir: StrPath, output_dir: Optional[StrPath] = None, strategy: Strategy = "title") -> BatchResult:
    """Renames every ``*.pdf`` file of ``input_dir`` (not of its subdirectories).

    Files go into ``output_dir`` (created when missing), or are renamed in place
    when that is ``None`` or empty; names are given in the sorted order of the
    files' old names. A file that fails is left where it was and the others go
    on. Returns the count of files renamed and the summary message; raises
    ``Error`` with the library's message when none could be renamed (no such
    directory, no PDF in it, or every file failed).
    """
    raw = _encode_path(input_dir, "input_dir")
    out = _encode_dir(output_dir, "output_dir")
    number = _strategy_number(strategy)
    with _lock:
        lib = _load()
        renamed = lib.tavrik_batch(raw, out, number)
        message: bytes = lib.tavrik_last_error()
    if renamed <= 0:
        raise Error(_decode_path(message))
    return BatchResult(renamed, _decode_path(message))
