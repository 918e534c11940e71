"""Where the ``qulo`` command's bytes go.

A sink takes the output: :func:`open_output` makes one for a path given
with -o (a regular file is an :class:`AtomicSink`, replaced in one step),
:func:`descriptor_sink` for a descriptor the process already has (standard
output among them). A sink ends with ``commit()`` (every byte is in place)
or ``abort()`` (a replaced file keeps its old contents). :func:`same_file`
tells when an output would write over a file the run reads.
"""

from __future__ import annotations

import errno
import fcntl
import os
import re
import select
import socket
import stat
import tempfile
from collections.abc import Callable
from typing import Protocol

from ._failures import BadInput, IOFailure, ReaderGone, failure, os_error, show

_NAME_MAX = 255  # bytes in one file name on the usual file systems


def same_file(a: os.stat_result | None, b: os.stat_result | None) -> bool:
    """Whether both are one regular file (one device, one inode)."""
    return (a is not None and b is not None and stat.S_ISREG(a.st_mode)
            and (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino))


class Output(Protocol):
    """What the pump writes to: a sink, or something that wraps one."""

    def write(self, data: memoryview | bytes) -> None: ...
    def commit(self) -> None: ...
    def abort(self) -> None: ...


def write_all(fd: int, data: memoryview | bytes, name: str) -> None:
    """Writes every byte or raises: short writes are resumed, a non-blocking
    descriptor is waited on, a closed pipe raises ReaderGone."""
    view = memoryview(data).cast("B")
    while view:
        try:
            n = os.write(fd, view)
        except BlockingIOError:
            select.select([], [fd], [])  # non-blocking: wait until it takes data
            continue
        except BrokenPipeError:
            raise ReaderGone() from None
        except OSError as e:
            raise IOFailure(f"cannot write {name}: {os_error(e)}") from None
        if n <= 0:
            raise IOFailure(f"cannot write {name}: it took no bytes")
        view = view[n:]


class FdSink:
    """A descriptor written as the data comes: standard output, a FIFO, a
    character device or a socket. `file` is what it is open on."""

    def __init__(self, fd: int, name: str, owned: bool, file: os.stat_result,
                 keep: object = None) -> None:
        self.fd = fd
        self.name = name
        self.owned = owned
        self.file = file
        self._keep = keep  # a socket object must outlive its descriptor's use
        self.started = False  # whether any byte may have reached it (a failed write may have taken some)

    def write(self, data: memoryview | bytes) -> None:
        if data:
            self.started = True
        write_all(self.fd, data, self.name)

    def _close(self) -> None:
        if self.owned and self.fd >= 0:
            fd, self.fd = self.fd, -1
            if self._keep is not None:
                self._keep.close()  # type: ignore[attr-defined]
            else:
                try:
                    os.close(fd)
                except OSError as e:
                    raise IOFailure(f"cannot write {self.name}: {os_error(e)}") from None

    def commit(self) -> None:
        self._close()

    def abort(self) -> None:
        try:
            self._close()
        except IOFailure:
            pass


def descriptor_sink(fd: int, name: str) -> FdSink:
    """A descriptor the process already has: standard output, or the one a
    path such as /dev/fd/N names. It is written in place and left open, so
    the data lands where its opener meant (at the end of a file opened for
    appending, say)."""
    try:
        writable = fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_ACCMODE != os.O_RDONLY
        st = os.fstat(fd)
    except OSError as e:
        raise IOFailure(f"cannot write {name}: {os_error(e)}") from None
    if not writable:
        raise IOFailure(f"cannot write {name}: {os.strerror(errno.EBADF)}")
    return FdSink(fd, name, owned=False, file=st)


# This process's descriptors as a folder, once links are resolved:
# /proc/PID/fd, or /proc/PID/task/TID/fd by way of /proc/thread-self.
_FD_FOLDER = re.compile(r"/proc/(\d+)(?:/task/\d+)?/fd")
_LINKS_FOLLOWED = 40  # as many as the kernel follows in one path


def descriptor_named(path: str) -> int | None:
    """The descriptor of this process that `path` names (/dev/stdout,
    /dev/fd/N, /proc/self/fd/N, or a link to one of these), or None.

    The links are followed one at a time and the last one, /proc/PID/fd/N,
    is not: it leads to whatever the descriptor is open on (a file, which
    would then be replaced by name, or a pipe, which has none).
    """
    for _ in range(_LINKS_FOLLOWED):
        folder, name = os.path.split(os.path.abspath(path))
        folder = os.path.realpath(folder)
        found = _FD_FOLDER.fullmatch(folder)
        if found and int(found[1]) == os.getpid() and name.isascii() and name.isdigit():
            return int(name)
        try:
            path = os.path.join(folder, os.readlink(os.path.join(folder, name)))
        except OSError:
            return None  # not a link
    return None


def _temporary_name_parts(target: bytes) -> tuple[bytes, bytes]:
    """Prefix and suffix of a temporary name beside `target` that stays
    within the 255-byte limit however long the target's name is."""
    suffix = b".tmp"
    room = _NAME_MAX - len(suffix) - 8 - 2  # 8 random characters go between
    return b"." + os.path.basename(target)[:room] + b".", suffix


def _new_file_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _unnamed_file(folder: int) -> int:
    """A new file in `folder` that has no name yet (O_TMPFILE), or -1 where
    the system cannot make one or has no /proc to name it by later."""
    flag = getattr(os, "O_TMPFILE", 0)
    if not flag or not os.path.isdir("/proc/self/fd"):
        return -1
    try:
        return os.open(".", flag | os.O_WRONLY | os.O_CLOEXEC, 0o600, dir_fd=folder)
    except OSError as e:
        if e.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
            return -1  # a file system (or a kernel) without unnamed files
        raise


class AtomicSink:
    """A regular file, replaced in one step on commit or left as it was.

    The data goes to a new file in the target's folder (a rename must not
    cross file systems). Where the file system offers it, that file has no
    name while it is written, so that nothing is left behind even when the
    process is killed outright; on commit it is linked in under a temporary
    name and renamed over the target (or linked in under the target's name
    when there is no target yet). Elsewhere it is a named temporary
    (.NAME.XXXXXXXX.tmp) from the start, removed on every failure the
    process lives to see.

    On commit the file takes the old one's owner and group where the
    process may, and its permission bits without setuid and setgid (a
    ciphertext is no program); it is synced before it gets a name, and the
    folder after, so that the rename survives a crash.
    """

    def __init__(self, target: str, name: str) -> None:
        self.name = name
        path = os.fsencode(os.path.abspath(target))
        self._base = os.path.basename(path)
        self._prefix, self._suffix = _temporary_name_parts(path)
        self.tmp = b""  # the temporary's name in the folder, while it has one
        self.fd = -1
        try:
            self.file: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            self.file = None
        except OSError as e:
            raise failure(f"-o: cannot write {name}", e) from None
        try:
            self._folder = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError as e:
            raise failure(f"-o: cannot write {name}", e) from None
        try:
            self.fd = _unnamed_file(self._folder)
            if self.fd < 0:
                self.fd, tmp = tempfile.mkstemp(self._suffix, self._prefix, os.path.dirname(path))
                self.tmp = os.path.basename(tmp)
        except OSError as e:
            self.abort()
            raise failure(f"-o: cannot write {name}", e) from None

    def write(self, data: memoryview | bytes) -> None:
        write_all(self.fd, data, self.name)

    def commit(self) -> None:
        try:
            if self.file is not None:
                self._keep_owner(self.file)
                os.fchmod(self.fd, stat.S_IMODE(self.file.st_mode) & ~(stat.S_ISUID | stat.S_ISGID))
            else:
                os.fchmod(self.fd, _new_file_mode())
            os.fsync(self.fd)
            in_place = False if self.tmp else self._link_in()
            fd, self.fd = self.fd, -1
            os.close(fd)  # closed even when it reports an error
            if not in_place:
                os.replace(self.tmp, self._base, src_dir_fd=self._folder, dst_dir_fd=self._folder)
                self.tmp = b""
        except OSError as e:
            self.abort()
            raise IOFailure(f"cannot write {self.name}: {os_error(e)}") from None
        try:
            os.fsync(self._folder)
        except OSError:
            pass  # the data is in place; only its durability across a crash is in doubt
        finally:
            self._close_folder()

    def _link_in(self) -> bool:
        """Names the unnamed file: the target's name where there is no
        target (True), else a temporary name to rename from (False)."""
        # The folder descriptor makes this a linkat that follows the link
        # in /proc to the file itself.
        def link(name: bytes) -> None:
            os.link(f"/proc/self/fd/{self.fd}", name, dst_dir_fd=self._folder, follow_symlinks=True)

        if self.file is None:
            try:
                link(self._base)
                return True
            except FileExistsError:
                pass  # made meanwhile: replaced like any other
        while True:
            name = self._prefix + os.urandom(4).hex().encode() + self._suffix
            try:
                link(name)
            except FileExistsError:
                continue
            self.tmp = name
            return False

    def _keep_owner(self, old: os.stat_result) -> None:
        for uid in (old.st_uid, -1):
            try:
                os.fchown(self.fd, uid, old.st_gid)
                return
            except PermissionError:
                continue

    def _close_folder(self) -> None:
        if self._folder >= 0:
            os.close(self._folder)
            self._folder = -1

    def abort(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        if self.tmp:
            try:
                os.unlink(self.tmp, dir_fd=self._folder)
            except FileNotFoundError:
                pass
            self.tmp = b""
        self._close_folder()


Vet = Callable[[os.stat_result, str], None]


def open_output(path: str, vet: Vet, files_only: str = "") -> FdSink | AtomicSink:
    """A sink for the path given with -o; what it does depends on what the
    path names (see each kind of sink). `vet` is shown the file the output
    would write and its name, before anything is made or written there, and
    raises to refuse it (a file that does not exist yet is not shown).
    With `files_only` (the reason, for the message) anything but a regular
    file, or none yet, is refused before it is opened."""
    shown = show(path)
    fd = descriptor_named(path)
    if fd is not None and files_only:
        raise BadInput(f"-o: {shown} is a descriptor, not a file: {files_only}")
    if fd is not None:
        sink = descriptor_sink(fd, shown)
        vet(sink.file, shown)  # a descriptor of the process's own: nothing to undo
        return sink
    # A link is followed to the file it names, which is then replaced or
    # written like any other: the link stays a link.
    target = os.path.realpath(path) if os.path.islink(path) else path
    try:
        st = os.stat(target)
    except FileNotFoundError:
        folder = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(folder):
            raise BadInput(f"-o: cannot write {shown}: folder {show(folder)} does not exist") from None
        return AtomicSink(target, shown)
    except OSError as e:
        raise failure(f"-o: cannot write {shown}", e) from None
    vet(st, shown)
    mode = st.st_mode
    if stat.S_ISREG(mode):
        return AtomicSink(target, shown)
    if stat.S_ISDIR(mode):
        raise BadInput(f"-o: {shown} is a folder; give a file name")
    if stat.S_ISBLK(mode):
        raise BadInput(
            f"-o: {shown} is a block device; qulo writes files, FIFOs, sockets and character devices"
        )
    if files_only:
        raise BadInput(f"-o: {shown} is not a regular file: {files_only}")
    if stat.S_ISSOCK(mode):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(target)
        except OSError as e:
            sock.close()
            raise IOFailure(f"-o: cannot connect to socket {shown}: {os_error(e)}") from None
        return FdSink(sock.fileno(), shown, owned=True, file=st, keep=sock)
    # A FIFO or a character device: written in place, never replaced.
    try:
        fd = os.open(target, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as e:
        raise failure(f"-o: cannot write {shown}", e) from None
    return FdSink(fd, shown, owned=True, file=st)
