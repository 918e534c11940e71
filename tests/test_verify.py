"""Verified decryption, one table across decrypt_many (lists and Arrow
arrays), Decryptor and the tool: every plaintext ends in seven zero bytes
before encryption, so a wrong key, a changed block or a cut at a block
boundary garbles the last block and fails the check, while verify=False
(--no-verify) decrypts them as the TEA methods do."""

from __future__ import annotations

import random

import pytest

import qulo
from qulo import cli
from test_cli import assert_one_line, run

KEY = bytes.fromhex("00112233445566778899aabbccddeeff")
OTHER_KEY = bytes(b ^ 0x80 for b in KEY)
PLAIN = random.Random(7).randbytes(100)
CIPHER = qulo.TEA(KEY).encrypt_qq(PLAIN)  # 112 bytes: 14 blocks
BLOCKS = len(CIPHER) // 8


def flipped(block):
    damaged = bytearray(CIPHER)
    damaged[block * 8 + 5] ^= 0x04
    return bytes(damaged)


# name: (key the text is decrypted with, the text, whether verification passes)
CASES = {
    "intact": (KEY, CIPHER, True),
    "wrong-key": (OTHER_KEY, CIPHER, False),
    "first-block-flipped": (KEY, flipped(0), False),
    "middle-block-flipped": (KEY, flipped(BLOCKS // 2), False),
    "last-block-flipped": (KEY, flipped(BLOCKS - 1), False),
    "cut-at-a-block-boundary": (KEY, CIPHER[:-8], False),
}


def through_list(key, text, verify, errors="raise"):
    return qulo.decrypt_many(key, [b"", text], verify=verify, errors="null")[1:] if errors == "null" \
        else qulo.decrypt_many(key, [text], verify=verify)


def through_arrow(key, text, verify, errors="raise"):
    pa = pytest.importorskip("pyarrow")
    messages = pa.array([b"", text] if errors == "null" else [text], pa.binary())
    return qulo.decrypt_many(key, messages, verify=verify, errors=errors).to_pylist()[-1:]


def through_decryptor(key, text, verify, errors="raise"):
    d = qulo.Decryptor(key, verify=verify)
    out = b"".join(d.update(text[i:i + 5]) for i in range(0, len(text), 5))
    return [out + d.finalize()]


PATHS = {"list": through_list, "arrow": through_arrow, "Decryptor": through_decryptor}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("case", CASES)
def test_the_check_fails_exactly_for_the_damaged_and_verify_false_accepts_them(case, path):
    key, text, passes = CASES[case]
    decrypt = PATHS[path]
    unverified = qulo.TEA(key).decrypt_qq(text)
    assert decrypt(key, text, False) == [unverified]
    if passes:
        assert decrypt(key, text, True) == [PLAIN]
        return
    message = "message 0 cannot be decrypted: its last 7" if path != "Decryptor" else "failed the check"
    with pytest.raises(ValueError, match=message):
        decrypt(key, text, True)
    if path != "Decryptor":  # errors="null": None (an Arrow null) in its place, the others kept
        assert decrypt(key, text, True, errors="null") == [None]


@pytest.mark.parametrize("case", CASES)
def test_the_tool_verifies_by_default_and_leaves_the_output_file_untouched(case, tmp_path, capfdbinary):
    key, text, passes = CASES[case]
    (tmp_path / "in.qq").write_bytes(text)
    target = tmp_path / "out"
    target.write_bytes(b"old contents")
    argv = ["decrypt", "-k", key.hex(), str(tmp_path / "in.qq"), "-o", str(target)]
    status, out, err = run(argv, capfdbinary)
    if passes:
        assert (status, target.read_bytes()) == (0, PLAIN)
    else:
        assert_one_line(err, status, cli.EXIT_BAD_INPUT)
        assert "failed verification" in err and "wrong key" in err and "cut" in err
        assert target.read_bytes() == b"old contents"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.qq", "out"]
    status, out, err = run([*argv, "--no-verify"], capfdbinary)
    assert (status, err) == (0, "")
    assert target.read_bytes() == qulo.TEA(key).decrypt_qq(text)


def test_on_standard_output_the_tool_says_the_bytes_written_are_no_plaintext(capfdbinary):
    status, out, err = run(["decrypt", "-k", OTHER_KEY.hex(), "--hex-input", CIPHER.hex()],
                           capfdbinary)
    assert_one_line(err, status, cli.EXIT_BAD_INPUT)
    assert "already written to standard output" in err and "discard" in err


@pytest.mark.parametrize("path", ["list", "Decryptor"])
def test_verify_is_read_as_the_other_flags_are(path):
    # Like native_endian: the truth of the object, in both modules alike.
    with pytest.raises(ValueError):
        PATHS[path](OTHER_KEY, CIPHER, 1)
    assert PATHS[path](OTHER_KEY, CIPHER, []) == [qulo.TEA(OTHER_KEY).decrypt_qq(CIPHER)]
