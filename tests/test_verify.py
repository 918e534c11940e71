"""Verified decryption, one table across decrypt_many (lists and Arrow
arrays), Decryptor and the tool: a wrong key, a changed block or a cut at a
block boundary garbles the seven zero bytes every plaintext ends in and
fails the check; verify=False (--no-verify) decrypts as the TEA methods do."""

import random

import pytest

import qulo
from qulo import cli
from test_cli import assert_one_line, run

KEY = bytes.fromhex("00112233445566778899aabbccddeeff")
OTHER_KEY = bytes(b ^ 0x80 for b in KEY)
PLAIN = random.Random(7).randbytes(100)
CIPHER = qulo.TEA(KEY).encrypt_qq(PLAIN)  # 14 blocks


def flipped(block):
    return CIPHER[:block * 8 + 5] + bytes([CIPHER[block * 8 + 5] ^ 4]) + CIPHER[block * 8 + 6:]


# name: (key the text is decrypted with, the text, whether it passes the check)
CASES = {
    "intact": (KEY, CIPHER, True),
    "wrong-key": (OTHER_KEY, CIPHER, False),
    "first-block-flipped": (KEY, flipped(0), False),
    "middle-block-flipped": (KEY, flipped(7), False),
    "last-block-flipped": (KEY, flipped(13), False),
    "cut-at-a-block-boundary": (KEY, CIPHER[:-8], False),
}


def through_arrow(key, texts, **kwargs):
    pa = pytest.importorskip("pyarrow")
    return qulo.decrypt_many(key, pa.array(texts, pa.binary()), **kwargs).to_pylist()


def through_decryptor(key, texts, verify):
    d = qulo.Decryptor(key, verify=verify)
    return [b"".join(d.update(texts[0][i:i + 5]) for i in range(0, len(texts[0]), 5)) + d.finalize()]


PATHS = {"list": qulo.decrypt_many, "arrow": through_arrow, "Decryptor": through_decryptor}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("case", CASES)
def test_the_check_fails_exactly_for_the_damaged_and_verify_false_accepts_them(case, path):
    key, text, passes = CASES[case]
    decrypt = PATHS[path]
    assert decrypt(key, [text], verify=False) == [qulo.TEA(key).decrypt_qq(text)]
    if passes:
        assert decrypt(key, [text], verify=True) == [PLAIN]
        return
    with pytest.raises(ValueError, match="message 0 cannot be decrypted: its last 7|failed the check"):
        decrypt(key, [text], verify=True)
    if path != "Decryptor":  # None (an Arrow null) in its place, the others kept
        good = qulo.TEA(key).encrypt_qq(b"kept")
        assert decrypt(key, [good, text], verify=True, errors="null") == [b"kept", None]


@pytest.mark.parametrize("case", CASES)
def test_the_tool_verifies_by_default_and_leaves_the_output_file_untouched(case, tmp_path, capfdbinary):
    key, text, passes = CASES[case]
    (tmp_path / "in.qq").write_bytes(text)
    target = tmp_path / "out"
    target.write_bytes(b"old contents")
    argv = ["decrypt", "-k", key.hex(), str(tmp_path / "in.qq"), "-o", str(target)]
    status, _, err = run(argv, capfdbinary)
    if passes:
        assert (status, target.read_bytes()) == (0, PLAIN)
    else:
        assert_one_line(err, status, cli.EXIT_BAD_INPUT)
        assert "failed verification" in err and "wrong key" in err and "cut" in err
        assert target.read_bytes() == b"old contents"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.qq", "out"]
    assert run([*argv, "--no-verify"], capfdbinary)[::2] == (0, "")
    assert target.read_bytes() == qulo.TEA(key).decrypt_qq(text)


def test_on_standard_output_a_refused_input_of_one_chunk_writes_nothing(capfdbinary):
    # The last chunk's plaintext waits for the check: here, all of it.
    status, out, err = run(["decrypt", "-k", OTHER_KEY.hex(), "--hex-input", CIPHER.hex()], capfdbinary)
    assert_one_line(err, status, cli.EXIT_BAD_INPUT)
    assert out == b"" and "discard" not in err


@pytest.mark.parametrize("path", ["list", "Decryptor"])
def test_verify_is_read_as_the_other_flags_are(path):
    # Like native_endian: the truth of the object, in both modules alike.
    with pytest.raises(ValueError):
        PATHS[path](OTHER_KEY, [CIPHER], verify=1)
    assert PATHS[path](OTHER_KEY, [CIPHER], verify=[]) == [qulo.TEA(OTHER_KEY).decrypt_qq(CIPHER)]
