"""The incremental entry points as another C extension uses them: the
capsules through qulo_import_stream_capi(), one message in chunks on a
native thread without the interpreter lock (tests/ext/stream_consumer.cpp)."""

from __future__ import annotations

import random

import pytest

import qulo
from extbuild import build_extension
from test_c_consumer import CXX, HERE

ENCRYPT, DECRYPT = 0, 1
E_CHECK, E_STATE = -5, -8
SUMS = random.Random(22).randbytes(64)
# (sum table, native order, the TEA methods that give the same bytes)
OPS = {
    "qq": (None, False, "encrypt_qq", "decrypt_qq"),
    "table": (SUMS, False, "encrypt", "decrypt"),
    "native": (SUMS, True, "encrypt_native_endian", "decrypt_native_endian"),
}


@pytest.fixture(scope="module")
def stream_consumer(tmp_path_factory):
    if CXX is None:
        pytest.skip("no C++ compiler")
    folder = tmp_path_factory.mktemp("stream_consumer")
    return build_extension(HERE / "ext" / "stream_consumer.cpp", folder,
                           include_dirs=[qulo.get_include()], extra_args=["-pthread"])


@pytest.mark.parametrize("chunk", [1, 7, 8, 13, 4096])
@pytest.mark.parametrize("op", OPS)
def test_streamed_through_the_capsules_as_the_tea_methods_give(stream_consumer, key, op, chunk):
    sums, native, encrypt, decrypt = OPS[op]
    tea = qulo.TEA(key)
    table = () if sums is None else (sums,)
    for n in (0, 1, 6, 7, 8, 100, 1000):
        text = random.Random(n).randbytes(n)
        status, cipher = stream_consumer.run(ENCRYPT, key, sums, native, False, text, chunk)
        assert (status, cipher) == (E_STATE, getattr(tea, encrypt)(text, *table))
        status, plain = stream_consumer.run(DECRYPT, key, sums, native, True, cipher, chunk)
        assert (status, plain) == (0, getattr(tea, decrypt)(cipher, *table))


def test_a_verified_decryption_under_another_key_fails_its_check(stream_consumer, key):
    cipher = qulo.TEA(key).encrypt_qq(bytes(40))
    other = bytes(b ^ 1 for b in key)
    assert stream_consumer.run(DECRYPT, other, None, False, True, cipher, 8)[0] == E_CHECK
    assert stream_consumer.run(DECRYPT, other, None, False, False, cipher, 8)[0] == 0


@pytest.mark.parametrize(
    "attribute, replacement",
    [("qulo_encryptor_update", "qulo_decryptor_update"), ("qulo_decryptor_given", 42),
     ("qulo_encryptor_wipe", None)],
    ids=["misnamed", "not-a-capsule", "missing"],
)
def test_import_refuses_a_misnamed_or_missing_capsule(stream_consumer, monkeypatch, attribute,
                                                      replacement):
    if replacement is None:
        monkeypatch.delattr(qulo, attribute)
    else:
        monkeypatch.setattr(qulo, attribute, getattr(qulo, replacement)
                            if isinstance(replacement, str) else replacement)
    with pytest.raises(AttributeError, match=attribute):
        stream_consumer.import_again()
