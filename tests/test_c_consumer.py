"""qulo as another C extension uses it: the installed headers, the capsule
import helper, the entry points on native threads without the interpreter
lock, and the TEA type's C-level method table.

tests/ext/consumer.cpp is compiled against the folder that
qulo.get_include() names, with the interpreter's own compiler and flags.
"""

from __future__ import annotations

import os
import random
import shlex
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import qulo
from extbuild import build_extension

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "ext" / "consumer.cpp"
THREADS = 4


def _compiler(var):
    words = shlex.split(os.environ.get(var) or sysconfig.get_config_var(var) or "")
    return words if words and shutil.which(words[0]) else None


CXX = _compiler("CXX")
CC = _compiler("CC")
needs_cxx = pytest.mark.skipif(CXX is None, reason="no C++ compiler")


@pytest.fixture(scope="module")
def consumer(tmp_path_factory):
    if CXX is None:
        pytest.skip("no C++ compiler")
    folder = tmp_path_factory.mktemp("consumer")
    return build_extension(SOURCE, folder, include_dirs=[qulo.get_include()], extra_args=["-pthread"])


# ---- the installed headers ---------------------------------------------------


def test_get_include_names_the_installed_folder_with_both_headers():
    folder = Path(qulo.get_include())
    assert folder == Path(qulo.__file__).parent / "include"
    for header in ("tea.h", "capi.h"):
        assert (folder / "qulo" / header).is_file()


HEADER_USE = """\
#include <qulo/capi.h>
int use(void);
int use(void) {
    qulo_capi api;
    const qulo_tea_methods *table = 0;
    (void)table;
    return qulo_import_capi(&api);
}
"""


@pytest.mark.parametrize(
    "language, var, suffix, std",
    [
        ("c", "CC", ".c", "-std=c11"),
        ("c++", "CXX", ".cpp", "-std=c++17"),
        ("c++", "CXX", ".cpp", "-std=c++20"),
    ],
)
def test_capi_header_compiles_cleanly_as_c_and_cxx(tmp_path, language, var, suffix, std):
    compiler = _compiler(var)
    if compiler is None:
        pytest.skip(f"no {language} compiler")
    source = tmp_path / f"use{suffix}"
    source.write_text(HEADER_USE)
    command = [
        *compiler, std, "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-fsyntax-only",
        f"-I{qulo.get_include()}", f"-I{sysconfig.get_paths()['include']}", str(source),
    ]
    done = subprocess.run(command, capture_output=True, text=True)
    assert done.returncode == 0, shlex.join(command) + "\n" + done.stderr


# ---- the entry points from native threads -------------------------------------


def _texts():
    rng = random.Random(5)
    texts = [rng.randbytes(n) for n in range(41)]
    texts += [rng.randbytes(n) for n in (255, 256, 1000, 4099)]
    # 16-byte texts taken as ciphertexts: about one in eight decrypts to a
    # header that claims more fill than the block has, which is refused.
    texts += [rng.randbytes(16) for _ in range(64)]
    return texts


def _or_none(call, *args):
    try:
        return call(*args)
    except ValueError:
        return None


def _expected_row(tea, sums, text):
    enc_qq = tea.encrypt_qq(text)
    enc = tea.encrypt(text, sums)
    enc_ne = tea.encrypt_native_endian(text, sums)
    return (
        qulo.encrypt_len(len(text)),
        enc_qq, tea.decrypt_qq(enc_qq), _or_none(tea.decrypt_qq, text),
        enc, tea.decrypt(enc, sums), _or_none(tea.decrypt, text, sums),
        enc_ne, tea.decrypt_native_endian(enc_ne, sums),
        _or_none(tea.decrypt_native_endian, text, sums),
        tea.decrypt_qq(enc_qq),  # in place, in the consumer
    )


def test_entry_points_on_native_threads_agree_with_the_methods(consumer, key):
    sums = random.Random(7).randbytes(64)
    texts = _texts()
    tea = qulo.TEA(key)
    expected = [_expected_row(tea, sums, t) for t in texts]
    per_thread = consumer.run(key, sums, texts, THREADS)
    assert len(per_thread) == THREADS
    for rows in per_thread:
        assert rows == expected
    # The refusal path really ran: some 16-byte texts were refused, some not.
    self_decrypts = [row[3] for row, t in zip(expected, texts) if len(t) == 16]
    assert None in self_decrypts and any(r is not None for r in self_decrypts)


def test_entry_points_use_the_key_words_as_the_type_builds_them(consumer):
    # Each key byte lands in one key word: changing any one changes the result.
    base = bytes(range(16))
    variants = [base] + [base[:i] + bytes([base[i] ^ 0x80]) + base[i + 1:] for i in range(16)]
    sums = bytes(64)
    for k in variants:
        (rows,) = consumer.run(k, sums, [b"abc"], 1)
        assert rows[0][1] == qulo.TEA(k).encrypt_qq(b"abc")


LENGTHS = (
    [-(2**63), -(2**63) + 1, -100, -17, -9, -8, -1, 0, 1, 6, 7, 8, 15, 100]
    + list(range(-40, 200))
    + [2**31, 2**32 + 5, 2**63 - 18]
)


def test_length_rule_on_native_threads_agrees_with_encrypt_len(consumer):
    assert consumer.lengths(LENGTHS, THREADS) == [qulo.encrypt_len(n) for n in LENGTHS]


# ---- the import helper ---------------------------------------------------------


def test_import_capi_succeeds_with_the_package_intact(consumer):
    assert consumer.import_capi() is None


@pytest.mark.parametrize(
    "attribute, replacement",
    [
        ("qulo_encrypt", "qulo_decrypt"),  # a capsule, but named "qulo.qulo_decrypt"
        ("qulo_encrypt_qq", "qulo_encrypt_len"),
        ("qulo_encrypt_len", 42),  # not a capsule at all
        ("qulo_decrypt_native_endian", None),  # missing
    ],
)
def test_import_capi_refuses_a_misnamed_or_missing_capsule(consumer, monkeypatch, attribute, replacement):
    if replacement is None:
        monkeypatch.delattr(qulo, attribute)
    elif isinstance(replacement, str):
        monkeypatch.setattr(qulo, attribute, getattr(qulo, replacement))
    else:
        monkeypatch.setattr(qulo, attribute, replacement)
    with pytest.raises(AttributeError, match=attribute):
        consumer.import_capi()


# ---- the TEA type's C-level method table ----------------------------------------


def test_method_table_capsule_is_unnamed_and_in_the_type_dictionary():
    import capsules

    table = qulo.TEA.__dict__["__qulo_methods__"]
    assert capsules.capsule_name(table) is None


def test_method_table_entries_do_what_the_methods_do(consumer, tea):
    sums = random.Random(9).randbytes(64)
    text = b"through the method table"
    assert consumer.table_encrypt(tea, text, sums) == tea.encrypt(text, sums)
    ciphertext = tea.encrypt_qq(text)
    out = bytearray(len(ciphertext) + 3)
    n = consumer.table_decrypt_qq_into(tea, ciphertext, out)
    assert n == len(text) and out[:n] == text


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c, t: c.table_encrypt(t, b"x", bytes(63)), AssertionError, "sum table must be 64 bytes len"),
        (lambda c, t: c.table_decrypt_qq_into(t, bytes(24), bytearray(23)), ValueError, "output buffer is too small"),
        (lambda c, t: c.table_decrypt_qq_into(t, bytes(20), bytearray(20)), ValueError, "encrypt wrong"),
        (lambda c, t: c.table_encrypt(object.__new__(type("Other", (), {})), b"x", bytes(64)), TypeError, "doesn't apply to a 'Other' object"),
    ],
    ids=["short-sumtable", "small-out", "bad-length", "not-tea"],
)
def test_method_table_entries_raise_what_the_methods_raise(consumer, tea, call, error, message):
    if error is AssertionError and not __debug__:
        pytest.skip("length assertions are off under -O")
    with pytest.raises(error, match=message):
        call(consumer, tea)
