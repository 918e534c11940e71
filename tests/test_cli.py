"""The command-line tool: `qulo encrypt`, `qulo decrypt`, `qulo demo`.

Most cases call qulo.cli.main(argv) in-process; a few run the real
`python -m qulo` and the `qulo` console script to see what a shell sees.
"""

from __future__ import annotations

import io
import os
import random
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import qulo
from qulo import cli

KEY_HEX = "00112233445566778899aabbccddeeff"
KEY = bytes.fromhex(KEY_HEX)
SUMS = random.Random(3).randbytes(64)
TEXT = b"attack at dawn, bring the 16-cycle cipher"
QULO_SCRIPT = Path(sys.executable).with_name("qulo")


def run(argv, capsysbinary, stdin=b""):
    """main(argv) with `stdin`; returns (status, stdout bytes, stderr text)."""
    old = sys.stdin
    sys.stdin = io.TextIOWrapper(io.BytesIO(stdin))
    try:
        status = cli.main(argv)
    except SystemExit as e:  # argparse: --help, --version, usage errors
        status = e.code
    finally:
        sys.stdin = old
    out, err = capsysbinary.readouterr()
    return status, out, err.decode()


def assert_bad_input(status, out, err):
    assert status == 2
    assert out == b""
    assert err.startswith("qulo") and "error:" in err
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert "Traceback" not in err


# ---- what each mode computes ----------------------------------------------------

MODES = {
    "qq": ([], lambda t: t.encrypt_qq, lambda t: t.decrypt_qq),
    "sumtable": (["--sumtable", SUMS.hex()],
                 lambda t: lambda x: t.encrypt(x, SUMS), lambda t: lambda x: t.decrypt(x, SUMS)),
    "native": (["--sumtable", SUMS.hex(), "--native-endian"],
               lambda t: lambda x: t.encrypt_native_endian(x, SUMS),
               lambda t: lambda x: t.decrypt_native_endian(x, SUMS)),
}


@pytest.mark.parametrize("mode", MODES)
def test_encrypt_writes_what_the_method_returns_and_decrypt_inverts_it(mode, tmp_path, capsysbinary):
    options, encrypt, decrypt = MODES[mode]
    tea = qulo.TEA(KEY)
    plain = tmp_path / "plain.txt"
    plain.write_bytes(TEXT)
    sealed = tmp_path / "sealed.qq"
    status, out, err = run(["encrypt", "-k", KEY_HEX, *options, str(plain), "-o", str(sealed)], capsysbinary)
    assert (status, out, err) == (0, b"", "")
    assert sealed.read_bytes() == encrypt(tea)(TEXT)
    status, out, err = run(["decrypt", "--key", KEY_HEX, *options, str(sealed)], capsysbinary)
    assert (status, out, err) == (0, TEXT, "")
    assert decrypt(tea)(sealed.read_bytes()) == TEXT


def test_key_and_sum_table_may_come_from_files(tmp_path, capsysbinary):
    (tmp_path / "k").write_bytes(KEY)
    (tmp_path / "s").write_bytes(SUMS)
    status, out, _ = run(["encrypt", "--key-file", str(tmp_path / "k"), "--sumtable-file",
                          str(tmp_path / "s"), "--hex-input", TEXT.hex()], capsysbinary)
    assert status == 0 and out == qulo.TEA(KEY).encrypt(TEXT, SUMS)


@pytest.mark.parametrize("where", [[], ["-"]], ids=["no-input", "dash"])
def test_input_defaults_to_standard_input(where, capsysbinary):
    status, out, _ = run(["encrypt", "-k", KEY_HEX, *where], capsysbinary, stdin=TEXT)
    assert status == 0 and out == qulo.TEA(KEY).encrypt_qq(TEXT)


def test_hex_input_and_hex_output(capsysbinary):
    ciphertext = qulo.TEA(KEY).encrypt_qq(TEXT)
    status, out, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", TEXT.hex(), "--hex"], capsysbinary)
    assert status == 0 and out == ciphertext.hex().encode() + b"\n"
    status, out, _ = run(["decrypt", "-k", KEY_HEX.upper(), "--hex-input", ciphertext.hex().upper(),
                          "--hex", "-o", "-"], capsysbinary)
    assert status == 0 and out == TEXT.hex().encode() + b"\n"


def test_empty_plaintext_round_trips(capsysbinary):
    status, out, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", ""], capsysbinary)
    assert status == 0 and len(out) == 16
    status, back, _ = run(["decrypt", "-k", KEY_HEX], capsysbinary, stdin=out)
    assert status == 0 and back == b""


def test_hex_output_file_and_a_new_files_permissions(tmp_path, capsysbinary):
    target = tmp_path / "out.hex"
    old = os.umask(0o027)
    try:
        status, _, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", "61", "--hex", "-o", str(target)],
                           capsysbinary)
    finally:
        os.umask(old)
    assert status == 0
    assert target.read_text() == qulo.TEA(KEY).encrypt_qq(b"a").hex() + "\n"
    assert stat.S_IMODE(target.stat().st_mode) == 0o640


# ---- bad input: one line, status 2, nothing written -----------------------------

def _refused_16_byte_ciphertext():
    # A 16-byte text whose decrypted header claims 7 bytes of fill.
    tea = qulo.TEA(KEY)
    rng = random.Random(11)
    while True:
        c = rng.randbytes(16)
        try:
            tea.decrypt_qq(c)
        except ValueError:
            return c


BAD = {
    "key-15-bytes": ["encrypt", "-k", KEY_HEX[:-2], "--hex-input", ""],
    "key-17-bytes": ["encrypt", "-k", KEY_HEX + "00", "--hex-input", ""],
    "key-odd-digits": ["encrypt", "-k", KEY_HEX[:-1], "--hex-input", ""],
    "key-not-hex": ["encrypt", "-k", "zz" + KEY_HEX[2:], "--hex-input", ""],
    "key-missing": ["encrypt", "--hex-input", ""],
    "key-twice": ["encrypt", "-k", KEY_HEX, "--key-file", "k", "--hex-input", ""],
    "key-file-short": ["encrypt", "--key-file", "{short}", "--hex-input", ""],
    "key-file-missing": ["encrypt", "--key-file", "{missing}", "--hex-input", ""],
    "sumtable-63-bytes": ["encrypt", "-k", KEY_HEX, "--sumtable", SUMS.hex()[:-2], "--hex-input", ""],
    "sumtable-not-hex": ["encrypt", "-k", KEY_HEX, "--sumtable", "g" * 128, "--hex-input", ""],
    "sumtable-file-short": ["decrypt", "-k", KEY_HEX, "--sumtable-file", "{short}", "--hex-input", "00" * 16],
    "native-without-sumtable": ["encrypt", "-k", KEY_HEX, "--native-endian", "--hex-input", ""],
    "input-missing": ["encrypt", "-k", KEY_HEX, "{missing}"],
    "input-a-folder": ["encrypt", "-k", KEY_HEX, "{folder}"],
    "input-and-hex-input": ["encrypt", "-k", KEY_HEX, "{short}", "--hex-input", ""],
    "hex-input-odd": ["encrypt", "-k", KEY_HEX, "--hex-input", "abc"],
    "ciphertext-empty": ["decrypt", "-k", KEY_HEX, "--hex-input", ""],
    "ciphertext-15-bytes": ["decrypt", "-k", KEY_HEX, "--hex-input", "00" * 15],
    "ciphertext-17-bytes": ["decrypt", "-k", KEY_HEX, "--hex-input", "00" * 17],
    "ciphertext-bad-header": ["decrypt", "-k", KEY_HEX, "--hex-input", "{refused}"],
    "output-folder-missing": ["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", "{missing}/x"],
    "output-a-folder": ["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", "{folder}"],
    "no-command": [],
    "unknown-command": ["seal", "-k", KEY_HEX],
    "unknown-option": ["encrypt", "-k", KEY_HEX, "--rounds", "32"],
}


@pytest.mark.parametrize("argv", BAD.values(), ids=BAD.keys())
def test_bad_input_gives_one_line_and_status_2(argv, tmp_path, capsysbinary):
    (tmp_path / "short").write_bytes(b"0123456789")
    (tmp_path / "folder").mkdir()
    names = {"short": tmp_path / "short", "missing": tmp_path / "missing", "folder": tmp_path / "folder",
             "refused": _refused_16_byte_ciphertext().hex()}
    argv = [a.format(**names) for a in argv]
    assert_bad_input(*run(argv, capsysbinary, stdin=b"never read"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder", "short"]


def test_native_endian_is_refused_before_standard_input_is_read(capsysbinary, monkeypatch):
    class Unreadable(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, b):
            raise AssertionError("standard input was read")

    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(Unreadable())))
    status = cli.main(["encrypt", "-k", KEY_HEX, "--native-endian"])
    assert status == 2


# ---- atomic output ---------------------------------------------------------------

@pytest.fixture
def existing(tmp_path):
    target = tmp_path / "result.bin"
    target.write_bytes(b"the old contents")
    target.chmod(0o604)
    return target


def test_failed_decryption_leaves_the_existing_output_untouched(existing, capsysbinary):
    assert_bad_input(*run(["decrypt", "-k", KEY_HEX, "--hex-input", "00" * 20, "-o", str(existing)],
                          capsysbinary))
    assert existing.read_bytes() == b"the old contents"
    assert [p.name for p in existing.parent.iterdir()] == [existing.name]


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_a_failure_while_writing_leaves_the_old_file_and_no_temporary(existing, capsysbinary, monkeypatch, failing):
    def fail(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, failing, fail)
    assert_bad_input(*run(["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", str(existing)], capsysbinary))
    assert existing.read_bytes() == b"the old contents"
    assert [p.name for p in existing.parent.iterdir()] == [existing.name]


def test_success_replaces_the_file_whole_and_keeps_its_permissions(existing, capsysbinary):
    status, _, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", TEXT.hex(), "-o", str(existing)], capsysbinary)
    assert status == 0
    assert existing.read_bytes() == qulo.TEA(KEY).encrypt_qq(TEXT)
    assert stat.S_IMODE(existing.stat().st_mode) == 0o604
    assert [p.name for p in existing.parent.iterdir()] == [existing.name]


def test_output_relative_to_the_working_folder(tmp_path, capsysbinary, monkeypatch):
    monkeypatch.chdir(tmp_path)
    status, _, _ = run(["encrypt", "-k", KEY_HEX, "--hex-input", "", "-o", "here.qq"], capsysbinary)
    assert status == 0 and (tmp_path / "here.qq").stat().st_size == 16


# ---- help, version, demo ------------------------------------------------------------

@pytest.mark.parametrize("argv", [["--help"], ["encrypt", "--help"], ["decrypt", "--help"]])
def test_help_shows_every_option_and_examples(argv, capsysbinary):
    status, out, _ = run(argv, capsysbinary)
    text = out.decode()
    assert status == 0 and "examples:" in text and "qulo encrypt -k" in text
    if argv[0] != "--help":
        for option in ("--key", "--key-file", "--sumtable", "--sumtable-file", "--native-endian",
                       "INPUT", "--hex-input", "--output", "--hex"):
            assert option in text


def test_version(capsysbinary):
    status, out, _ = run(["--version"], capsysbinary)
    assert status == 0 and out.decode().strip() == f"qulo {qulo.__version__}"


def test_demo_shows_the_ciphertext_and_the_round_trip(capsysbinary):
    status, out, _ = run(["demo"], capsysbinary)
    text = out.decode()
    ciphertext = qulo.TEA(cli._DEMO_KEY).encrypt_qq(cli._DEMO_TEXT)
    assert status == 0
    assert ciphertext[:16].hex(" ") in text
    assert "round trip  ok" in text


# ---- as a shell sees it ---------------------------------------------------------------

@pytest.mark.parametrize("command", [[sys.executable, "-m", "qulo"], [str(QULO_SCRIPT)]], ids=["module", "script"])
def test_the_installed_commands_pipe_a_round_trip(command, tmp_path):
    if not Path(command[0]).exists():
        pytest.skip("console script not installed next to the interpreter")
    sealed = subprocess.run([*command, "encrypt", "-k", KEY_HEX], input=TEXT, capture_output=True,
                            cwd=tmp_path, check=True).stdout
    opened = subprocess.run([*command, "decrypt", "-k", KEY_HEX, "-"], input=sealed, capture_output=True,
                            cwd=tmp_path, check=True).stdout
    assert opened == TEXT


def test_bad_input_in_a_real_process_has_no_traceback(tmp_path):
    done = subprocess.run([sys.executable, "-m", "qulo", "decrypt", "-k", KEY_HEX, "--hex-input", "00" * 9],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
