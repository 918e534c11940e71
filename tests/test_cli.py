"""The command-line tool: `qulo encrypt`, `qulo decrypt`, `qulo demo`.

Most cases call qulo.cli.main(argv) in-process; the ones about descriptors,
signals, terminals and memory run the real `python -m qulo` to see what a
shell sees. Device nodes, FIFOs, sockets and links are made inside the
test's own folder; /dev/full serves only as a standard output.
"""

from __future__ import annotations

import contextlib
import fcntl
import io
import itertools
import os
import random
import select
import signal
import socket
import stat
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import pytest

import qulo
from qulo import _pump as pump
from qulo import _sinks as sinks
from qulo import _sources as sources
from qulo import cli

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:  # the Parquet cases skip
    pa = pq = None

KEY_HEX = "00112233445566778899aabbccddeeff"
KEY = bytes.fromhex(KEY_HEX)
SUMS = random.Random(3).randbytes(64)
TEXT = b"attack at dawn, bring the 16-cycle cipher"
QULO_SCRIPT = Path(sys.executable).with_name("qulo")
TEA = qulo.TEA(KEY)


def run(argv, capfdbinary, stdin=b""):
    """main(argv) with `stdin`; returns (status, stdout bytes, stderr text)."""
    old = sys.stdin
    read, write = os.pipe()
    os.write(write, stdin)  # small: fits in the pipe
    os.close(write)
    try:
        saved = os.dup(0)
    except OSError:  # run with no standard input at all
        saved = None
    os.dup2(read, 0)
    os.close(read)
    sys.stdin = io.TextIOWrapper(io.BytesIO(stdin))
    try:
        status = cli.main(argv)
    except SystemExit as e:  # argparse: --help, --version, usage errors
        status = e.code
    finally:
        sys.stdin = old
        if saved is None:
            os.close(0)
        else:
            os.dup2(saved, 0)
            os.close(saved)
    out, err = capfdbinary.readouterr()
    return status, out, err.decode()


def shell(args, tmp_path, **kwargs):
    """`python -m qulo ARGS` in a child process; CompletedProcess (bytes)."""
    env = {k: v for k, v in os.environ.items() if k != "CI"}
    env.update(kwargs.pop("env", {}))
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run([sys.executable, "-m", "qulo", *args], cwd=tmp_path, env=env,
                          timeout=120, **kwargs)


def assert_one_line(err, status, expected_status):
    assert status == expected_status, err
    assert err.startswith("qulo") and "error:" in err
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert "Traceback" not in err


@pytest.fixture
def key_file(tmp_path):
    path = tmp_path / "my.key"
    path.write_text(KEY_HEX + "\n")
    return str(path)


# ---- Parquet files for --columns ------------------------------------------------

needs_pyarrow = pytest.mark.skipif(pa is None, reason="--columns needs pyarrow")


def _plain_table():
    """Binary and text columns with nulls, and metadata on the schema and on a field."""
    schema = pa.schema([pa.field("id", pa.int64()), pa.field("payload", pa.binary(), metadata={"kind": "secret"}),
                        pa.field("email", pa.large_string())], metadata={"owner": "ops"})
    return pa.table({"id": range(10), "payload": [None if i % 4 == 1 else bytes([i]) * i for i in range(10)],
                     "email": [None if i == 7 else f"user{i}@example.org" for i in range(10)]}, schema=schema)


def _parquet_bytes(table):
    """In row groups of 4, 4 and 2 rows, with key-value metadata of the file's own."""
    out = pa.BufferOutputStream()
    with pq.ParquetWriter(out, table.schema, compression="zstd") as writer:
        writer.add_key_value_metadata({"written-by": "test"})
        writer.write_table(table, row_group_size=4)
    return out.getvalue().to_pybytes()


def _damaged_parquet():
    """Sealed with the payload of row 8 (the third row group) no ciphertext."""
    sealed = qulo.encrypt_columns(TEA, _plain_table(), "payload")
    values = sealed.column("payload").to_pylist()
    values[8] = b"not a ciphertext"
    return _parquet_bytes(sealed.set_column(1, sealed.schema.field(1), pa.array(values, pa.binary())))


PLAIN_PARQUET, DAMAGED_PARQUET = (b"", b"") if pa is None else (_parquet_bytes(_plain_table()), _damaged_parquet())


# ---- what each mode computes ----------------------------------------------------

MODES = {
    "qq": ([], TEA.encrypt_qq, TEA.decrypt_qq),
    "sumtable": (["--sumtable", SUMS.hex()], lambda x: TEA.encrypt(x, SUMS), lambda x: TEA.decrypt(x, SUMS)),
    "native": (["--sumtable", SUMS.hex(), "--native-endian"],
               lambda x: TEA.encrypt_native_endian(x, SUMS), lambda x: TEA.decrypt_native_endian(x, SUMS)),
}


@pytest.mark.parametrize("size", [0, 41, 3 * (1 << 20) + 5])  # several chunks, then some
@pytest.mark.parametrize("mode", MODES)
def test_encrypt_writes_what_the_method_returns_and_decrypt_inverts_it(mode, size, tmp_path, capfdbinary):
    options, encrypt, decrypt = MODES[mode]
    text = random.Random(size).randbytes(size)
    plain = tmp_path / "plain.txt"
    plain.write_bytes(text)
    sealed = tmp_path / "sealed.qq"
    status, out, err = run(["encrypt", "-k", KEY_HEX, *options, str(plain), "-o", str(sealed)], capfdbinary)
    assert (status, out, err) == (0, b"", "")
    assert sealed.read_bytes() == encrypt(text)
    status, out, err = run(["decrypt", "--key", KEY_HEX, *options, str(sealed), "--force"], capfdbinary)
    assert (status, err) == (0, "") and out == text
    assert decrypt(sealed.read_bytes()) == text


@pytest.mark.parametrize("where", [[], ["-"]], ids=["no-input", "dash"])
@pytest.mark.parametrize("command", ["encrypt", "decrypt"])
def test_standard_input_streams_in_both_directions(command, where, capfdbinary):
    data = TEXT if command == "encrypt" else TEA.encrypt_qq(TEXT)
    expected = TEA.encrypt_qq(TEXT) if command == "encrypt" else TEXT
    status, out, _ = run([command, "-k", KEY_HEX, *where], capfdbinary, stdin=data)
    assert status == 0 and out == expected


def test_a_file_as_standard_input_is_read_from_where_it_stands(tmp_path):
    path = tmp_path / "plain"
    path.write_bytes(b"header line\n" + TEXT)
    with open(path, "rb", buffering=0) as f:
        f.readline()  # the caller has consumed a line already (unbuffered: no read-ahead)
        done = shell(["encrypt", "-k", KEY_HEX, "-o", "out"], tmp_path, stdin=f)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out").read_bytes() == TEA.encrypt_qq(TEXT)


def test_hex_output_and_hex_input_in_either_case_with_whitespace(capfdbinary):
    ciphertext = TEA.encrypt_qq(TEXT)
    status, out, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", TEXT.hex(), "--hex"], capfdbinary)
    assert status == 0 and out == ciphertext.hex().encode() + b"\n"
    spaced = " ".join(ciphertext.hex().upper()[i:i + 5] for i in range(0, 2 * len(ciphertext), 5))
    status, out, _ = run(["decrypt", "-k", KEY_HEX.upper(), "--hex-input", "\n" + spaced + "\t",
                          "--hex", "-o", "-"], capfdbinary)
    assert status == 0 and out == TEXT.hex().encode() + b"\n"


KEY_FILES = {
    "raw-16": (KEY, None),
    "hex-newline": (KEY_HEX.encode() + b"\n", None),
    "hex-crlf": (KEY_HEX.upper().encode() + b"\r\n", None),
    "hex-bare": (KEY_HEX.encode(), None),
    "raw-15": (KEY[:15], "holds 15 bytes; a key file holds exactly 16 bytes"),
    "raw-17": (KEY + b"\x00", "holds 17 bytes; a key file holds exactly 16 bytes"),
    "raw-huge": (bytes(range(256)), "holds more than 64 bytes"),
    "empty": (b"", "holds 0 bytes"),
    "hex-31": (KEY_HEX[:31].encode() + b"\n", "expected 32 hex digits and an optional newline"),
    "hex-two-newlines": (KEY_HEX.encode() + b"\n\n", "expected 32 hex digits and an optional newline"),
    "text-not-hex": (b"correct horse battery staple\n", "is a text file but not a key"),
}


@pytest.mark.parametrize("content, complaint", KEY_FILES.values(), ids=KEY_FILES.keys())
def test_key_files_take_raw_bytes_or_hex_and_say_what_they_expected(content, complaint, tmp_path, capfdbinary):
    path = tmp_path / "k"
    path.write_bytes(content)
    status, out, err = run(["encrypt", "--key-file", str(path), "--hex-input", TEXT.hex()], capfdbinary)
    if complaint is None:
        assert (status, out) == (0, TEA.encrypt_qq(TEXT))
        return
    assert_one_line(err, status, 2)
    assert complaint in err
    if not cli._looks_like_text(content) or not content:
        assert "hex" not in err, "a binary key file's message speaks of hex digits"


def test_sum_table_file_takes_raw_bytes_or_hex(tmp_path, capfdbinary):
    (tmp_path / "raw").write_bytes(SUMS)
    (tmp_path / "hex").write_text(SUMS.hex() + "\n")
    for name in ("raw", "hex"):
        status, out, _ = run(["encrypt", "-k", KEY_HEX, "--sumtable-file", str(tmp_path / name),
                              "--hex-input", TEXT.hex()], capfdbinary)
        assert status == 0 and out == TEA.encrypt(TEXT, SUMS)


# ---- bad input: one line, status 2, nothing written -----------------------------

def _refused_16_byte_ciphertext():
    # A 16-byte text whose decrypted header claims 7 bytes of fill.
    rng = random.Random(11)
    while True:
        c = rng.randbytes(16)
        try:
            TEA.decrypt_qq(c)
        except ValueError:
            return c


BAD = {
    "key-15-bytes": ["encrypt", "-k", KEY_HEX[:-2], "--hex-input", ""],
    "key-17-bytes": ["encrypt", "-k", KEY_HEX + "00", "--hex-input", ""],
    "key-odd-digits": ["encrypt", "-k", KEY_HEX[:-1], "--hex-input", ""],
    "key-not-hex": ["encrypt", "-k", "zz" + KEY_HEX[2:], "--hex-input", ""],
    "key-missing": ["encrypt", "--hex-input", ""],
    "key-twice": ["encrypt", "-k", KEY_HEX, "--key-file", "k", "--hex-input", ""],
    "key-file-missing": ["encrypt", "--key-file", "{missing}", "--hex-input", ""],
    "key-file-newline-name": ["encrypt", "--key-file", "{newline}", "--hex-input", ""],
    "key-file-a-folder": ["encrypt", "--key-file", "{folder}", "--hex-input", ""],
    "sumtable-63-bytes": ["encrypt", "-k", KEY_HEX, "--sumtable", SUMS.hex()[:-2], "--hex-input", ""],
    "sumtable-not-hex": ["encrypt", "-k", KEY_HEX, "--sumtable", "g" * 128, "--hex-input", ""],
    "sumtable-file-short": ["decrypt", "-k", KEY_HEX, "--sumtable-file", "{short}", "--hex-input", "00" * 16],
    "native-without-sumtable": ["encrypt", "-k", KEY_HEX, "--native-endian", "--hex-input", ""],
    "input-missing": ["encrypt", "-k", KEY_HEX, "{missing}"],
    "input-newline-name": ["encrypt", "-k", KEY_HEX, "{newline}"],
    "input-a-folder": ["encrypt", "-k", KEY_HEX, "{folder}"],
    "input-and-hex-input": ["encrypt", "-k", KEY_HEX, "{short}", "--hex-input", ""],
    "hex-input-odd": ["encrypt", "-k", KEY_HEX, "--hex-input", "abc"],
    "hex-input-not-hex": ["encrypt", "-k", KEY_HEX, "--hex-input", "0x41"],
    "ciphertext-empty": ["decrypt", "-k", KEY_HEX, "--hex-input", ""],
    "ciphertext-15-bytes": ["decrypt", "-k", KEY_HEX, "--hex-input", "00" * 15],
    "ciphertext-17-bytes": ["decrypt", "-k", KEY_HEX, "--hex-input", "00" * 17],
    "ciphertext-file-20-bytes": ["decrypt", "-k", KEY_HEX, "{twenty}", "-o", "{out}"],
    "ciphertext-bad-header": ["decrypt", "-k", KEY_HEX, "--hex-input", "{refused}"],
    "ciphertext-piped-17-bytes": ["decrypt", "-k", KEY_HEX, "-o", "{out}"],
    "output-folder-missing": ["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", "{missing}/x"],
    "output-a-folder": ["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", "{folder}"],
    "output-link-to-a-folder": ["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", "{folder_link}"],
    "no-command": [],
    "unknown-command": ["seal", "-k", KEY_HEX],
    "unknown-option": ["encrypt", "-k", KEY_HEX, "--rounds", "32"],
}


@pytest.mark.parametrize("argv", BAD.values(), ids=BAD.keys())
def test_bad_input_gives_one_line_and_status_2(argv, tmp_path, capfdbinary):
    (tmp_path / "short").write_bytes(b"0123456789")
    (tmp_path / "twenty").write_bytes(bytes(20))
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder_link").symlink_to("folder")
    before = sorted(p.name for p in tmp_path.iterdir())
    names = {"short": tmp_path / "short", "missing": tmp_path / "missing", "folder": tmp_path / "folder",
             "newline": tmp_path / "a\nb", "twenty": tmp_path / "twenty", "out": tmp_path / "out",
             "folder_link": tmp_path / "folder_link", "refused": _refused_16_byte_ciphertext().hex()}
    argv = [a.format(**names) for a in argv]
    status, out, err = run(argv, capfdbinary, stdin=bytes(17))
    assert_one_line(err, status, 2)
    assert out == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == before


LONG = random.Random(5).randbytes(300)  # five chunks of the 64 bytes read below
DISCARD = "; the bytes already written to standard output are not a plaintext: discard them\n"

# Each reason the cipher gives, and a read error mid-way: the input (a file;
# "-from-a-pipe": standard input), the options, the status, what the message
# says, and whether plaintext went out before the end (never for fewer than
# 17 bytes, nor for a file whose length no ciphertext has).
REFUSALS = {
    "short": (bytes(15), [], 2, "not a ciphertext: 15 bytes, a ciphertext is a multiple of 8", False),
    "blocks": (TEA.encrypt_qq(LONG) + b"x", [], 2, "not a ciphertext: 313 bytes", False),
    "blocks-from-a-pipe": (TEA.encrypt_qq(LONG) + b"x", [], 2, "not a ciphertext: 313 bytes", True),
    "fill": (_refused_16_byte_ciphertext(), [], 2, "decrypt to a header that leaves no room", False),
    "check": (qulo.TEA(bytes(16)).encrypt_qq(LONG), [], 2, "failed verification", True),
    "no-verify": (qulo.TEA(bytes(16)).encrypt_qq(LONG), ["--no-verify"], 0, None, True),
    "read-error": (TEA.encrypt_qq(LONG), [], 1, "cannot read", True),
}


@pytest.mark.parametrize("to", ["file", "stdout"])
@pytest.mark.parametrize("case", REFUSALS)
def test_each_refusal_has_its_message_and_status_and_standard_output_is_told_to_discard(
        case, to, tmp_path, capfdbinary, monkeypatch):
    text, options, expected, says, went_out = REFUSALS[case]
    (tmp_path / "in.qq").write_bytes(text)
    target = tmp_path / "out"
    target.write_bytes(b"old contents")
    monkeypatch.setattr(pump, "CHUNK", 64)
    reads, real_readv = itertools.count(), os.readv

    def readv(fd, buffers):  # the third read fails: after the first chunk's output went out
        if case == "read-error" and next(reads) >= 2:
            raise OSError(5, "Input/output error")
        return real_readv(fd, buffers)

    monkeypatch.setattr(os, "readv", readv)
    piped = case.endswith("-from-a-pipe")
    status, out, err = run(["decrypt", "-k", KEY_HEX, *options, "-" if piped else str(tmp_path / "in.qq"),
                            *(["-o", str(target)] if to == "file" else [])], capfdbinary,
                           stdin=text if piped else b"")
    if expected == 0:
        assert (status, err) == (0, "")
        assert (out if to == "stdout" else target.read_bytes()) == TEA.decrypt_qq(text)
        return
    assert_one_line(err, status, expected)
    assert says in err
    assert err.endswith(DISCARD) == (to == "stdout" and went_out), err
    assert (out != b"") == (to == "stdout" and went_out)
    assert target.read_bytes() == b"old contents"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.qq", "out"]


def test_native_endian_is_refused_before_standard_input_is_read(capfdbinary, monkeypatch):
    def unread(*args):
        raise AssertionError("standard input was read")

    monkeypatch.setattr(os, "readv", unread)
    status, _, _ = run(["encrypt", "-k", KEY_HEX, "--native-endian"], capfdbinary)
    assert status == 2


# ---- -o: what happens to what is there ----------------------------------------------

@pytest.fixture
def existing(tmp_path):
    target = tmp_path / "result.bin"
    target.write_bytes(b"the old contents")
    target.chmod(0o604)
    return target


def _unnamed_files_work(folder):
    try:
        os.close(os.open(folder, os.O_TMPFILE | os.O_WRONLY))
    except (AttributeError, OSError):
        return False
    return True


@pytest.fixture(params=["unnamed", "named"])
def temporaries(request, tmp_path, monkeypatch):
    """Runs a test with each kind of temporary output file: unnamed until it
    is complete where the file system offers that, named from the start elsewhere."""
    if request.param == "unnamed" and not _unnamed_files_work(tmp_path):
        pytest.skip("the file system makes no unnamed files")
    if request.param == "named":
        monkeypatch.setattr(sinks, "_unnamed_file", lambda folder: -1)
    return request.param


@pytest.mark.parametrize("failing", ["fsync", "replace", "fchmod", "link"])
def test_a_failure_while_writing_leaves_the_old_file_and_no_temporary(existing, temporaries, capfdbinary,
                                                                      monkeypatch, failing):
    if failing == "link" and temporaries == "named":
        pytest.skip("a named temporary is not linked")

    def fail(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, failing, fail)
    status, _, err = run(["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", str(existing)], capfdbinary)
    assert_one_line(err, status, 1)
    assert "No space left on device" in err
    assert existing.read_bytes() == b"the old contents"
    assert [p.name for p in existing.parent.iterdir()] == [existing.name]


def test_a_regular_file_is_replaced_whole_keeping_owner_and_mode_but_not_setuid(existing, capfdbinary):
    existing.chmod(0o6755)
    if os.geteuid() == 0:
        os.chown(existing, 1234, 5678)
    before = existing.stat()
    status, _, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", TEXT.hex(), "-o", str(existing)], capfdbinary)
    assert status == 0
    after = existing.stat()
    assert existing.read_bytes() == TEA.encrypt_qq(TEXT)
    assert after.st_ino != before.st_ino, "not replaced in one step"
    assert stat.S_IMODE(after.st_mode) == 0o755
    assert (after.st_uid, after.st_gid) == (before.st_uid, before.st_gid)
    assert [p.name for p in existing.parent.iterdir()] == [existing.name]


def test_a_new_file_follows_the_umask(tmp_path, temporaries, capfdbinary):
    target = tmp_path / "out.hex"
    old = os.umask(0o027)
    try:
        status, _, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", "61", "--hex", "-o", str(target)],
                           capfdbinary)
    finally:
        os.umask(old)
    assert status == 0
    assert target.read_text() == TEA.encrypt_qq(b"a").hex() + "\n"
    assert stat.S_IMODE(target.stat().st_mode) == 0o640


def test_a_symbolic_link_is_followed_and_its_target_replaced(tmp_path, capfdbinary):
    (tmp_path / "real").write_bytes(b"old")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "link").symlink_to("../real")
    (tmp_path / "chain").symlink_to("sub/link")
    (tmp_path / "dangling").symlink_to("created")
    for link, target in (("chain", "real"), ("dangling", "created")):
        status, _, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", TEXT.hex(), "-o", str(tmp_path / link)],
                           capfdbinary)
        assert status == 0
        assert (tmp_path / link).is_symlink()
        assert (tmp_path / target).read_bytes() == TEA.encrypt_qq(TEXT)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["chain", "created", "dangling", "real", "sub"]


def _read_all(sock_or_fd, into):
    while True:
        chunk = sock_or_fd.recv(1 << 16) if isinstance(sock_or_fd, socket.socket) else os.read(sock_or_fd, 1 << 16)
        if not chunk:
            return
        into += chunk


def test_fifos_sockets_and_character_devices_are_written_in_place(tmp_path, capfdbinary):
    text = random.Random(1).randbytes(300_000)
    (tmp_path / "plain").write_bytes(text)
    expected = TEA.encrypt_qq(text)

    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    got = bytearray()
    reader = threading.Thread(target=lambda: _read_all(os.open(fifo, os.O_RDONLY), got))
    reader.start()
    assert run(["encrypt", "-k", KEY_HEX, str(tmp_path / "plain"), "-o", str(fifo)], capfdbinary)[0] == 0
    reader.join()
    assert bytes(got) == expected and stat.S_ISFIFO(fifo.lstat().st_mode)

    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(str(tmp_path / "sock"))
    server.listen(1)
    got = bytearray()
    acceptor = threading.Thread(target=lambda: _read_all(server.accept()[0], got))
    acceptor.start()
    assert run(["encrypt", "-k", KEY_HEX, str(tmp_path / "plain"), "-o", str(tmp_path / "sock")],
               capfdbinary)[0] == 0
    acceptor.join()
    server.close()
    assert bytes(got) == expected and stat.S_ISSOCK((tmp_path / "sock").lstat().st_mode)

    node = tmp_path / "null"
    try:
        os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # the null device's numbers
    except PermissionError:
        pytest.skip("making a device node needs privileges")
    assert run(["encrypt", "-k", KEY_HEX, str(tmp_path / "plain"), "-o", str(node)], capfdbinary)[0] == 0
    assert stat.S_ISCHR(node.lstat().st_mode) and node.lstat().st_rdev == os.makedev(1, 3)


def test_names_up_to_the_limit_get_temporaries_within_it(tmp_path, temporaries, capfdbinary, monkeypatch):
    seen = []
    real_replace = os.replace

    def spy(temporary, target, **kwargs):
        seen.append(os.path.basename(temporary))
        return real_replace(temporary, target, **kwargs)

    monkeypatch.setattr(os, "replace", spy)
    for length in (1, 240, 250, 255):
        target = tmp_path / ("é" * (length // 2) + "n" * (length % 2))  # two bytes a letter
        target.write_bytes(b"old")  # replaced: renamed over from a temporary name
        status, _, err = run(["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", str(target)], capfdbinary)
        assert status == 0, err
        assert target.stat().st_size == 16
    assert len(seen) == 4 and all(len(name) <= 255 for name in seen)
    assert len(list(tmp_path.iterdir())) == 4


def _writes_into(child, folder):
    """Whether the child holds a file in `folder` open that has data in it
    (its temporary output, named or not); waits for it a while."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for fd in Path(f"/proc/{child.pid}/fd").iterdir():
            with contextlib.suppress(OSError):  # closed meanwhile
                if os.readlink(fd).startswith(f"{folder}/") and fd.stat().st_size:
                    return True
        time.sleep(0.01)
    return False


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGKILL])
def test_signals_leave_the_old_output_and_no_temporary(signum, existing, tmp_path):
    if signum == signal.SIGKILL and not _unnamed_files_work(tmp_path):
        pytest.skip("where files cannot be unnamed, SIGKILL leaves the named temporary")
    # A slow writer keeps the run going: it has written part of the output
    # to its temporary file when the signal comes.
    ciphertext = TEA.encrypt_qq(bytes(1 << 20))
    child = subprocess.Popen([sys.executable, "-m", "qulo", "decrypt", "-k", KEY_HEX, "-o", str(existing)],
                             stdin=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    child.stdin.write(ciphertext[:300_000])
    child.stdin.flush()
    assert _writes_into(child, tmp_path), "no temporary output appeared"
    child.send_signal(signum)
    child.stdin.close()
    assert child.wait(timeout=30) == -signum
    assert b"Traceback" not in child.stderr.read()
    assert existing.read_bytes() == b"the old contents"
    assert [p.name for p in tmp_path.iterdir()] == [existing.name]


def test_a_run_stuck_on_a_pipe_nobody_reads_still_ends_on_a_signal(tmp_path):
    (tmp_path / "plain").write_bytes(bytes(8 << 20))
    child = subprocess.Popen([sys.executable, "-m", "qulo", "encrypt", "-k", KEY_HEX, "plain"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    assert len(child.stdout.read(1)) == 1  # it runs, and its pipe is full before long
    time.sleep(0.5)
    child.send_signal(signal.SIGTERM)
    assert child.wait(timeout=30) == -signal.SIGTERM
    child.stdout.close()
    assert child.stderr.read() == b""


# ---- standard output never lies -------------------------------------------------

@pytest.fixture
def big(tmp_path):
    path = tmp_path / "big"
    path.write_bytes(random.Random(2).randbytes(50_000_016))
    return path


def test_a_full_device_as_standard_output_fails_in_one_line(big, tmp_path):
    with open("/dev/full", "wb") as full:
        done = shell(["encrypt", "-k", KEY_HEX, str(big)], tmp_path, stdout=full)
    err = done.stderr.decode()
    assert_one_line(err, done.returncode, 1)
    assert "No space left on device" in err


@pytest.mark.parametrize("unbuffered", [False, True], ids=["buffered", "PYTHONUNBUFFERED"])
def test_a_reader_that_stops_early_ends_the_run_quietly_with_status_1(unbuffered, big, tmp_path):
    env = {"PYTHONUNBUFFERED": "1"} if unbuffered else {}
    child = subprocess.Popen([sys.executable, "-m", "qulo", "encrypt", "-k", KEY_HEX, str(big)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
                             env={**os.environ, **env})
    assert len(child.stdout.read(10)) == 10
    child.stdout.close()
    assert child.wait(timeout=60) == 1
    assert child.stderr.read() == b""


def test_a_non_blocking_pipe_receives_every_byte(big, tmp_path):
    read, write = os.pipe()
    os.set_blocking(write, False)
    child = subprocess.Popen([sys.executable, "-m", "qulo", "encrypt", "-k", KEY_HEX, str(big)],
                             stdout=write, stderr=subprocess.PIPE, cwd=tmp_path)
    os.close(write)
    got = bytearray()
    while chunk := os.read(read, 1 << 16):
        got += chunk
        if len(got) < 1 << 20:
            time.sleep(0.001)  # a slow reader at first: the pipe fills up
    os.close(read)
    assert child.wait(timeout=60) == 0, child.stderr.read()
    assert len(got) == qulo.encrypt_len(50_000_016)
    assert bytes(got) == TEA.encrypt_qq(big.read_bytes())


def test_read_failures_are_io_failures(tmp_path, capfdbinary, monkeypatch):
    def broken(fd, buffers):
        raise OSError(5, "Input/output error")

    (tmp_path / "plain").write_bytes(TEXT)
    monkeypatch.setattr(os, "readv", broken)
    for source in ([str(tmp_path / "plain")], []):
        status, _, err = run(["encrypt", "-k", KEY_HEX, *source, "-o", str(tmp_path / "out")], capfdbinary,
                             stdin=TEXT)
        assert_one_line(err, status, 1)
        assert "cannot read" in err and "Input/output error" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plain"]


def test_an_input_that_changes_size_while_read_is_an_io_failure(tmp_path, capfdbinary, monkeypatch):
    path = tmp_path / "growing"
    path.write_bytes(bytes(5000))
    monkeypatch.setattr(pump, "CHUNK", 1024)
    real = sources.Source.readinto

    for change in (b"more", None):
        path.write_bytes(bytes(5000))

        def readinto(self, buf, change=change):
            n = real(self, buf)
            if change is not None:
                with open(path, "ab") as f:
                    f.write(change)
            else:
                os.truncate(path, 3000)
            return n

        monkeypatch.setattr(sources.Source, "readinto", readinto)
        status, _, err = run(["encrypt", "-k", KEY_HEX, str(path), "-o", str(tmp_path / "out")], capfdbinary)
        assert_one_line(err, status, 1)
        assert "changed size while being read" in err
        assert not (tmp_path / "out").exists()


# ---- what output may go where ---------------------------------------------------------

SEALED = TEA.encrypt_qq(TEXT)
ENCRYPT, DECRYPT = (["encrypt", "-k", KEY_HEX], ["decrypt", "-k", KEY_HEX])
HELLO = ENCRYPT + ["--hex-input", b"hello".hex(), "--hex", "-o"]
HELLO_HEX = TEA.encrypt_qq(b"hello").hex().encode() + b"\n"
APPENDED = {"log": b"log\n" + HELLO_HEX}
SAME = "are the same file"
KEY_FILE, BY_KEY_FILE = KEY_HEX.encode() + b"\n", ["--key-file", "my.key"]


def same(read, output):
    return f"{read} and the output ({output}) {SAME}"


# argv ({fd}: the descriptor passed), the child's descriptors (on files the
# test made in its folder; None closes standard error), the status, what
# standard error says, and what the files and standard output hold after.
OUTPUT_RULES = {
    "proc-self-fd-appends": (HELLO + ["/proc/self/fd/1"], {"stdout": "log"}, 0, "", APPENDED),
    "dev-fd-appends": (HELLO + ["/dev/fd/{fd}"], {"pass": "log"}, 0, "", APPENDED),
    "link-to-a-descriptor": (HELLO + ["to-stdout"], {"stdout": "log"}, 0, "", APPENDED),
    "descriptor-on-a-pipe": (HELLO + ["/proc/self/fd/1"], {}, 0, "", {"stdout": HELLO_HEX}),
    "descriptor-read-only": (HELLO + ["/dev/fd/{fd}"], {"pass-read": "log"}, 1, "Bad file", {"log": b"log\n"}),
    "stderr-closed": (ENCRYPT + ["plain", "-o", "out"], {"stderr": None}, 0, None, {"out": SEALED, "stdout": b""}),
    "stderr-closed-failing": (ENCRYPT + ["missing", "--hex"], {"stderr": None}, 2, None, {"stdout": b""}),
    "same-file-stdout": (DECRYPT + ["sealed"], {"stdout": "sealed"}, 2, SAME, {"sealed": SEALED}),
    "same-file-hard-link": (ENCRYPT + ["plain", "-o", "plain-hard"], {}, 2, SAME, {"plain": TEXT}),
    "same-file-symlink": (ENCRYPT + ["plain-sym", "-o", "plain"], {}, 2, SAME, {"plain": TEXT}),
    "same-file-stdin": (ENCRYPT + ["-o", "plain"], {"stdin": "plain"}, 2, SAME, {"plain": TEXT}),
    "key-file-encrypt": (["encrypt", *BY_KEY_FILE, "plain", "-o", "my.key"], {}, 2,
                         same("the key file (my.key)", "my.key"), {"my.key": KEY_FILE}),
    "key-file-decrypt": (["decrypt", *BY_KEY_FILE, "sealed", "-o", "my.key"], {}, 2,
                         same("the key file (my.key)", "my.key"), {"my.key": KEY_FILE}),
    "key-file-hard-link": (["encrypt", *BY_KEY_FILE, "plain", "-o", "key-hard"], {}, 2,
                           same("the key file (my.key)", "key-hard"), {"my.key": KEY_FILE}),
    "key-file-symlink": (["decrypt", "--key-file", "key-sym", "sealed", "-o", "my.key"], {}, 2,
                         same("the key file (key-sym)", "my.key"), {"my.key": KEY_FILE}),
    "key-file-stdout": (["encrypt", *BY_KEY_FILE, "plain"], {"stdout": "my.key"}, 2,
                        same("the key file (my.key)", "standard output"), {"my.key": KEY_FILE}),
    "sumtable-file-encrypt": (ENCRYPT + ["--sumtable-file", "sums", "plain", "-o", "sums"], {}, 2,
                              same("the sum table file (sums)", "sums"), {"sums": SUMS}),
    "sumtable-file-decrypt": (DECRYPT + ["--sumtable-file", "sums", "sealed", "-o", "sums"], {}, 2,
                              same("the sum table file (sums)", "sums"), {"sums": SUMS}),
    "refused-at-the-end": (DECRYPT + ["-o", "plain"], {"stdin": "refused"}, 2, "not a ciph", {"plain": TEXT}),
    "parquet-input-as-output": (ENCRYPT + ["--columns", "payload", "data.parquet", "-o", "data.parquet"], {},
                                2, same("the input (data.parquet)", "data.parquet"), {"data.parquet": PLAIN_PARQUET}),
    "parquet-refused-in-row-group-3": (DECRYPT + ["--columns", "payload", "damaged.parquet", "-o", "plain"],
                                       {}, 2, "column 'payload': row 8 cannot be decrypted", {"plain": TEXT}),
}


@pytest.mark.parametrize("argv, streams, status, says, after", [
    pytest.param(*row, id=name, marks=[needs_pyarrow] if "--columns" in row[0] else [])
    for name, row in OUTPUT_RULES.items()])
def test_output_goes_through_named_descriptors_never_onto_its_input_nor_into_a_lost_stderr(
        argv, streams, status, says, after, tmp_path):
    for name, data in {"log": b"log\n", "plain": TEXT, "sealed": SEALED, "my.key": KEY_FILE, "sums": SUMS,
                       "refused": _refused_16_byte_ciphertext(), "data.parquet": PLAIN_PARQUET,
                       "damaged.parquet": DAMAGED_PARQUET}.items():
        (tmp_path / name).write_bytes(data)
    for name, link in (("plain", "plain-hard"), ("my.key", "key-hard")):
        os.link(tmp_path / name, tmp_path / link)
    for name, link in (("plain", "plain-sym"), ("my.key", "key-sym")):
        (tmp_path / link).symlink_to(name)
    (tmp_path / "to-stdout").symlink_to("/proc/self/fd/1")
    before = {p.name for p in tmp_path.iterdir()}
    kwargs = {"stderr": None, "preexec_fn": lambda: os.close(2)} if "stderr" in streams else {}
    with contextlib.ExitStack() as opened:
        for stream, name in streams.items():
            if name:
                f = opened.enter_context(open(tmp_path / name, "rb" if stream in ("stdin", "pass-read") else "ab"))
                kwargs.update({"pass_fds": [f.fileno()]} if stream.startswith("pass") else {stream: f})
        done = shell([a.format(fd=kwargs.get("pass_fds", [None])[0]) for a in argv], tmp_path, **kwargs)
    assert done.returncode == status, done.stderr
    if says is not None:  # standard error was open
        err = done.stderr.decode()
        assert says in err and err.count("\n") == (status != 0) and "Traceback" not in err, err
    for name, data in after.items():
        assert (done.stdout if name == "stdout" else (tmp_path / name).read_bytes()) == data, name
    assert {p.name for p in tmp_path.iterdir()} - before <= set(after), "a temporary was left behind"


@pytest.mark.parametrize("output", ["plain", "my.key", "sums"])
def test_a_file_the_run_reads_is_refused_before_an_output_file_is_made(output, tmp_path, capfdbinary,
                                                                       monkeypatch):
    for name, data in {"plain": TEXT, "my.key": KEY, "sums": SUMS}.items():
        (tmp_path / name).write_bytes(data)
    monkeypatch.setattr(sinks, "AtomicSink", lambda *a: pytest.fail("an output file was made"))
    status, _, err = run(["encrypt", "--key-file", str(tmp_path / "my.key"), "--sumtable-file",
                          str(tmp_path / "sums"), str(tmp_path / "plain"), "-o", str(tmp_path / output)],
                         capfdbinary)
    assert_one_line(err, status, 2)
    assert SAME in err


# ---- terminals, progress, memory --------------------------------------------------------

def test_terminals_get_no_raw_ciphertext_and_are_not_waited_on(tmp_path):
    master, slave = os.openpty()
    shown = b""
    try:
        tty_name = os.ttyname(slave)
        cases = [
            (["decrypt", "-k", KEY_HEX, "--hex-input", SEALED.hex()], {"stdout": slave}, 0),
            (["decrypt", "-k", KEY_HEX, "--hex-input", SEALED.hex(), "-o", tty_name], {}, 0),
            (["encrypt", "-k", KEY_HEX, "--hex-input", "61"], {"stdout": slave}, 2),
            (["encrypt", "-k", KEY_HEX, "--hex-input", "61", "-o", tty_name], {}, 2),
            (["encrypt", "-k", KEY_HEX, "--hex-input", "61", "--hex"], {"stdout": slave}, 0),
            (["encrypt", "-k", KEY_HEX, "--hex-input", "61", "--force"], {"stdout": slave}, 0),
            (["encrypt", "-k", KEY_HEX, "-o", "out"], {"stdin": slave}, 2),
        ]
        for argv, streams, expected in cases:
            done = shell(argv, tmp_path, **streams)
            err = done.stderr.decode()
            assert done.returncode == expected, (argv, err)
            if expected == 2:
                assert_one_line(err, done.returncode, 2)
                assert ("--hex" in err and "--force" in err) or "terminal" in err
            while select.select([master], [], [], 0)[0]:
                shown += os.read(master, 1 << 16)
    finally:
        os.close(master)
        os.close(slave)
    assert not (tmp_path / "out").exists()
    assert shown.count(TEXT) == 2, "a plaintext did not reach the terminal"


class _Slow:
    """A context that takes its time, so that a short run counts as long."""

    def __init__(self, inner):
        self.inner = inner

    def update_into(self, data, out):
        time.sleep(0.25)
        return self.inner.update_into(data, out)

    def finalize(self):
        return self.inner.finalize()


@pytest.mark.parametrize("how", ["terminal", "quiet", "pipe", "ci"])
def test_a_progress_bar_only_on_a_terminal_and_only_for_long_work(how, tmp_path, capfdbinary, monkeypatch):
    pytest.importorskip("tqdm")
    (tmp_path / "plain").write_bytes(bytes(6 * 1024))
    monkeypatch.setattr(pump, "CHUNK", 1024)
    monkeypatch.setattr(cli, "Encryptor", lambda *a, **k: _Slow(qulo.Encryptor(*a, **k)))
    monkeypatch.delenv("CI", raising=False)
    if how == "ci":
        monkeypatch.setenv("CI", "true")
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # as terminals have
    stderr = open(slave, "w", closefd=False) if how != "pipe" else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    argv = ["encrypt", "-k", KEY_HEX, str(tmp_path / "plain"), "-o", str(tmp_path / "out")]
    status = cli.main(argv + (["--quiet"] if how == "quiet" else []))
    shown = b""
    while select.select([master], [], [], 0.1)[0]:
        shown += os.read(master, 1 << 16)
    os.close(master)
    os.close(slave)
    assert status == 0
    if how == "terminal":
        assert b"%" in shown and b"6.00kiB/6.00kiB" in shown and b"<" in shown  # share, bytes, time left
        assert b"B/s" in shown
    else:
        assert shown == b""


# The child's own high-water mark: its rusage would also count what the
# parent held when it forked.
_HWM = (
    "import os, sys\n"
    "from qulo.cli import main\n"
    "status = main(sys.argv[1:]) if len(sys.argv) > 1 else 0\n"
    "hwm = [l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1]\n"
    "open(os.environ['QULO_TEST_HWM'], 'w').write(hwm)\n"
    "sys.exit(status)\n"
)


def _peak_rss_kib(args, tmp_path, **kwargs):
    report = tmp_path.parent / f"{tmp_path.name}.hwm"
    env = {**kwargs.pop("env", os.environ), "QULO_TEST_HWM": str(report)}
    done = subprocess.run([sys.executable, "-c", _HWM, *args], cwd=tmp_path, env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=300, **kwargs)
    assert done.returncode == 0, done.stderr
    peak = int(report.read_text())
    report.unlink()
    return peak


@pytest.mark.no_sanitizer
def test_memory_stays_flat_for_large_files_and_pipes(tmp_path):
    size = 256 << 20
    plain = tmp_path / "plain"
    with open(plain, "wb") as f:
        f.truncate(size)  # sparse: costs no disk
    base = _peak_rss_kib([], tmp_path)
    tool = ["encrypt", "-k", KEY_HEX, "-q", "-o", str(tmp_path / "sealed")]
    from_file = _peak_rss_kib([*tool, str(plain)], tmp_path)
    env = {**os.environ, "TMPDIR": str(tmp_path)}
    with open(plain, "rb") as f:
        # A pipe: the spool goes to a temporary file, not into memory.
        cat = subprocess.Popen(["cat"], stdin=f, stdout=subprocess.PIPE)
        from_pipe = _peak_rss_kib(tool, tmp_path, stdin=cat.stdout, env=env)
        cat.stdout.close()
        cat.wait()
    assert (tmp_path / "sealed").stat().st_size == qulo.encrypt_len(size)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plain", "sealed"], "spool left behind"
    assert base > 1024, "the high-water mark was not read"
    for peak in (from_file, from_pipe):
        assert peak - base < 64 * 1024, (base, from_file, from_pipe)


# ---- the columns of a Parquet file -------------------------------------------------------

@pytest.fixture
def parquet(tmp_path):
    pytest.importorskip("pyarrow")
    (tmp_path / "data.parquet").write_bytes(PLAIN_PARQUET)
    return tmp_path


@pytest.mark.parametrize("mode", MODES)
def test_columns_of_a_parquet_file_round_trip_value_by_value_keeping_the_rest(mode, parquet, capfdbinary):
    options, encrypt, _ = MODES[mode]
    plain, sealed, opened = (str(parquet / name) for name in ("data.parquet", "sealed", "opened"))
    assert run(["encrypt", "-k", KEY_HEX, *options, "--columns", "payload,email", plain, "-o", sealed],
               capfdbinary) == (0, b"", "")
    table, file = pq.read_table(sealed), pq.ParquetFile(sealed)
    assert table.column("payload").to_pylist() == [
        None if v is None else encrypt(v) for v in _plain_table().column("payload").to_pylist()]
    assert table.column("email").to_pylist() == [
        None if v is None else encrypt(v.encode()) for v in _plain_table().column("email").to_pylist()]
    assert table.schema.field("email").type == pa.large_binary()
    assert [file.metadata.row_group(g).num_rows for g in range(file.num_row_groups)] == [4, 4, 2]
    assert file.metadata.row_group(0).column(0).compression == "ZSTD"
    assert file.metadata.metadata[b"written-by"] == b"test"
    # Decrypted as binary, then as text: the table that went in.
    assert run(["decrypt", "-k", KEY_HEX, *options, "--columns", "payload", sealed, "-o", opened],
               capfdbinary)[0] == 0
    assert run(["decrypt", "-k", KEY_HEX, *options, "--columns", "email", "--as-text", opened, "-o", plain],
               capfdbinary)[0] == 0
    back = pq.read_table(plain)
    assert back.equals(_plain_table()) and back.schema.metadata == {b"owner": b"ops"}
    assert back.schema.field("payload").metadata == {b"kind": b"secret"}


# argv ({data}, {sealed}: the plain and the sealed Parquet file; {plain}: a
# text file), what the one line says.
PARQUET_REFUSED = {
    "missing-column": (ENCRYPT + ["--columns", "payload,emial", "{data}", "-o", "out"],
                       "no column 'emial' in {data}; its columns are 'id', 'payload', 'email'"),
    "not-parquet": (ENCRYPT + ["--columns", "payload", "{plain}", "-o", "out"], "is not a Parquet file"),
    "standard-input": (ENCRYPT + ["--columns", "payload", "-o", "out"], "name the file as INPUT"),
    "a-fifo": (ENCRYPT + ["--columns", "payload", "{fifo}", "-o", "out"], "is not a regular file"),
    "standard-output": (ENCRYPT + ["--columns", "payload", "{data}"], "give -o PATH"),
    "a-descriptor": (ENCRYPT + ["--columns", "payload", "{data}", "-o", "/dev/stdout"], "not a file"),
    "hex": (ENCRYPT + ["--columns", "payload", "{data}", "-o", "out", "--hex"], "drop --hex"),
    "an-int-column": (ENCRYPT + ["--columns", "id", "{data}", "-o", "out"], "column 'id' (int64) cannot be"),
    "an-empty-name": (ENCRYPT + ["--columns", "payload,", "{data}", "-o", "out"], "empty name"),
    "as-text-alone": (DECRYPT + ["--as-text", "{sealed}", "-o", "out"], "goes with --columns"),
    "plaintext-decrypted": (DECRYPT + ["--columns", "payload", "{data}", "-o", "out"],
                            "{data}: column 'payload': row 0 cannot be decrypted: 0 bytes"),
    "wrong-key": (["decrypt", "-k", "ff" * 16, "--columns", "payload", "{sealed}", "-o", "out"],
                  "column 'payload': row 0 cannot be decrypted"),
}


@pytest.mark.parametrize("argv, says", PARQUET_REFUSED.values(), ids=PARQUET_REFUSED.keys())
def test_columns_refusals_come_before_any_output_in_one_line(argv, says, parquet, capfdbinary, monkeypatch):
    (parquet / "sealed.parquet").write_bytes(_parquet_bytes(qulo.encrypt_columns(TEA, _plain_table(), "payload")))
    (parquet / "plain").write_bytes(TEXT)
    os.mkfifo(parquet / "fifo")
    names = {"data": "data.parquet", "sealed": "sealed.parquet", "plain": "plain", "fifo": "fifo"}
    before = sorted(p.name for p in parquet.iterdir())
    monkeypatch.chdir(parquet)
    status, out, err = run([a.format(**names) for a in argv], capfdbinary, stdin=PLAIN_PARQUET)
    assert_one_line(err, status, 2)
    assert says.format(**names) in err and out == b""
    assert sorted(p.name for p in parquet.iterdir()) == before


def test_columns_refused_in_a_later_row_group_name_its_row_and_leave_no_thread(parquet, capfdbinary):
    # Row group 2 is read and ciphered on a thread while row group 1 is written.
    (parquet / "damaged.parquet").write_bytes(DAMAGED_PARQUET)
    status, out, err = run(DECRYPT + ["--columns", "payload", str(parquet / "damaged.parquet"), "-o",
                                      str(parquet / "out")], capfdbinary)
    assert_one_line(err, status, 2)
    assert "column 'payload': row 8 cannot be decrypted" in err and out == b""
    assert not (parquet / "out").exists()
    assert [t.name for t in threading.enumerate() if t.name.startswith("qulo-parquet")] == []


# A wrapper of the tool that fails as it reads the third row group.
_FAILING_AT_ROW_GROUP_2 = (
    "import os, signal, sys\n"
    "import pyarrow.parquet as pq\n"
    "from qulo.cli import main\n"
    "real = pq.ParquetFile.read_row_group\n"
    "def read(self, group, *args, **kwargs):\n"
    "    if group == 2:\n"
    "        how = os.environ['QULO_TEST_FAIL']\n"
    "        if how == 'read-error':\n"
    "            raise OSError(5, 'Input/output error')\n"
    "        os.kill(os.getpid(), getattr(signal, how))\n"
    "    return real(self, group, *args, **kwargs)\n"
    "pq.ParquetFile.read_row_group = read\n"
    "sys.exit(main(sys.argv[1:]))\n"
)


@pytest.mark.parametrize("how, status", [("read-error", 1), ("SIGTERM", -signal.SIGTERM),
                                         ("SIGINT", -signal.SIGINT)])
def test_columns_failing_mid_file_leave_the_old_output_and_no_temporary(how, status, parquet, existing):
    done = subprocess.run([sys.executable, "-c", _FAILING_AT_ROW_GROUP_2, "encrypt", "-k", KEY_HEX,
                           "--columns", "payload", "data.parquet", "-o", str(existing)], cwd=parquet,
                          env={**os.environ, "QULO_TEST_FAIL": how}, capture_output=True, timeout=120)
    assert done.returncode == status, done.stderr
    if how == "read-error":
        assert_one_line(done.stderr.decode(), 1, 1)
        assert b"cannot read data.parquet: Input/output error" in done.stderr
    assert existing.read_bytes() == b"the old contents"
    assert sorted(p.name for p in parquet.iterdir()) == ["data.parquet", existing.name]


# The tool in a child where pyarrow cannot be imported; it must not have
# been loaded either way, nor the progress bar for a standard error that is
# a pipe.
_WITHOUT_PYARROW = (
    "import sys\n"
    "class NoPyarrow:\n"
    "    def find_spec(self, name, path=None, target=None):\n"
    "        if name.partition('.')[0] == 'pyarrow':\n"
    "            raise ModuleNotFoundError(f'No module named {name!r}', name=name)\n"
    "if sys.argv.pop(1) == 'blocked':\n"
    "    sys.meta_path.insert(0, NoPyarrow())\n"
    "from qulo.cli import main\n"
    "status = main(sys.argv[1:])\n"
    "assert 'pyarrow' not in sys.modules, 'pyarrow was loaded'\n"
    "assert 'tqdm' not in sys.modules, 'the progress bar was loaded for a pipe'\n"
    "sys.exit(status)\n"
)


def test_without_pyarrow_columns_says_what_to_install_and_the_rest_never_loads_it(tmp_path):
    (tmp_path / "plain").write_bytes(TEXT)
    (tmp_path / "data.parquet").write_bytes(b"PAR1")

    def tool(pyarrow, *argv):
        return subprocess.run([sys.executable, "-c", _WITHOUT_PYARROW, pyarrow, *argv], cwd=tmp_path,
                              capture_output=True, timeout=120)

    for pyarrow in ("blocked", "there"):
        done = tool(pyarrow, *ENCRYPT, "plain", "-o", "sealed")
        assert done.returncode == 0, done.stderr
        assert (tmp_path / "sealed").read_bytes() == SEALED
    done = tool("blocked", *ENCRYPT, "--columns", "payload", "data.parquet", "-o", "out")
    assert_one_line(done.stderr.decode(), done.returncode, 2)
    assert b"needs pyarrow, which is not installed: pip install 'qulo[arrow]'" in done.stderr
    assert not (tmp_path / "out").exists()


# ---- help, version, demo, exit statuses ---------------------------------------------------

@pytest.mark.parametrize("argv", [["--help"], ["encrypt", "--help"], ["decrypt", "--help"]])
def test_help_shows_every_option_the_exit_statuses_and_the_key_advice(argv, capfdbinary):
    status, out, _ = run(argv, capfdbinary)
    text = out.decode()
    own = "encrypt" if argv[0] == "--help" else argv[0]
    assert status == 0 and "examples:" in text and f"qulo {own} --key-file" in text
    assert "Exit status: 0 on success, 1 when reading or writing failed, 2 on bad input" in text
    assert "process list" in text
    if argv[0] != "--help":
        for option in ("--key", "--key-file", "--sumtable", "--sumtable-file", "--native-endian",
                       "INPUT", "--hex-input", "--output", "--hex", "--force", "--quiet"):
            assert option in text


CONVENTIONS = {
    # argv, status, what the output says, what it must not
    "f-is-force": (["encrypt", "-k", KEY_HEX, "--hex-input", "61", "-f"], 0, "", None),
    "unknown-option-names-the-command": (["decrypt", "-k", KEY_HEX, "--rounds", "32"], 2,
                                         "qulo decrypt: error: unrecognized arguments: --rounds "
                                         "(see qulo decrypt --help)", None),
    "encrypt-help-shows-encrypt": (["encrypt", "--help"], 0, "qulo encrypt --key-file", "qulo decrypt"),
    "decrypt-help-shows-decrypt": (["decrypt", "--help"], 0, "qulo decrypt --key-file", "qulo encrypt"),
    "help-shows-both": (["--help"], 0, "qulo decrypt --key-file", None),  # and encrypt's: see above
}


@pytest.mark.parametrize("argv, status, says, never", CONVENTIONS.values(), ids=CONVENTIONS.keys())
def test_the_usual_conventions(argv, status, says, never, capfdbinary):
    got, out, err = run(argv, capfdbinary)
    text = out.decode("latin-1") + err
    assert got == status and says in text
    assert never is None or never not in text


def test_version(capfdbinary):
    status, out, _ = run(["--version"], capfdbinary)
    assert status == 0 and out.decode().strip() == f"qulo {qulo.__version__}"


def test_demo_shows_the_ciphertext_and_the_round_trip(capfdbinary):
    status, out, _ = run(["demo"], capfdbinary)
    text = out.decode()
    ciphertext = qulo.TEA(cli._DEMO_KEY).encrypt_qq(cli._DEMO_TEXT)
    assert status == 0
    assert ciphertext[:16].hex(" ") in text
    assert "round trip  ok" in text


@pytest.mark.parametrize("command", [[sys.executable, "-m", "qulo"], [str(QULO_SCRIPT)]], ids=["module", "script"])
def test_the_installed_commands_pipe_a_round_trip(command, tmp_path):
    if not Path(command[0]).exists():
        pytest.skip("console script not installed next to the interpreter")
    sealed = subprocess.run([*command, "encrypt", "-k", KEY_HEX], input=TEXT, capture_output=True,
                            cwd=tmp_path, check=True).stdout
    opened = subprocess.run([*command, "decrypt", "-k", KEY_HEX, "-"], input=sealed, capture_output=True,
                            cwd=tmp_path, check=True).stdout
    assert opened == TEXT
