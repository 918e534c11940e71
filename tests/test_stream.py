"""qulo.Encryptor and qulo.Decryptor: the qq mode in chunks.

Whatever the chunks, the concatenated output is the one-message method's
output; misuse raises with the numbers involved; a context is one chain,
refused to a second thread, and dead after finalize.
"""

from __future__ import annotations

import array
import pickle
import random
import sys
import threading

import pytest

import qulo

SUMS = random.Random(5).randbytes(64)

MODES = {
    "qq": ({}, lambda t: t.encrypt_qq, lambda t: t.decrypt_qq),
    "table": ({"sumtable": SUMS}, lambda t: lambda x: t.encrypt(x, SUMS),
              lambda t: lambda x: t.decrypt(x, SUMS)),
    "native": ({"sumtable": bytearray(SUMS), "native_endian": True},
               lambda t: lambda x: t.encrypt_native_endian(x, SUMS),
               lambda t: lambda x: t.decrypt_native_endian(x, SUMS)),
}


def feed(context, data, rng, into=False):
    """Feeds `data` in random chunks (empty ones too), through update or
    update_into with an output of exactly len(chunk) + 16; returns all output."""
    out = bytearray()
    at = 0
    while at < len(data):
        n = rng.choice([0, 1, 7, 8, 9, rng.randrange(100), rng.randrange(20000)])
        chunk = data[at:at + n]
        if into:
            buf = bytearray(len(chunk) + 16)
            out += buf[:context.update_into(chunk, buf)]
        else:
            out += context.update(chunk)
        at += n
    return bytes(out + context.finalize())


@pytest.mark.parametrize("into", [False, True], ids=["update", "update_into"])
@pytest.mark.parametrize("mode", MODES)
def test_any_chunking_gives_the_one_message_bytes(mode, into, key, tea):
    options, encrypt, decrypt = MODES[mode]
    rng = random.Random(f"{mode}{into}")
    for n in [0, 1, 6, 7, 8, 15, 16, 17, 100, 4096, 70001]:
        text = rng.randbytes(n)
        sealed = feed(qulo.Encryptor(tea, n, **options), text, rng, into)
        assert sealed == encrypt(tea)(text), n
        assert feed(qulo.Decryptor(key, **options), sealed, rng, into) == text, n
        assert decrypt(tea)(sealed) == text


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda b: array.array("B", b)],
                         ids=["bytes", "bytearray", "memoryview", "array"])
def test_every_contiguous_buffer_is_data(make, tea):
    text = bytes(range(40))
    e = qulo.Encryptor(tea, 40)
    assert e.update(make(text[:13])) + e.update(data=make(text[13:])) + e.finalize() == \
        tea.encrypt_qq(text)


def test_the_key_is_copied_at_construction(key):
    tea = qulo.TEA(key)
    raw = bytearray(key)
    contexts = [qulo.Encryptor(tea, 5), qulo.Encryptor(raw, 5)]
    d = qulo.Decryptor(tea)
    tea.key = bytes(16)
    raw[:] = bytes(16)
    expected = qulo.TEA(key).encrypt_qq(b"hello")
    for e in contexts:
        assert e.update(b"hello") + e.finalize() == expected
    assert d.update(expected) + d.finalize() == b"hello"


BAD_ARGUMENTS = {
    "key-int": (lambda k: qulo.Encryptor(16, 1), TypeError, "key must be a TEA object or a 16-byte buffer, not int"),
    "key-15": (lambda k: qulo.Decryptor(k[:15]), ValueError, "key must be 16 bytes, got 15"),
    "table-63": (lambda k: qulo.Decryptor(k, sumtable=SUMS[:63]), ValueError, "sum table must be 64 bytes, got 63"),
    "native-alone": (lambda k: qulo.Encryptor(k, 1, native_endian=True), ValueError, "needs a sum table"),
    "length-negative": (lambda k: qulo.Encryptor(k, -1), ValueError, "length must not be negative, got -1"),
    "length-huge": (lambda k: qulo.Encryptor(k, 2**63 - 17), ValueError, "above the largest plaintext length"),
    "length-float": (lambda k: qulo.Encryptor(k, 1.0), TypeError, "integer"),
    "length-missing": (lambda k: qulo.Encryptor(k), TypeError, "length"),
    "table-positional": (lambda k: qulo.Decryptor(k, SUMS), TypeError, "positional"),
    "data-str": (lambda k: qulo.Encryptor(k, 1).update("a"), TypeError, "bytes-like object is required, not 'str'"),
    "out-readonly": (lambda k: qulo.Encryptor(k, 9).update_into(b"a" * 9, bytes(32)), BufferError, "writable"),
}


@pytest.mark.parametrize("case", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_bad_arguments_are_refused_with_what_was_given(case, key):
    call, error, words = case
    with pytest.raises(error, match=words):
        call(key)


def test_lengths_and_sizes_are_named_and_a_refusal_changes_nothing(key, tea):
    text = bytes(range(30))
    e = qulo.Encryptor(key, 30)
    first = e.update(text[:20])
    with pytest.raises(ValueError, match="30 bytes announced, 31 given"):
        e.update(text[20:] + b"!")
    with pytest.raises(ValueError, match="finalize.*30 bytes announced, 20 given"):
        e.finalize()
    with pytest.raises(ValueError, match="this update writes 16 bytes, out holds 15"):
        e.update_into(text[20:], bytearray(15))
    shared = bytearray(64)
    with pytest.raises(ValueError, match="overlap"):
        e.update_into(memoryview(shared)[8:18], shared)
    # The stream goes on as if none of that had happened.
    assert first + e.update(text[20:]) + e.finalize() == tea.encrypt_qq(text)


def _refused_16_bytes(tea):
    rng = random.Random(2)
    while True:
        c = rng.randbytes(16)
        try:
            tea.decrypt_qq(c)
        except ValueError:
            return c


def test_decryption_refuses_what_the_one_message_method_refuses(key, tea):
    rng = random.Random(9)
    cases = [rng.randbytes(n) for n in range(41)] + [_refused_16_bytes(tea)]
    for data in cases:
        d = qulo.Decryptor(key)
        got = d.update(data[:5]) + d.update(data[5:])
        try:
            whole = tea.decrypt_qq(data)
        except ValueError:
            with pytest.raises(ValueError, match="not a ciphertext") as refused:
                d.finalize()
            if len(data) == 16:
                assert "fill count 7" in str(refused.value)
            else:
                assert f"{len(data)} bytes given" in str(refused.value)
        else:
            assert got + d.finalize() == whole, len(data)


def _finished_encryptor(key):
    e = qulo.Encryptor(key, 3)
    e.update(b"abc")
    e.finalize()
    return e


def _finished_decryptor(key):
    d = qulo.Decryptor(key)
    d.update(qulo.TEA(key).encrypt_qq(b""))
    d.finalize()
    return d


def _refused_decryptor(key):
    # A refused final check finalizes too (an Encryptor's only refusal, data
    # still missing, leaves it open).
    d = qulo.Decryptor(key)
    d.update(b"x" * 9)
    with pytest.raises(ValueError):
        d.finalize()
    return d


@pytest.mark.parametrize("make", [_finished_encryptor, _finished_decryptor, _refused_decryptor])
def test_after_finalize_every_call_raises(make, key):
    context = make(key)
    name = type(context).__name__
    for call in (lambda: context.update(b""), lambda: context.update_into(b"", bytearray(16)),
                 context.finalize):
        with pytest.raises(ValueError, match=f"this {name} is finalized"):
            call()


@pytest.mark.no_valgrind(reason="memcheck runs one thread at a time")
def test_two_threads_on_one_context_get_an_error_not_a_corrupted_chain(tea):
    text = random.Random(4).randbytes(48 << 20)  # long enough to overlap a second thread
    e = qulo.Encryptor(tea, len(text))
    results = {}

    def big():
        results["out"] = e.update(text)

    worker = threading.Thread(target=big)
    refused = 0
    worker.start()
    while worker.is_alive():
        try:
            e.update(b"")
        except RuntimeError as error:
            assert "in use by another thread" in str(error)
            refused += 1
    worker.join()
    assert refused > 0, "the large update never ran without the interpreter lock"
    assert results["out"] + e.finalize() == tea.encrypt_qq(text)


class Reentering:
    """Data whose export first calls `call` (the same context again)."""

    def __init__(self, call):
        self.call = call

    def __buffer__(self, flags):
        self.call()
        return memoryview(b"abc")


@pytest.mark.parametrize("inner", ["update", "update_into", "finalize"])
@pytest.mark.parametrize("make", [lambda k: qulo.Encryptor(k, 3), qulo.Decryptor],
                         ids=["Encryptor", "Decryptor"])
def test_a_call_re_entered_from_its_own_data_says_so(key, tea, make, inner):
    context = make(key)
    again = {"update": lambda: context.update(b""), "finalize": context.finalize,
             "update_into": lambda: context.update_into(b"", bytearray(16))}[inner]
    name = type(context).__name__
    with pytest.raises(RuntimeError, match=f"^this {name} was re-entered while busy, from Python "
                                           "code its own call runs on this thread"):
        context.update(Reentering(again))
    # Both calls were refused whole: the chain goes on.
    if name == "Encryptor":
        assert context.update(b"abc") + context.finalize() == tea.encrypt_qq(b"abc")
    else:
        assert context.update(tea.encrypt_qq(b"abc")) + context.finalize() == b"abc"


def test_contexts_cannot_be_subclassed_or_pickled(key):
    for cls in (qulo.Encryptor, qulo.Decryptor):
        with pytest.raises(TypeError):
            type("Mine", (cls,), {})
    with pytest.raises(TypeError):
        pickle.dumps(qulo.Decryptor(key))


def _whole_lives(key, tea):
    """Every path of both contexts once: success, each refusal, release
    before finalize."""
    sealed = tea.encrypt_qq(b"x" * 30)
    e = qulo.Encryptor(tea, 30, sumtable=SUMS)
    e.update(bytearray(b"x" * 20))
    e.update_into(b"x" * 10, bytearray(40))
    try:
        e.update(b"y")
    except ValueError:
        pass
    e.finalize()
    d = qulo.Decryptor(key)
    d.update(memoryview(sealed)[:9])
    d.update(sealed[9:])
    d.finalize()
    for call in (lambda: qulo.Encryptor(key, -1), lambda: qulo.Decryptor(key[:3]),
                 lambda: qulo.Decryptor(key).update(b"x" * 9) + qulo.Decryptor(key).finalize(),
                 lambda: qulo.Encryptor(key, 3).update_into(b"abc", bytearray(2)),
                 lambda: e.update(b"")):
        try:
            call()
        except ValueError:
            pass
    qulo.Encryptor(key, 100).update(b"abandoned")


@pytest.mark.no_sanitizer
@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="the interpreter's allocator is not in use")
def test_no_memory_is_leaked_on_any_path(key, tea):
    for _ in range(50):
        _whole_lives(key, tea)
    growth = []
    for _ in range(6):
        before = sys.getallocatedblocks()
        for _ in range(200):
            _whole_lives(key, tea)
        growth.append(sys.getallocatedblocks() - before)
    assert min(growth) <= 3, growth  # a leak of one block a life shows in every round
