"""How the ``qulo`` command's reads and writes fail: one-line messages.

:class:`BadInput` when a path names nothing usable, :class:`IOFailure` when
the system refused a read or a write, :class:`ReaderGone` when the reader of
the output closed it. Sources and sinks raise them; the command turns them
into its exit statuses.
"""

from __future__ import annotations

import errno
import os


class BadInput(Exception):
    """A problem with what the user gave; its text is the one-line message."""


class IOFailure(Exception):
    """Reading or writing failed; its text is the one-line message."""


class ReaderGone(Exception):
    """The reader of the output closed it."""


def show(path: str | bytes) -> str:
    """A path as it can stand in a one-line message."""
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if path.isprintable():
        return path
    return repr(path)  # escapes newlines and other control characters


def os_error(e: OSError) -> str:
    return e.strerror or str(e)


_NOTHING_THERE = frozenset({errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.ELOOP, errno.ENAMETOOLONG})


def failure(message: str, e: OSError) -> Exception:
    """A path that names nothing usable is bad input; anything else the
    system refused is an I/O failure."""
    text = f"{message}: {os_error(e)}"
    return BadInput(text) if e.errno in _NOTHING_THERE else IOFailure(text)
