"""The incremental entry points as another C extension uses them: the
capsules through qulo_import_stream_capi(), one message in chunks on a
native thread without the interpreter lock (tests/ext/stream_consumer.cpp)."""

import random

import pytest

import qulo
from extbuild import build_extension
from test_batch_capi import test_import_refuses_a_misnamed_or_missing_capsule as _refusal
from test_c_consumer import CXX, HERE

E_CHECK, E_STATE = -5, -8
SUMS = random.Random(22).randbytes(64)
OPS = {"qq": (None, False, "_qq"), "table": (SUMS, False, ""), "native": (SUMS, True, "_native_endian")}


@pytest.fixture(scope="module")
def stream_consumer(tmp_path_factory):
    if CXX is None:
        pytest.skip("no C++ compiler")
    return build_extension(HERE / "ext" / "stream_consumer.cpp", tmp_path_factory.mktemp("ext"),
                           include_dirs=[qulo.get_include()], extra_args=["-pthread"])


@pytest.mark.parametrize("chunk", [1, 7, 8, 13, 4096])
@pytest.mark.parametrize("op", OPS)
def test_streamed_through_the_capsules_as_the_tea_methods_give(stream_consumer, key, op, chunk):
    sums, native, suffix = OPS[op]
    tea, table = qulo.TEA(key), () if sums is None else (sums,)
    for n in (0, 1, 6, 7, 8, 100, 1000):
        text = random.Random(n).randbytes(n)
        cipher = getattr(tea, "encrypt" + suffix)(text, *table)
        assert stream_consumer.run(0, key, sums, native, False, text, chunk) == (E_STATE, cipher)
        assert stream_consumer.run(1, key, sums, native, True, cipher, chunk) == (0, text)
    other = bytes(b ^ 1 for b in key)  # verify is the op's: the finish checks the trailer
    assert stream_consumer.run(1, other, sums, native, True, cipher, chunk)[0] == E_CHECK


@pytest.mark.parametrize(
    "attribute, replacement",
    [("qulo_encryptor_update", "qulo_decryptor_update"), ("qulo_decryptor_given", 42),
     ("qulo_encryptor_wipe", None)],
    ids=["misnamed", "not-a-capsule", "missing"],
)
def test_import_refuses_a_misnamed_or_missing_capsule(stream_consumer, monkeypatch, attribute,
                                                      replacement):
    _refusal(stream_consumer, monkeypatch, attribute, replacement)
