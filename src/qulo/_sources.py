"""Where the ``qulo`` command's bytes come from.

A :class:`Source` reads a descriptor (a file, standard input) or bytes
already in memory (hex given on the command line), and knows their number
where it is known ahead. :func:`spool` turns an input of unknown length
into one of known length. :func:`read_head` reads the start of a small file
(a key, a sum table).
"""

from __future__ import annotations

import os
import select
import stat
import tempfile
from typing import Protocol

from ._failures import BadInput, IOFailure, failure, os_error, show
from ._sinks import write_all

CHUNK = 1 << 20  # read size: large enough that the cipher runs at full rate


class Progress(Protocol):
    def __call__(self, done: int, /) -> object: ...


def read_head(what: str, path: str, limit: int) -> tuple[bytes, os.stat_result]:
    """The first `limit` bytes of a small file (a key, say) and one more, so
    that the caller sees when there are more; and what the file is."""
    try:
        with open(path, "rb") as f:
            return f.read(limit + 1), os.fstat(f.fileno())
    except OSError as e:
        raise failure(f"{what}: cannot read {show(path)}", e) from None


class Source:
    """Where the input comes from: a descriptor, or bytes already in memory.

    `size` is the number of bytes it will give where that is known ahead,
    `file` what the descriptor is open on (None for bytes in memory).
    """

    def __init__(self, name: str, fd: int = -1, data: bytes | None = None,
                 size: int | None = None, owned: bool = False,
                 file: os.stat_result | None = None) -> None:
        self.name = name
        self.fd = fd
        self.data = data
        self.size = size if data is None else len(data)
        self.owned = owned
        self.file = file
        self._at = 0

    def readinto(self, buf: memoryview) -> int:
        if self.data is not None:
            n = min(len(buf), len(self.data) - self._at)
            buf[:n] = self.data[self._at:self._at + n]
            self._at += n
            return n
        while True:
            try:
                return os.readv(self.fd, [buf])
            except BlockingIOError:
                select.select([self.fd], [], [])  # non-blocking: wait until it has data
            except OSError as e:
                raise IOFailure(f"cannot read {self.name}: {os_error(e)}") from None

    def close(self) -> None:
        if self.owned and self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def standard_input() -> Source:
    try:
        st = os.fstat(0)
    except OSError as e:
        raise IOFailure(f"cannot read standard input: {os_error(e)}") from None
    size = None
    if stat.S_ISREG(st.st_mode):
        # A file given as standard input may have been read from already.
        size = max(st.st_size - os.lseek(0, 0, os.SEEK_CUR), 0)
    return Source("standard input", 0, size=size, file=st)


def open_file(what: str, path: str) -> Source:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as e:
        raise failure(f"{what}: cannot read {show(path)}", e) from None
    st = os.fstat(fd)
    if stat.S_ISDIR(st.st_mode):
        os.close(fd)
        raise BadInput(f"{what}: {show(path)} is a folder, not a file")
    size = st.st_size if stat.S_ISREG(st.st_mode) else None
    return Source(show(path), fd, size=size, owned=True, file=st)


def spool(source: Source, progress: Progress) -> Source:
    """Copies an input of unknown length to an unnamed temporary file, from
    which it is then read with its length known."""
    try:
        fd, path = tempfile.mkstemp(prefix="qulo-spool-")
        os.unlink(path)  # nothing is left behind, whatever ends the run
    except OSError as e:
        raise IOFailure(f"cannot make a temporary file to hold {source.name}: {os_error(e)}") from None
    spooled = Source(source.name, fd, owned=True)
    view = memoryview(bytearray(CHUNK))
    size = 0
    try:
        while n := source.readinto(view):
            write_all(fd, view[:n], f"a temporary file holding {source.name}")
            size += n
            progress(n)
        os.lseek(fd, 0, os.SEEK_SET)
    except BaseException:
        spooled.close()
        raise
    spooled.size = size
    return spooled
