"""The ``qulo`` command: encrypt and decrypt files or pipes in the qq mode.

    qulo encrypt --key-file my.key notes.txt -o notes.qq
    qulo decrypt --key-file my.key notes.qq -o notes.txt
    qulo demo

Data streams through in chunks, so files of any size run in constant
memory. Every byte reaches the output or the run fails with one line on
standard error: exit status 0 on success, 1 when reading or writing failed,
2 on bad input. A file given with -o is replaced atomically or not at all.
"""

from __future__ import annotations

import argparse
import errno
import os
import queue
import select
import signal
import socket
import stat
import string
import sys
import tempfile
import threading
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, wait
from contextlib import contextmanager
from typing import Any, NoReturn, Protocol

from . import TEA, Decryptor, Encryptor, __version__

KEY_BYTES = 16
SUMTABLE_BYTES = 64
CHUNK = 1 << 20  # read size: large enough that the cipher runs at full rate

EXIT_OK = 0
EXIT_IO = 1  # reading or writing failed (or the reader of our output went away)
EXIT_BAD_INPUT = 2

_NAME_MAX = 255  # bytes in one file name on the usual file systems

_EXAMPLES = """\
examples:
  qulo encrypt --key-file my.key notes.txt -o notes.qq
  qulo decrypt --key-file my.key notes.qq -o notes.txt
  tar c photos | qulo encrypt --key-file my.key -o photos.tar.qq
  echo -n hello | qulo encrypt --key-file my.key --hex
  qulo decrypt --key-file my.key --hex-input "$(cat message.hex)" --force

A key file holds 16 raw bytes, or 32 hex digits and an optional newline.
-k puts the key on the command line, where other users can read it in the
process list: prefer --key-file.

Without --sumtable/--sumtable-file the standard TEA round sums are used and
each 8-byte block is read big-endian. A sum table is 64 bytes: sixteen
32-bit round sums in host byte order. --native-endian (only with a sum
table) reads each block in host byte order instead.

Raw bytes are not written to a terminal (use --hex, -o PATH or --force).
-o replaces a regular file atomically, writes through a symbolic link to its
target, and writes straight into a FIFO, socket or character device.

Exit status: 0 on success, 1 when reading or writing failed, 2 on bad input
(the reason is one line on standard error). Decryption checks only the
ciphertext's shape: a wrong key or an altered ciphertext gives meaningless
bytes, not an error.
"""

_DEMO_KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")
_DEMO_TEXT = b"qulo: TEA in the padded, doubly chained qq mode"


class BadInput(Exception):
    """A problem with what the user gave; its text is the one-line message."""


class IOFailure(Exception):
    """Reading or writing failed; its text is the one-line message."""


class _ReaderGone(Exception):
    """The reader of our output closed it: end quietly."""


class _Signalled(BaseException):
    """SIGTERM or SIGHUP arrived; unwinds like KeyboardInterrupt."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _Parser(argparse.ArgumentParser):
    # Usage errors end like every other bad input: one line, status 2.
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {_one_line(message)} (see {self.prog} --help)\n")


def _one_line(text: str) -> str:
    return text.replace("\r", "\\r").replace("\n", "\\n")


def _show(path: str | bytes) -> str:
    """A path as it can stand in a one-line message."""
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if path.isprintable():
        return path
    return repr(path)  # escapes newlines and other control characters


def _os_error(e: OSError) -> str:
    return e.strerror or str(e)


# ---- keys, sum tables and hex ----------------------------------------------------------

_HEX_DIGITS = frozenset(string.hexdigits)


def _parse_hex(what: str, text: str) -> bytes:
    """Hex digits in either case; whitespace anywhere is ignored."""
    digits = "".join(text.split())
    for i, ch in enumerate(digits):
        if ch not in _HEX_DIGITS:
            raise BadInput(
                f"{what}: expected hex digits (0-9, a-f or A-F; whitespace is ignored), "
                f"found {ch!r} at digit {i + 1}"
            )
    if len(digits) % 2:
        raise BadInput(f"{what}: {len(digits)} hex digits, an odd number: each byte takes two")
    return bytes.fromhex(digits)


def _sized_hex(what: str, text: str, size: int) -> bytes:
    data = _parse_hex(what, text)
    if len(data) != size:
        raise BadInput(f"{what}: {2 * len(data)} hex digits given, {2 * size} needed ({size} bytes)")
    return data


def _open_failure(what: str, path: str, e: OSError) -> Exception:
    """A path that names nothing usable is bad input; anything else the
    system refused is an I/O failure."""
    message = f"{what}: cannot read {_show(path)}: {_os_error(e)}"
    if e.errno in (errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.ELOOP, errno.ENAMETOOLONG):
        return BadInput(message)
    return IOFailure(message)


def _read_small(what: str, path: str, limit: int) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(limit + 1)
    except OSError as e:
        raise _open_failure(what, path, e) from None


def _looks_like_text(data: bytes) -> bool:
    return all(32 <= b < 127 or b in b"\t\n\r" for b in data)


def _secret_file(what: str, path: str, size: int, kind: str) -> bytes:
    """`size` raw bytes, or 2*size hex digits with an optional newline."""
    data = _read_small(what, path, 4 * size)
    if len(data) == size:
        return data
    shown = _show(path)
    if data and _looks_like_text(data):
        text = data.decode("ascii")
        body = text[:-2] if text.endswith("\r\n") else text[:-1] if text.endswith("\n") else text
        if len(body) == 2 * size and all(ch in _HEX_DIGITS for ch in body):
            return bytes.fromhex(body)
        raise BadInput(
            f"{what}: {shown} is a text file but not a {kind}: expected {2 * size} hex digits "
            f"and an optional newline (or {size} raw bytes)"
        )
    amount = f"more than {4 * size}" if len(data) > 4 * size else str(len(data))
    raise BadInput(f"{what}: {shown} holds {amount} bytes; a {kind} file holds exactly {size} bytes")


def _cipher(args: argparse.Namespace) -> tuple[TEA, dict[str, Any]]:
    if args.key is not None:
        key = _sized_hex("--key", args.key, KEY_BYTES)
    else:
        key = _secret_file("--key-file", args.key_file, KEY_BYTES, "key")
    sumtable: bytes | None = None
    if args.sumtable is not None:
        sumtable = _sized_hex("--sumtable", args.sumtable, SUMTABLE_BYTES)
    elif args.sumtable_file is not None:
        sumtable = _secret_file("--sumtable-file", args.sumtable_file, SUMTABLE_BYTES, "sum table")
    if args.native_endian and sumtable is None:
        raise BadInput("--native-endian needs a sum table (--sumtable or --sumtable-file)")
    return TEA(key), {"sumtable": sumtable, "native_endian": args.native_endian}


# ---- reading ---------------------------------------------------------------------------


def _wait(fd: int, for_write: bool) -> None:
    """Blocks until a non-blocking descriptor is ready."""
    if for_write:
        select.select([], [fd], [])
    else:
        select.select([fd], [], [])


class Source:
    """Where the input comes from: a descriptor, or bytes already in memory."""

    def __init__(self, name: str, fd: int = -1, data: bytes | None = None,
                 size: int | None = None, owned: bool = False) -> None:
        self.name = name
        self.fd = fd
        self.data = data
        self.size = size if data is None else len(data)
        self.owned = owned
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
                _wait(self.fd, for_write=False)
            except OSError as e:
                raise IOFailure(f"cannot read {self.name}: {_os_error(e)}") from None

    def close(self) -> None:
        if self.owned and self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def _open_input(args: argparse.Namespace) -> Source:
    if args.hex_input is not None:
        if args.input is not None:
            raise BadInput("give either INPUT or --hex-input, not both")
        return Source("--hex-input", data=_parse_hex("--hex-input", args.hex_input))
    if args.input is None or args.input == "-":
        try:
            st = os.fstat(0)
        except OSError as e:
            raise IOFailure(f"cannot read standard input: {_os_error(e)}") from None
        if args.input is None and os.isatty(0):
            raise BadInput(
                "no input given and standard input is a terminal: name a file, use "
                "--hex-input, or send the data through a pipe (- reads the terminal)"
            )
        size = None
        if stat.S_ISREG(st.st_mode):
            # A file given as standard input may have been read from already.
            size = max(st.st_size - os.lseek(0, 0, os.SEEK_CUR), 0)
        return Source("standard input", 0, size=size)
    try:
        fd = os.open(args.input, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as e:
        raise _open_failure("INPUT", args.input, e) from None
    st = os.fstat(fd)
    if stat.S_ISDIR(st.st_mode):
        os.close(fd)
        raise BadInput(f"INPUT: {_show(args.input)} is a folder, not a file")
    size = st.st_size if stat.S_ISREG(st.st_mode) else None
    return Source(_show(args.input), fd, size=size, owned=True)


# ---- writing ---------------------------------------------------------------------------


class Sink(Protocol):
    def write(self, data: memoryview | bytes) -> None: ...
    def commit(self) -> None: ...
    def abort(self) -> None: ...


def _write_all(fd: int, data: memoryview | bytes, name: str) -> None:
    """Writes every byte or raises: short writes are resumed, a non-blocking
    descriptor is waited on, a closed pipe ends the run quietly."""
    view = memoryview(data).cast("B")
    while view:
        try:
            n = os.write(fd, view)
        except BlockingIOError:
            _wait(fd, for_write=True)
            continue
        except BrokenPipeError:
            raise _ReaderGone() from None
        except OSError as e:
            raise IOFailure(f"cannot write {name}: {_os_error(e)}") from None
        if n <= 0:
            raise IOFailure(f"cannot write {name}: it took no bytes")
        view = view[n:]


class FdSink:
    """Standard output, a FIFO, a character device or a socket: written as
    the data comes."""

    def __init__(self, fd: int, name: str, owned: bool, keep: object = None) -> None:
        self.fd = fd
        self.name = name
        self.owned = owned
        self._keep = keep  # a socket object must outlive its descriptor's use

    def write(self, data: memoryview | bytes) -> None:
        _write_all(self.fd, data, self.name)

    def _close(self) -> None:
        if self.owned and self.fd >= 0:
            fd, self.fd = self.fd, -1
            if self._keep is not None:
                self._keep.close()  # type: ignore[attr-defined]
            else:
                try:
                    os.close(fd)
                except OSError as e:
                    raise IOFailure(f"cannot write {self.name}: {_os_error(e)}") from None

    def commit(self) -> None:
        self._close()

    def abort(self) -> None:
        try:
            self._close()
        except IOFailure:
            pass


def _temporary_name_parts(target: str) -> tuple[bytes, bytes, bytes]:
    """Folder, prefix and suffix of a temporary file beside `target` whose
    name stays within the 255-byte limit however long the target's is."""
    folder, base = os.path.split(os.fsencode(target))
    suffix = b".tmp"
    room = _NAME_MAX - len(suffix) - 8 - 2  # mkstemp adds 8 characters
    return folder or b".", b"." + base[:room] + b".", suffix


def _new_file_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


class AtomicSink:
    """A regular file, replaced in one step on commit or left as it was.

    The data goes to a temporary file in the target's folder (the rename
    must not cross file systems). On commit it takes the old file's owner
    and group where the process may and its permission bits without setuid
    and setgid (a ciphertext is no program), is synced, and renamed over the
    target; the folder is synced so that the rename survives a crash.
    """

    def __init__(self, target: str, shown: str) -> None:
        self.target = target
        self.shown = shown
        try:
            self.old: os.stat_result | None = os.stat(target)
        except FileNotFoundError:
            self.old = None
        folder, prefix, suffix = _temporary_name_parts(target)
        try:
            self.fd, self.tmp = tempfile.mkstemp(suffix, prefix, folder)
        except OSError as e:
            raise _write_failure(shown, e) from None

    def write(self, data: memoryview | bytes) -> None:
        _write_all(self.fd, data, self.shown)

    def commit(self) -> None:
        try:
            if self.old is not None:
                self._keep_owner(self.old)
                os.fchmod(self.fd, stat.S_IMODE(self.old.st_mode) & ~(stat.S_ISUID | stat.S_ISGID))
            else:
                os.fchmod(self.fd, _new_file_mode())
            os.fsync(self.fd)
            os.close(self.fd)
            self.fd = -1
            os.replace(self.tmp, self.target)
        except OSError as e:
            self.abort()
            raise IOFailure(f"cannot write {self.shown}: {_os_error(e)}") from None
        self.tmp = b""
        try:
            folder = os.open(os.path.dirname(os.path.abspath(self.target)), os.O_RDONLY)
            try:
                os.fsync(folder)
            finally:
                os.close(folder)
        except OSError:
            pass  # the data is in place; only its durability across a crash is in doubt

    def _keep_owner(self, old: os.stat_result) -> None:
        for uid in (old.st_uid, -1):
            try:
                os.fchown(self.fd, uid, old.st_gid)
                return
            except PermissionError:
                continue

    def abort(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        if self.tmp:
            try:
                os.unlink(self.tmp)
            except FileNotFoundError:
                pass
            self.tmp = b""


def _write_failure(shown: str, e: OSError) -> Exception:
    message = f"-o: cannot write {shown}: {_os_error(e)}"
    if e.errno in (errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.ELOOP, errno.ENAMETOOLONG):
        return BadInput(message)
    return IOFailure(message)


def _refuse_terminal(fd: int, args: argparse.Namespace, name: str) -> None:
    if not args.hex and not args.force and os.isatty(fd):
        raise BadInput(
            f"refusing to write raw bytes to the terminal on {name}: "
            "use --hex for hex digits, -o PATH for a file, or --force"
        )


def _open_output(args: argparse.Namespace) -> Sink:
    path = args.output
    if path is None or path == "-":
        try:
            os.fstat(1)
        except OSError as e:
            raise IOFailure(f"cannot write standard output: {_os_error(e)}") from None
        _refuse_terminal(1, args, "standard output")
        return FdSink(1, "standard output", owned=False)

    shown = _show(path)
    # A link is followed to the file it names, which is then replaced or
    # written like any other: the link stays a link.
    target = os.path.realpath(path) if os.path.islink(path) else path
    try:
        st = os.stat(target)
    except FileNotFoundError:
        folder = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(folder):
            raise BadInput(f"-o: cannot write {shown}: folder {_show(folder)} does not exist") from None
        return AtomicSink(target, shown)
    except OSError as e:
        raise _write_failure(shown, e) from None
    mode = st.st_mode
    if stat.S_ISREG(mode):
        return AtomicSink(target, shown)
    if stat.S_ISDIR(mode):
        raise BadInput(f"-o: {shown} is a folder; give a file name")
    if stat.S_ISBLK(mode):
        raise BadInput(
            f"-o: {shown} is a block device; qulo writes files, FIFOs, sockets and character devices"
        )
    if stat.S_ISSOCK(mode):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(target)
        except OSError as e:
            sock.close()
            raise IOFailure(f"-o: cannot connect to socket {shown}: {_os_error(e)}") from None
        return FdSink(sock.fileno(), shown, owned=True, keep=sock)
    # A FIFO or a character device: written in place, never replaced.
    try:
        fd = os.open(target, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as e:
        raise _write_failure(shown, e) from None
    try:
        _refuse_terminal(fd, args, shown)
    except BadInput:
        os.close(fd)
        raise
    return FdSink(fd, shown, owned=True)


# ---- progress --------------------------------------------------------------------------


class _NoProgress:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


@contextmanager
def _progress(args: argparse.Namespace, total: int | None, what: str) -> Iterator[Any]:
    """A progress bar on standard error for long work: only on a terminal,
    never in CI logs, not with --quiet, and only once the work has run for a
    second (short runs show nothing)."""
    if args.quiet or os.environ.get("CI") or not sys.stderr.isatty():
        yield _NoProgress()
        return
    from tqdm import tqdm  # type: ignore[import-untyped]  # ships no type information

    # The sizes are scaled by 1024: "iB" makes them read MiB and GiB.
    bar = tqdm(total=total, desc=what, unit="iB", unit_scale=True, unit_divisor=1024,
               delay=1.0, leave=False, file=sys.stderr)
    try:
        yield bar
    finally:
        bar.close()


# ---- the run ---------------------------------------------------------------------------


def _spool(source: Source, args: argparse.Namespace) -> Source:
    """Copies an input of unknown length to an unnamed temporary file: the
    ciphertext's header needs the length before the first block."""
    try:
        fd, path = tempfile.mkstemp(prefix="qulo-spool-")
        os.unlink(path)  # nothing is left behind, whatever ends the run
    except OSError as e:
        raise IOFailure(f"cannot make a temporary file to hold {source.name}: {_os_error(e)}") from None
    spooled = Source(source.name, fd, owned=True)
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    size = 0
    try:
        with _progress(args, None, "reading") as bar:
            while n := source.readinto(view):
                _write_all(fd, view[:n], f"a temporary file holding {source.name}")
                size += n
                bar.update(n)
        os.lseek(fd, 0, os.SEEK_SET)
    except BaseException:
        spooled.close()
        raise
    spooled.size = size
    return spooled


def _not_a_ciphertext(n: int) -> BadInput:
    return BadInput(f"input is not a ciphertext: {n} bytes, a ciphertext is a multiple of 8 "
                    "and at least 16 bytes")


class _Helper:
    """One thread that runs the pump's reads and writes, one call at a time.

    A daemon thread, not an executor's: a run that a signal ends must not
    wait at exit for a write that is stuck on a pipe nobody reads.
    """

    def __init__(self) -> None:
        self._calls: queue.SimpleQueue[tuple[Future[Any], Callable[..., Any], tuple[Any, ...]] | None]
        self._calls = queue.SimpleQueue()
        threading.Thread(target=self._serve, name="qulo-io", daemon=True).start()

    def _serve(self) -> None:
        while (call := self._calls.get()) is not None:
            future, fn, args = call
            if future.set_running_or_notify_cancel():
                try:
                    future.set_result(fn(*args))
                except BaseException as e:  # handed to the pump, which raises it
                    future.set_exception(e)

    def submit(self, fn: Callable[..., Any], *args: Any) -> Future[Any]:
        future: Future[Any] = Future()
        self._calls.put((future, fn, args))
        return future

    def close(self) -> None:
        self._calls.put(None)


@contextmanager
def _closing(helper: _Helper) -> Iterator[None]:
    try:
        yield
    finally:
        helper.close()


def _pump(source: Source, sink: Sink, context: Encryptor | Decryptor,
          limit: int | None, args: argparse.Namespace) -> int:
    """Feeds the source through the context into the sink; returns the bytes
    read. `limit`: read no more than this.

    Two pairs of buffers, reused throughout, take turns: while the cipher
    works on one chunk (without the interpreter lock), a helper thread writes
    the previous chunk's output and reads the next chunk into the other
    pair. Where a core is free, the reads and writes then cost no time of
    their own and the tool runs at the cipher's rate.
    """
    pairs = [(memoryview(bytearray(CHUNK)), memoryview(bytearray(CHUNK + 16))) for _ in range(2)]
    read_so_far = 0

    def read(into: memoryview) -> int:
        nonlocal read_so_far
        want = CHUNK if limit is None else min(CHUNK, limit - read_so_far)
        n = source.readinto(into[:want]) if want else 0
        read_so_far += n
        return n

    def emit(chunk: memoryview) -> None:
        if chunk:
            sink.write(chunk.hex().encode("ascii") if args.hex else chunk)

    def write_then_read(written: memoryview, into: memoryview) -> int:
        emit(written)
        return read(into)

    io = _Helper()
    with _progress(args, source.size, args.command + "ing") as bar, _closing(io):
        turn = 0
        n = read(pairs[0][0])
        previous = pairs[1][1][:0]
        while n:
            inview, outview = pairs[turn]
            other_in = pairs[1 - turn][0]
            pending = io.submit(write_then_read, previous, other_in)
            try:
                w = context.update_into(inview[:n], outview)
            finally:
                # Never leave the helper touching buffers or descriptors that
                # the caller is about to clean up, unless a signal cuts this
                # wait short: the run then ends by the signal without waiting
                # for a write that may be stuck on a pipe nobody reads.
                wait([pending])
            next_n = pending.result()
            bar.update(n)
            previous = outview[:w]
            n = next_n
            turn = 1 - turn
        emit(previous)
    return read_so_far


def _run(args: argparse.Namespace) -> None:
    tea, options = _cipher(args)
    source = _open_input(args)
    sink: Sink | None = None
    try:
        if args.command == "decrypt" and source.size is not None:
            if source.size < 16 or source.size % 8:
                raise _not_a_ciphertext(source.size)
        sink = _open_output(args)
        if args.command == "encrypt":
            if source.size is None:
                source = _spool(source, args)
            assert source.size is not None
            encryptor = Encryptor(tea, source.size, **options)
            got = _pump(source, sink, encryptor, source.size, args)
            extra = bytearray(1)
            if got < source.size or source.readinto(memoryview(extra)):
                raise IOFailure(f"{source.name} changed size while being read "
                                f"({source.size} bytes when opened, "
                                f"{got if got < source.size else 'more'} read)")
            last = encryptor.finalize()
        else:
            decryptor = Decryptor(tea, **options)
            got = _pump(source, sink, decryptor, None, args)
            try:
                last = decryptor.finalize()
            except ValueError:
                if got < 16 or got % 8:
                    raise _not_a_ciphertext(got) from None
                raise BadInput("input is not a ciphertext under this key and sum table") from None
        sink.write(last.hex().encode("ascii") if args.hex else last)
        if args.hex:
            sink.write(b"\n")
        sink.commit()
        sink = None
    finally:
        with _signals_held():
            if sink is not None:
                sink.abort()
            source.close()


def _demo(args: argparse.Namespace) -> None:
    tea = TEA(_DEMO_KEY)
    ciphertext = tea.encrypt_qq(_DEMO_TEXT)
    plaintext = tea.decrypt_qq(ciphertext)
    ok = plaintext == _DEMO_TEXT
    lines = [
        f"qulo {__version__}: TEA (16 cycles) in the qq mode, on an embedded sample",
        "",
        f"key         {_DEMO_KEY.hex()}",
        f"plaintext   {_DEMO_TEXT.decode()!r} ({len(_DEMO_TEXT)} bytes)",
        f"ciphertext  {len(ciphertext)} bytes (encrypt_len({len(_DEMO_TEXT)}) = {len(ciphertext)}):",
        *(f"            {ciphertext[i:i + 16].hex(' ')}" for i in range(0, len(ciphertext), 16)),
        f"decrypted   {plaintext.decode(errors='replace')!r} ({len(plaintext)} bytes)",
        f"round trip  {'ok: the decrypted text equals the plaintext' if ok else 'FAILED'}",
        "",
        "The same from the shell:",
        f"  qulo encrypt -k {_DEMO_KEY.hex()} --hex-input {_DEMO_TEXT.hex()} --hex",
        f"  qulo decrypt -k {_DEMO_KEY.hex()} --hex-input {ciphertext.hex()} --force",
    ]
    FdSink(1, "standard output", owned=False).write(("\n".join(lines) + "\n").encode())
    if not ok:
        raise IOFailure("the round trip gave other bytes back")


def _add_cipher_arguments(p: argparse.ArgumentParser, what: str) -> None:
    key = p.add_mutually_exclusive_group(required=True)
    key.add_argument("--key-file", metavar="PATH",
                     help="a file holding the key: 16 raw bytes, or 32 hex digits and a newline")
    key.add_argument("-k", "--key", metavar="HEX",
                     help="the key as 32 hex digits (visible in the process list: prefer --key-file)")
    sums = p.add_mutually_exclusive_group()
    sums.add_argument("--sumtable", metavar="HEX", help="a sum table as 128 hex digits")
    sums.add_argument("--sumtable-file", metavar="PATH",
                      help="a file holding a sum table: 64 raw bytes, or 128 hex digits")
    p.add_argument("--native-endian", action="store_true",
                   help="read blocks in host byte order (only with a sum table)")
    p.add_argument("input", nargs="?", metavar="INPUT",
                   help=f"the {what} file; - or nothing for standard input (not a terminal)")
    p.add_argument("--hex-input", metavar="HEX",
                   help=f"the {what} as hex digits instead of INPUT (either case, whitespace ignored)")
    p.add_argument("-o", "--output", metavar="PATH",
                   help="write here instead of standard output (a regular file is replaced atomically)")
    p.add_argument("--hex", action="store_true",
                   help="write lowercase hex and a newline instead of raw bytes")
    p.add_argument("--force", action="store_true", help="write raw bytes even to a terminal")
    p.add_argument("-q", "--quiet", action="store_true", help="show no progress bar")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="qulo",
        description="Encrypt and decrypt with TEA (16 cycles) in the padded, doubly chained qq mode.",
        epilog=_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"qulo {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, what in (("encrypt", "plaintext"), ("decrypt", "ciphertext")):
        p = sub.add_parser(
            name,
            help=f"{name} INPUT (or standard input)",
            description=f"{name.capitalize()} the {what} in INPUT, standard input or --hex-input.",
            epilog=_EXAMPLES,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        _add_cipher_arguments(p, what)
    sub.add_parser(
        "demo",
        help="encrypt and decrypt an embedded sample and show every step",
        description="Encrypt an embedded sample, show the ciphertext in hex, decrypt it "
        "and show that the round trip gives the sample back.",
    )
    return parser


@contextmanager
def _signals_unwind() -> Iterator[None]:
    """SIGTERM and SIGHUP unwind the run like SIGINT does, so that every
    cleanup (the temporary output file above all) runs."""
    def handler(signum: int, frame: object) -> None:
        raise _Signalled(signum)

    saved = {}
    try:
        for signum in (signal.SIGTERM, signal.SIGHUP):
            saved[signum] = signal.signal(signum, handler)
    except ValueError:  # not the main thread: leave the handlers alone
        pass
    try:
        yield
    finally:
        for signum, old in saved.items():
            signal.signal(signum, old)


_UNWINDING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


@contextmanager
def _signals_held() -> Iterator[None]:
    """Holds the signals that unwind a run back while a cleanup runs, so
    that a second one cannot cut it short; they arrive when it is done."""
    old = signal.pthread_sigmask(signal.SIG_BLOCK, _UNWINDING)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _die_by(signum: int) -> int:
    """Ends the process by the signal itself, so that its parent sees why."""
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    return 128 + signum  # reached only if the signal is blocked


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    command = f"qulo {args.command}"
    try:
        with _signals_unwind():
            if args.command == "demo":
                _demo(args)
            else:
                _run(args)
    except BadInput as e:
        print(f"{command}: error: {_one_line(str(e))}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except IOFailure as e:
        print(f"{command}: error: {_one_line(str(e))}", file=sys.stderr)
        return EXIT_IO
    except _ReaderGone:
        return EXIT_IO  # the reader chose to stop: nothing to tell it
    except _Signalled as e:
        return _die_by(e.signum)
    except KeyboardInterrupt:
        return _die_by(signal.SIGINT)
    return EXIT_OK
