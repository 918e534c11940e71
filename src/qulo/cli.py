"""The ``qulo`` command: encrypt and decrypt files or pipes in the qq mode.

    qulo encrypt -k 00112233445566778899aabbccddeeff notes.txt -o notes.qq
    qulo decrypt -k 00112233445566778899aabbccddeeff notes.qq
    qulo demo

Bad input of any kind ends the run with one line on standard error and exit
status 2; a file given with -o is replaced atomically or not at all.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from typing import BinaryIO, NoReturn

from . import TEA, __version__

KEY_BYTES = 16
SUMTABLE_BYTES = 64

EXIT_OK = 0
EXIT_FAILURE = 1  # the demo's round trip failed, or the output pipe closed
EXIT_BAD_INPUT = 2

_EXAMPLES = """\
examples:
  qulo encrypt -k 00112233445566778899aabbccddeeff notes.txt -o notes.qq
  qulo decrypt -k 00112233445566778899aabbccddeeff notes.qq -o notes.txt
  echo -n hello | qulo encrypt --key-file my.key --hex
  qulo decrypt --key-file my.key --hex-input "$(cat message.hex)"
  qulo encrypt -k KEYHEX --sumtable-file sums.bin --native-endian data.bin

Without --sumtable/--sumtable-file the standard TEA round sums are used and
each 8-byte block is read big-endian. A sum table is 64 bytes: sixteen
32-bit round sums in host byte order. --native-endian (only with a sum
table) reads each block in host byte order instead.

Exit status: 0 on success, 2 on bad input (the reason is one line on
standard error). Decryption checks only the ciphertext's shape: a wrong key
or an altered ciphertext gives meaningless bytes, not an error.
"""

_DEMO_KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")
_DEMO_TEXT = b"qulo: TEA in the padded, doubly chained qq mode"


class BadInput(Exception):
    """A problem with what the user gave; its text is the one-line message."""


class _Parser(argparse.ArgumentParser):
    # Usage errors end like every other bad input: one line, status 2.
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _hex(what: str, digits: str) -> bytes:
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise BadInput(
            f"{what}: not a hex string (an even number of the digits 0-9, a-f)"
        ) from None


def _read_file(what: str, path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise BadInput(f"{what}: cannot read {path}: {e.strerror or e}") from None


def _sized(what: str, data: bytes, size: int) -> bytes:
    if len(data) != size:
        raise BadInput(f"{what}: {len(data)} bytes given, {size} bytes ({2 * size} hex digits) needed")
    return data


@dataclass(frozen=True)
class _Job:
    tea: TEA
    sumtable: bytes | None
    native_endian: bool
    text: bytes


def _job(args: argparse.Namespace) -> _Job:
    if args.key is not None:
        key = _sized("--key", _hex("--key", args.key), KEY_BYTES)
    else:
        key = _sized("--key-file", _read_file("--key-file", args.key_file), KEY_BYTES)

    sumtable: bytes | None = None
    if args.sumtable is not None:
        sumtable = _sized("--sumtable", _hex("--sumtable", args.sumtable), SUMTABLE_BYTES)
    elif args.sumtable_file is not None:
        sumtable = _sized(
            "--sumtable-file", _read_file("--sumtable-file", args.sumtable_file), SUMTABLE_BYTES
        )
    if args.native_endian and sumtable is None:
        raise BadInput("--native-endian needs a sum table (--sumtable or --sumtable-file)")

    if args.hex_input is not None:
        if args.input is not None:
            raise BadInput("give either INPUT or --hex-input, not both")
        text = _hex("--hex-input", args.hex_input)
    elif args.input is None or args.input == "-":
        text = sys.stdin.buffer.read()
    else:
        text = _read_file("INPUT", args.input)
    return _Job(TEA(key), sumtable, args.native_endian, text)


def _encrypt(job: _Job) -> bytes:
    if job.sumtable is None:
        return job.tea.encrypt_qq(job.text)
    if job.native_endian:
        return job.tea.encrypt_native_endian(job.text, job.sumtable)
    return job.tea.encrypt(job.text, job.sumtable)


def _decrypt(job: _Job) -> bytes:
    n = len(job.text)
    if n < 16 or n % 8:
        raise BadInput(
            f"input is not a ciphertext: {n} bytes, a ciphertext is a multiple of 8 "
            "and at least 16 bytes"
        )
    try:
        if job.sumtable is None:
            return job.tea.decrypt_qq(job.text)
        if job.native_endian:
            return job.tea.decrypt_native_endian(job.text, job.sumtable)
        return job.tea.decrypt(job.text, job.sumtable)
    except ValueError:
        # The one refusal left for a well-sized text: a 16-byte ciphertext
        # whose header claims more fill than the block holds.
        raise BadInput("input is not a ciphertext under this key and sum table") from None


def _new_file_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def write_atomically(path: str, data: bytes) -> None:
    """Replaces `path` by `data` in one step, or leaves it as it was.

    The bytes go to a temporary file in the same folder (so that the final
    rename stays within one file system), which then takes the place of
    `path`. An existing file's permission bits are kept.
    """
    folder = os.path.dirname(os.path.abspath(path))
    try:
        mode = os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        mode = _new_file_mode()
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def _emit(data: bytes, args: argparse.Namespace, stdout: BinaryIO) -> None:
    if args.hex:
        data = data.hex().encode("ascii") + b"\n"
    if args.output is None or args.output == "-":
        stdout.write(data)
        stdout.flush()
        return
    try:
        write_atomically(args.output, data)
    except OSError as e:
        raise BadInput(f"-o/--output: cannot write {args.output}: {e.strerror or e}") from None


def _demo(stdout: BinaryIO) -> int:
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
        f"  qulo decrypt -k {_DEMO_KEY.hex()} --hex-input {ciphertext.hex()}",
    ]
    stdout.write(("\n".join(lines) + "\n").encode())
    stdout.flush()
    return EXIT_OK if ok else EXIT_FAILURE


def _add_cipher_arguments(p: argparse.ArgumentParser, what: str) -> None:
    key = p.add_mutually_exclusive_group(required=True)
    key.add_argument("-k", "--key", metavar="HEX", help="the key as 32 hex digits")
    key.add_argument("--key-file", metavar="PATH", help="a file holding the 16 key bytes")
    sums = p.add_mutually_exclusive_group()
    sums.add_argument("--sumtable", metavar="HEX", help="a sum table as 128 hex digits")
    sums.add_argument("--sumtable-file", metavar="PATH", help="a file holding a 64-byte sum table")
    p.add_argument(
        "--native-endian",
        action="store_true",
        help="read blocks in host byte order (only with a sum table)",
    )
    p.add_argument(
        "input",
        nargs="?",
        metavar="INPUT",
        help=f"the {what} file; - or nothing for standard input",
    )
    p.add_argument("--hex-input", metavar="HEX", help=f"the {what} as hex digits instead of INPUT")
    p.add_argument(
        "-o", "--output", metavar="PATH", help="write here (atomically) instead of standard output"
    )
    p.add_argument(
        "--hex", action="store_true", help="write lowercase hex and a newline instead of raw bytes"
    )


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


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    stdout = sys.stdout.buffer
    try:
        if args.command == "demo":
            return _demo(stdout)
        job = _job(args)
        data = _encrypt(job) if args.command == "encrypt" else _decrypt(job)
        _emit(data, args, stdout)
    except BadInput as e:
        print(f"qulo {args.command}: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:
        # The reader went away; say nothing more on a closed pipe.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        return 130
    return EXIT_OK
