"""The batch entry points as another C extension uses them: the capsules
through qulo_import_batch_capi(), called on a native thread without the
interpreter lock (tests/ext/batch_consumer.cpp)."""

from __future__ import annotations

import random

import pytest

import qulo
from extbuild import build_extension
from test_c_consumer import CXX, HERE

SUMS = random.Random(21).randbytes(64)
OPS = ["encrypt_qq", "decrypt_qq", "encrypt", "decrypt", "encrypt_native_endian",
       "decrypt_native_endian"]


@pytest.fixture(scope="module")
def batch_consumer(tmp_path_factory):
    if CXX is None:
        pytest.skip("no C++ compiler")
    folder = tmp_path_factory.mktemp("batch_consumer")
    return build_extension(HERE / "ext" / "batch_consumer.cpp", folder,
                           include_dirs=[qulo.get_include()], extra_args=["-pthread"])


@pytest.mark.parametrize("op", range(6), ids=OPS)
def test_batch_capsules_give_what_the_python_functions_give(batch_consumer, key, op):
    rng = random.Random(op)
    kwargs = {} if op < 2 else {"sumtable": SUMS, "native_endian": op >= 4}
    plain = [rng.randbytes(n) for n in [*range(30), 1000, 4099]] * 3
    if op % 2 == 0:
        texts, want = plain, qulo.encrypt_many(key, plain, **kwargs)
    else:
        texts = qulo.encrypt_many(key, plain, **kwargs) + [bytes(8), bytes(20)]
        want = qulo.decrypt_many(key, texts, errors="null", **kwargs)
    value, got = batch_consumer.run(op, key, SUMS, texts)
    assert got == want
    assert value == want.count(None)


def test_the_kernel_capsule_names_the_kernel_in_use(batch_consumer):
    assert batch_consumer.kernel() == qulo.batch_kernel()


@pytest.mark.parametrize(
    "attribute, replacement",
    [("qulo_batch_encrypt", "qulo_batch_decrypt"), ("qulo_batch_kernel", 42),
     ("qulo_batch_decrypt_native_endian", None)],
    ids=["misnamed", "not-a-capsule", "missing"],
)
def test_import_refuses_a_misnamed_or_missing_capsule(batch_consumer, monkeypatch, attribute,
                                                      replacement):
    if replacement is None:
        monkeypatch.delattr(qulo, attribute)
    else:
        monkeypatch.setattr(qulo, attribute, getattr(qulo, replacement)
                            if isinstance(replacement, str) else replacement)
    with pytest.raises(AttributeError, match=attribute):
        batch_consumer.import_again()
