"""The ``qulo`` command: encrypt and decrypt files or pipes in the qq mode.

    qulo encrypt --key-file my.key notes.txt -o notes.qq
    qulo decrypt --key-file my.key notes.qq -o notes.txt
    qulo encrypt --key-file my.key --columns payload,email data.parquet -o sealed.parquet
    qulo demo

This module holds the command's rules: its arguments, keys, messages, exit
statuses, signals, and where output may go. Reading and writing the bytes
is in ``qulo._sources``, ``qulo._sinks`` (the atomic replace among them) and
``qulo._pump``, the columns of a Parquet file (--columns) in ``qulo._parquet``;
how those fail, in ``qulo._failures``.

Every byte reaches the output or the run fails with one line on standard
error: exit status 0 on success, 1 when reading or writing failed, 2 on bad
input. A file given with -o is replaced atomically or not at all. Decryption
verifies each ciphertext's last block unless told not to (--no-verify).
"""

from __future__ import annotations

import argparse
import os
import signal
import stat
import string
import sys
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager, suppress
from typing import IO, Any, NoReturn

from . import TEA, DecryptionError, Decryptor, Encryptor, __version__, _pump, _sinks, _sources
from ._failures import BadInput, IOFailure, ReaderGone, show
from ._sinks import Output
from ._sources import Progress, Source

KEY_BYTES = 16
SUMTABLE_BYTES = 64

EXIT_OK = 0
EXIT_IO = 1  # reading or writing failed (or the reader of our output went away)
EXIT_BAD_INPUT = 2

_EXAMPLES = {
    "encrypt": """\
  qulo encrypt --key-file my.key notes.txt -o notes.qq
  tar c photos | qulo encrypt --key-file my.key -o photos.tar.qq
  echo -n hello | qulo encrypt --key-file my.key --hex
  qulo encrypt --key-file my.key --columns payload,email data.parquet -o sealed.parquet
""",
    "decrypt": """\
  qulo decrypt --key-file my.key notes.qq -o notes.txt
  qulo decrypt --key-file my.key photos.tar.qq | tar x
  qulo decrypt --key-file my.key --hex-input "$(cat message.hex)"
  qulo decrypt --key-file my.key --columns payload,email sealed.parquet -o data.parquet
""",
}

_TERMINAL_RULE = {
    "encrypt": "A ciphertext is not written raw to a terminal (use --hex, -o PATH or -f).",
    "decrypt": "A plaintext may be written to a terminal.",
}

_NOTES = """\
A key file holds 16 raw bytes, or 32 hex digits and an optional newline.
-k puts the key on the command line, where other users can read it in the
process list: prefer --key-file.

Without --sumtable/--sumtable-file the standard TEA round sums are used and
each 8-byte block is read big-endian. A sum table is 64 bytes: sixteen
32-bit round sums in host byte order. --native-endian (only with a sum
table) reads each block in host byte order instead.

{terminal}
-o replaces a regular file atomically, writes through a symbolic link to its
target, writes straight into a FIFO, socket or character device, and writes
a descriptor the process already has (/dev/stdout, /dev/fd/N) in place.
The output may not be a file the run reads: INPUT, the key file or the
sum table file.

--columns NAMES changes those columns (comma-separated) of the Parquet file
INPUT, row group by row group, into a new Parquet file given with -o, and
keeps the other columns and the metadata (needs pyarrow).

Exit status: 0 on success, 1 when reading or writing failed, 2 on bad input
(the reason is one line on standard error).{decrypt}
"""

_VERIFIED = """ Decryption checks the
ciphertext's shape and verifies its last block: every plaintext ends in seven
zero bytes before encryption, so a wrong key or sum table, a changed block or
a file cut at a block boundary fails (status 2; missed with odds 2^-56). With
-o the file is then left untouched; on standard output the bytes already
written cannot be recalled and must be discarded. --no-verify accepts
ciphertexts whose last seven bytes differ (from peers that put other bytes
there). This is no authentication: someone who can choose ciphertexts can
make one that passes."""


def _epilog(*commands: str) -> str:
    """The examples of these commands and the notes that apply to them."""
    examples = "examples:\n" + "".join(_EXAMPLES[c] for c in commands)
    notes = _NOTES.format(terminal="\n".join(_TERMINAL_RULE[c] for c in commands),
                          decrypt=_VERIFIED if "decrypt" in commands else "")
    return examples + "\n" + notes


_DEMO_KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")
_DEMO_TEXT = b"qulo: TEA in the padded, doubly chained qq mode"


class _Refused(BadInput):
    """The cipher refused the input: bad input that may come after part of
    the output went out; its text is the one-line message."""


class _Signalled(BaseException):
    """SIGTERM or SIGHUP arrived; unwinds like KeyboardInterrupt."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _Parser(argparse.ArgumentParser):
    # Usage errors end like every other bad input: one line, status 2.
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {_one_line(message)} (see {self.prog} --help)\n")

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        # An argument that no option takes is refused by the parser of the
        # command it follows, so that the message names that command.
        namespace, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error(f"unrecognized arguments: {' '.join(extras)}")
        return namespace, extras


def _one_line(text: str) -> str:
    return text.replace("\r", "\\r").replace("\n", "\\n")


def _is_terminal(stream: IO[str] | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):  # closed, or gone
        return False


def _tell(message: str) -> None:
    """One line on standard error; dropped when there is none (closed or
    failing), never sent anywhere else."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(message + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


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


def _looks_like_text(data: bytes) -> bool:
    return all(32 <= b < 127 or b in b"\t\n\r" for b in data)


# A file the run reads, described as a message names it, and what it is.
_Read = tuple[str, os.stat_result | None]


def _secret_file(what: str, path: str, size: int, kind: str) -> tuple[bytes, _Read]:
    """`size` raw bytes, or 2*size hex digits with an optional newline; and
    the file they came from."""
    data, file = _sources.read_head(what, path, 4 * size)
    shown = show(path)
    read = (f"the {kind} file ({shown})", file)
    if len(data) == size:
        return data, read
    if data and _looks_like_text(data):
        text = data.decode("ascii")
        body = text[:-2] if text.endswith("\r\n") else text[:-1] if text.endswith("\n") else text
        if len(body) == 2 * size and all(ch in _HEX_DIGITS for ch in body):
            return bytes.fromhex(body), read
        raise BadInput(
            f"{what}: {shown} is a text file but not a {kind}: expected {2 * size} hex digits "
            f"and an optional newline (or {size} raw bytes)"
        )
    amount = f"more than {4 * size}" if len(data) > 4 * size else str(len(data))
    raise BadInput(f"{what}: {shown} holds {amount} bytes; a {kind} file holds exactly {size} bytes")


def _cipher(args: argparse.Namespace) -> tuple[TEA, dict[str, Any], list[_Read]]:
    """The cipher, its options, and the files they were read from."""
    read: list[_Read] = []
    if args.key is not None:
        key = _sized_hex("--key", args.key, KEY_BYTES)
    else:
        key, where = _secret_file("--key-file", args.key_file, KEY_BYTES, "key")
        read.append(where)
    sumtable: bytes | None = None
    if args.sumtable is not None:
        sumtable = _sized_hex("--sumtable", args.sumtable, SUMTABLE_BYTES)
    elif args.sumtable_file is not None:
        sumtable, where = _secret_file("--sumtable-file", args.sumtable_file, SUMTABLE_BYTES, "sum table")
        read.append(where)
    if args.native_endian and sumtable is None:
        raise BadInput("--native-endian needs a sum table (--sumtable or --sumtable-file)")
    return TEA(key), {"sumtable": sumtable, "native_endian": args.native_endian}, read


# ---- where the bytes come from and go -------------------------------------------------


def _open_input(args: argparse.Namespace) -> Source:
    if args.hex_input is not None:
        if args.input is not None:
            raise BadInput("give either INPUT or --hex-input, not both")
        return Source("--hex-input", data=_parse_hex("--hex-input", args.hex_input))
    if args.input is None or args.input == "-":
        source = _sources.standard_input()
        if args.input is None and os.isatty(0):
            raise BadInput(
                "no input given and standard input is a terminal: name a file, use "
                "--hex-input, or send the data through a pipe (- reads the terminal)"
            )
        return source
    return _sources.open_file("INPUT", args.input)


def _open_output(args: argparse.Namespace, read: list[_Read],
                 files_only: str = "") -> _sinks.FdSink | _sinks.AtomicSink:
    """The output, once it is known to be a place this run may write to:
    none of the files it reads (`read`), nor a terminal for a ciphertext;
    with `files_only` (why), a regular file only."""
    def refuse_what_is_read(file: os.stat_result, name: str) -> None:
        # Read and written at once, a file would be fed its own output (and
        # grow until the disk is full) or lose the data it is read from; a
        # key or sum table written over leaves its ciphertexts undecryptable.
        for described, read_file in read:
            if _sinks.same_file(read_file, file):
                raise BadInput(f"{described} and the output ({name}) are the same file: "
                               "write the output elsewhere")

    sink: _sinks.FdSink | _sinks.AtomicSink
    if args.output is None or args.output == "-":
        sink = _sinks.descriptor_sink(1, "standard output")
        refuse_what_is_read(sink.file, sink.name)  # not owned: nothing to undo
    else:
        sink = _sinks.open_output(args.output, refuse_what_is_read, files_only)
    try:
        # A plaintext is usually text; a ciphertext would garble the terminal.
        if args.command == "encrypt" and not args.hex and not args.force and os.isatty(sink.fd):
            raise BadInput(
                f"refusing to write raw bytes to the terminal on {sink.name}: "
                "use --hex for hex digits, -o PATH for a file, or -f"
            )
    except BadInput:
        sink.abort()
        raise
    return sink


class _HexDigits:
    """Writes each byte as two lowercase hex digits, and a newline at the end."""

    def __init__(self, sink: Output) -> None:
        self._sink = sink

    def write(self, data: memoryview | bytes) -> None:
        self._sink.write(memoryview(data).hex().encode("ascii"))

    def commit(self) -> None:
        self._sink.write(b"\n")
        self._sink.commit()

    def abort(self) -> None:
        self._sink.abort()


# The library's own layout, with the unit after the bytes done and the
# total too (it puts it after the rate only).
_BAR_WITH_TOTAL = "{l_bar}{bar}| {n_fmt}{unit}/{total_fmt}{unit} [{elapsed}<{remaining}, {rate_fmt}{postfix}]"


@contextmanager
def _progress(args: argparse.Namespace, total: int | None, what: str) -> Iterator[Progress]:
    """A progress bar on standard error for long work: only on a terminal,
    never in CI logs, not with --quiet, and only once the work has run for a
    second (short runs show nothing). Every size it shows is in powers of
    1024 with its unit (kiB, MiB, GiB), the bytes done as the total."""
    if args.quiet or os.environ.get("CI") or not _is_terminal(sys.stderr):
        # No bar to draw: not even the library is loaded (it takes longer
        # to import than the rest of the tool).
        yield lambda done: None
        return
    from tqdm import tqdm  # type: ignore[import-untyped]  # ships no type information

    # One process draws these bars: a thread lock serves, where the library's
    # default would import multiprocessing and make a named semaphore on
    # every run, bar or no bar.
    tqdm.set_lock(threading.RLock())
    bar = tqdm(total=total, desc=what, unit="iB", unit_scale=True, unit_divisor=1024,
               bar_format=None if total is None else _BAR_WITH_TOTAL,
               delay=1.0, leave=False, file=sys.stderr)
    try:
        yield bar.update
    finally:
        bar.close()


# ---- the run ---------------------------------------------------------------------------


_NOT_A_CIPHERTEXT = ("input is not a ciphertext: {size} bytes, a ciphertext is a multiple of 8 and at "
                     "least 16 bytes")

# Why the cipher refused a ciphertext (DecryptionError.reason), as the tool
# says it ({size}: the bytes read).
_REFUSED = {
    "short": _NOT_A_CIPHERTEXT,
    "blocks": _NOT_A_CIPHERTEXT,
    "fill": ("input is not a ciphertext under this key and sum table: its 16 bytes decrypt to a "
             "header that leaves no room for a plaintext"),
    "check": ("input failed verification: its last block is not a ciphertext's under this key and "
              "sum table (a wrong key or sum table, or a damaged or cut file; --no-verify decrypts "
              "it anyway)"),
}


def _refused(e: DecryptionError, size: int) -> _Refused:
    # A Decryptor's refusal always carries its reason.
    assert e.reason is not None
    return _Refused(_REFUSED[e.reason].format(size=size))


def _encrypt(source: Source, sink: Output, encryptor: Encryptor,
             args: argparse.Namespace) -> tuple[memoryview, bytes]:
    """Writes the ciphertext but its last chunk and its end, which it
    returns. `source.size` is known."""
    size = source.size
    assert size is not None
    with _progress(args, size, "encrypting") as progress:
        got, held = _pump.pump(source, sink, encryptor, size, progress)
    if got < size or source.readinto(memoryview(bytearray(1))):
        raise IOFailure(f"{source.name} changed size while being read "
                        f"({size} bytes when opened, {got if got < size else 'more'} read)")
    return held, encryptor.finalize()


def _decrypt(source: Source, sink: Output, decryptor: Decryptor,
             args: argparse.Namespace) -> tuple[memoryview, bytes]:
    """Writes the plaintext but its last chunk, which it returns once the
    cipher has taken the whole input as a ciphertext; else raises _Refused.
    An input whose size is known and no ciphertext's is refused before
    anything is written."""
    if source.size is not None:
        try:
            Decryptor.check_length(source.size)
        except DecryptionError as e:
            raise _refused(e, source.size) from None
    with _progress(args, source.size, "decrypting") as progress:
        got, held = _pump.pump(source, sink, decryptor, None, progress)
    try:
        return held, decryptor.finalize()
    except DecryptionError as e:
        raise _refused(e, got) from None


def _run(args: argparse.Namespace) -> None:
    tea, options, read = _cipher(args)
    if args.columns is not None:
        _run_columns(args, tea, options, read)
        return
    if getattr(args, "as_text", False):
        raise BadInput("--as-text gives text columns: it goes with --columns")
    source = _open_input(args)
    sink: Output | None = None
    # Written as the data comes (standard output, a pipe): what reached it
    # stays there when the run fails. A file given with -o is left as it was.
    unrecalled: _sinks.FdSink | None = None
    try:
        sink = _open_output(args, [(f"the input ({source.name})", source.file), *read])
        if isinstance(sink, _sinks.FdSink):
            unrecalled = sink
        if args.hex:
            sink = _HexDigits(sink)
        if args.command == "encrypt":
            if source.size is None:
                # The ciphertext's header needs the length before the first block.
                with _progress(args, None, "reading") as progress:
                    spooled = _sources.spool(source, progress)
                source.close()
                source = spooled
            assert source.size is not None
            held = _encrypt(source, sink, Encryptor(tea, source.size, **options), args)
        else:
            decryptor = Decryptor(tea, verify=not args.no_verify, **options)
            held = _decrypt(source, sink, decryptor, args)
        for part in held:
            sink.write(part)
        sink.commit()
        sink = None
    except (IOFailure, _Refused) as e:
        if args.command == "decrypt" and unrecalled is not None and unrecalled.started:
            # Whatever ended the run, part of a plaintext is out, unchecked.
            e.args = (f"{e}; the bytes already written to {unrecalled.name} are not a plaintext: "
                      "discard them",)
        raise
    finally:
        with _signals_held():
            if sink is not None:
                sink.abort()
            source.close()


# ---- the columns of a Parquet file ------------------------------------------------------

# Parquet is read from its end, where the footer tells where every column
# is: its readers need a file, not a stream.
_FROM_THE_END = "which is read from its end (its footer) first"
_FILES_ONLY = f"--columns writes a Parquet file, {_FROM_THE_END}"


def _column_names(text: str) -> list[str]:
    names = text.split(",")
    if not all(names):
        raise BadInput(f"--columns: {show(text)} has an empty name: give names separated by commas")
    return names  # a name given twice is changed once: the plan asks which fields are named


def _refused_value(name: str, e: DecryptionError) -> str:
    """A value decrypt_columns refused, as the tool says it: its file,
    column and row, and the tool's options where the library names its own."""
    text = str(e)
    if e.index is not None:
        text = text.replace(f"message {e.index} ", f"row {e.index} ", 1)
    text = text.replace("without as_text", "without --as-text")
    if e.reason == "check":
        text += " (--no-verify decrypts it anyway)"
    return f"{name}: {text}"


def _run_columns(args: argparse.Namespace, tea: TEA, options: dict[str, Any],
                 read: list[_Read]) -> None:
    """The named columns of the Parquet file INPUT changed into the Parquet
    file -o, row group by row group; every check before anything is made."""
    names = _column_names(args.columns)
    if args.hex_input is not None or args.input in (None, "-"):
        raise BadInput(f"--columns reads a Parquet file, {_FROM_THE_END}: name the file as INPUT "
                       "(not standard input or --hex-input)")
    if args.hex:
        raise BadInput("--columns writes a Parquet file, not hex digits: drop --hex")
    if args.output in (None, "-"):
        raise BadInput(f"{_FILES_ONLY}: give -o PATH (not standard output)")
    try:
        from . import _parquet
    except ImportError:
        raise BadInput("--columns needs pyarrow, which is not installed: "
                       "pip install 'qulo[arrow]'") from None
    work: dict[str, Any] = {"native_endian": options["native_endian"]}
    if args.command == "decrypt":
        work.update(verify=not args.no_verify, errors="raise", as_text=args.as_text)
    with suppress(OSError):  # else opening it says why
        if not stat.S_ISREG(os.stat(args.input).st_mode):  # a FIFO would be waited on
            raise BadInput(f"INPUT: {show(args.input)} is not a regular file: --columns reads a "
                           f"Parquet file, {_FROM_THE_END}")
    source = _sources.open_file("INPUT", args.input)
    columns = None
    sink: _sinks.FdSink | _sinks.AtomicSink | None = None
    try:
        columns = _parquet.open_columns(source, args.input, names, args.command, tea,
                                        options["sumtable"], **work)
        sink = _open_output(args, [(f"the input ({source.name})", source.file), *read], _FILES_ONLY)
        with _progress(args, sum(columns.sizes), f"{args.command}ing") as progress:
            columns.write(sink, progress)
        sink.commit()
        sink = None
    except DecryptionError as e:
        raise _Refused(_refused_value(source.name, e)) from None
    finally:
        with _signals_held():
            if sink is not None:
                sink.abort()
            if columns is not None:
                columns.close()
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
    _sinks.write_all(1, ("\n".join(lines) + "\n").encode(), "standard output")
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
    p.add_argument("-f", "--force", action="store_true",
                   help="write raw bytes even to a terminal (decryption always may)")
    p.add_argument("-q", "--quiet", action="store_true", help="show no progress bar")
    p.add_argument("--columns", metavar="NAMES",
                   help="INPUT is a Parquet file: change these columns (comma-separated) and "
                   "keep the rest; -o names the new Parquet file (needs pyarrow)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="qulo",
        description="Encrypt and decrypt with TEA (16 cycles) in the padded, doubly chained qq mode.",
        epilog=_epilog("encrypt", "decrypt"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"qulo {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, what in (("encrypt", "plaintext"), ("decrypt", "ciphertext")):
        p = sub.add_parser(
            name,
            help=f"{name} INPUT (or standard input)",
            description=f"{name.capitalize()} the {what} in INPUT, standard input or --hex-input.",
            epilog=_epilog(name),
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        _add_cipher_arguments(p, what)
        if name == "decrypt":
            p.add_argument("--no-verify", action="store_true",
                           help="accept a ciphertext whose last 7 plaintext bytes are not zero "
                           "(no check of the key or of damage)")
            p.add_argument("--as-text", action="store_true",
                           help="with --columns: decrypt to text columns, each value checked as UTF-8")
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
        _tell(f"{command}: error: {_one_line(str(e))}")
        return EXIT_BAD_INPUT
    except IOFailure as e:
        _tell(f"{command}: error: {_one_line(str(e))}")
        return EXIT_IO
    except ReaderGone:
        return EXIT_IO  # the reader chose to stop: nothing to tell it
    except _Signalled as e:
        return _die_by(e.signum)
    except KeyboardInterrupt:
        return _die_by(signal.SIGINT)
    return EXIT_OK
