"""Reference and memory leaks: every method and every error path, many times.

Each case is called a few dozen times to warm up (the TEA free list of 8,
traceback code objects, the interpreter's own caches), then in rounds of
CALLS calls. A round passes when the interpreter's allocated block count
ends within TOLERANCE of where it began; like a reference-leak hunter, a
case gets several rounds, because a stray cache fill can land in any one of
them, while a real leak of even one block per call shows in all of them.
The arguments' reference counts must come back exactly, and after every
call a bytearray argument must be resizable again (no export left behind).

sys.getallocatedblocks counts the interpreter's own allocator only, so these
tests mean nothing under PYTHONMALLOC=malloc: the sanitizer run deselects
them (marker no_sanitizer) and they skip themselves when the count is zero.
"""

import array
import copy
import gc
import operator
import pickle
import sys

import pytest

import qulo
from qulo import TEA, encrypt_len

pytestmark = [
    pytest.mark.no_sanitizer,
    pytest.mark.skipif(sys.getallocatedblocks() == 0,
                       reason="the interpreter's allocator is not in use"),
]

WARMUP = 40
CALLS = 200
ROUNDS = 8
TOLERANCE = 3

KEY = bytes.fromhex("0f1e2d3c4b5a69788796a5b4c3d2e1f0")
TABLE = bytes(range(7, 7 + 64))
PLAIN = bytes(range(37))

ENCRYPTIONS = {"encrypt_qq": False, "encrypt": True, "encrypt_native_endian": True}
DECRYPTIONS = {"decrypt_qq": False, "decrypt": True, "decrypt_native_endian": True}
PAIRS = {"encrypt_qq": "decrypt_qq", "encrypt": "decrypt",
         "encrypt_native_endian": "decrypt_native_endian"}


def _fill7_ciphertext(name, table):
    """A 16-byte ciphertext whose decrypted header has fill count 7."""
    tea = TEA(KEY)
    decrypt = getattr(tea, name + "_into")
    for seed in range(10_000):
        text = seed.to_bytes(2, "little") * 8
        out = bytearray(16)
        args = (text, table, out) if table is not None else (text, out)
        try:
            decrypt(*args)
        except ValueError:
            return text
    raise AssertionError("no fill-count-7 ciphertext found")


class Case:
    def __init__(self, fn, *args, raises=(), **kwargs):
        self.fn = fn
        self.args = args
        self.kwargs = kwargs
        self.raises = raises

    def objects(self):
        return [self.fn, *self.args, *self.kwargs.values()]

    def __call__(self):
        try:
            self.fn(*self.args, **self.kwargs)
        except self.raises:
            pass
        else:
            if self.raises:
                raise AssertionError(f"{self.fn!r} did not raise {self.raises}")
        for obj in self.objects():
            if isinstance(obj, bytearray):
                # Raises BufferError while any export of obj is still held.
                obj.append(0)
                del obj[-1]


def method_cases():
    """Success and failure of each of the twelve methods."""
    tea = TEA(KEY)
    cases = {}
    for enc, takes_table in ENCRYPTIONS.items():
        dec = PAIRS[enc]
        table = (TABLE,) if takes_table else ()
        cipher = getattr(tea, enc)(PLAIN, *table)
        n = encrypt_len(len(PLAIN))
        e, e_into = getattr(tea, enc), getattr(tea, enc + "_into")
        d, d_into = getattr(tea, dec), getattr(tea, dec + "_into")
        fill7 = _fill7_ciphertext(dec, TABLE if takes_table else None)
        cases.update({
            f"{enc} bytes": Case(e, PLAIN, *table),
            f"{enc} bytearray": Case(e, bytearray(PLAIN), *(bytearray(t) for t in table)),
            f"{enc} memoryview": Case(e, memoryview(bytearray(PLAIN)),
                                      *(memoryview(t) for t in table)),
            f"{enc} None": Case(e, None, *table),
            f"{enc} keywords": Case(e, text=PLAIN, **({"sumtable": TABLE} if table else {})),
            f"{enc}_into exact": Case(e_into, PLAIN, *table, bytearray(n)),
            f"{enc}_into roomy": Case(e_into, bytearray(PLAIN), *table, bytearray(n + 13)),
            f"{enc}_into array": Case(e_into, PLAIN, *table, array.array("B", bytes(n))),
            f"{enc}_into too small": Case(e_into, PLAIN, *table, bytearray(n - 1),
                                          raises=ValueError),
            f"{enc}_into out None": Case(e_into, PLAIN, *table, None, raises=ValueError),
            f"{enc}_into out bytes": Case(e_into, bytearray(PLAIN), *table, bytes(n),
                                          raises=BufferError),
            f"{dec} bytes": Case(d, cipher, *table),
            f"{dec} bytearray": Case(d, bytearray(cipher), *(bytearray(t) for t in table)),
            f"{dec}_into exact": Case(d_into, cipher, *table, bytearray(len(cipher))),
            f"{dec}_into too small": Case(d_into, cipher, *table, bytearray(len(cipher) - 1),
                                          raises=ValueError),
            f"{dec} short": Case(d, bytes(15), *table, raises=ValueError),
            f"{dec} not whole blocks": Case(d, bytearray(17), *table, raises=ValueError),
            f"{dec} fill count 7": Case(d, fill7, *table, raises=ValueError),
            f"{dec}_into fill count 7": Case(d_into, bytearray(fill7), *table, bytearray(16),
                                             raises=ValueError),
            f"{dec}_into empty": Case(d_into, b"", *table, bytearray(), raises=ValueError),
        })
        in_place = bytearray(cipher)
        cases[f"{dec}_into in place"] = Case(d_into, in_place, *table, in_place)
        for name, fn in ((enc, e), (dec, d), (enc + "_into", e_into), (dec + "_into", d_into)):
            def arguments(text, name=name, table=table):
                return (text, *table, *([bytearray(256)] if name.endswith("_into") else []))
            cases.update({
                f"{name} no arguments": Case(fn, raises=TypeError),
                f"{name} too many": Case(fn, PLAIN, PLAIN, PLAIN, PLAIN, raises=TypeError),
                f"{name} unknown keyword": Case(fn, *arguments(PLAIN), bogus=1, raises=TypeError),
                f"{name} repeated keyword": Case(fn, *arguments(PLAIN), text=PLAIN,
                                                 raises=TypeError),
                f"{name} int text": Case(fn, *arguments(5), raises=TypeError),
                f"{name} signed text": Case(fn, *arguments(array.array("b", PLAIN)),
                                            raises=ValueError),
                f"{name} 2-D text": Case(fn, *arguments(memoryview(bytearray(4)).cast("B", (2, 2))),
                                         raises=ValueError),
                f"{name} not a TEA": Case(getattr(TEA, name), object(), *arguments(PLAIN),
                                          raises=TypeError),
            })
            if takes_table:
                out = [bytearray(256)] if name.endswith("_into") else []
                cases.update({
                    f"{name} short table": Case(fn, bytearray(PLAIN), TABLE[:63], *out,
                                                raises=AssertionError),
                    f"{name} table of ints": Case(fn, bytearray(PLAIN),
                                                  array.array("I", range(16)), *out,
                                                  raises=ValueError),
                })
    return cases


def object_cases():
    """Construction, the key property, pickling and encrypt_len."""
    tea = TEA(KEY)
    settable = TEA(KEY)
    return {
        "TEA bytes": Case(TEA, KEY),
        "TEA keyword": Case(TEA, key=bytearray(KEY)),
        "TEA memoryview": Case(TEA, memoryview(KEY)),
        "TEA beyond the free list": Case(lambda k: [TEA(k) for _ in range(20)], KEY),
        "TEA no key": Case(TEA, raises=TypeError),
        "TEA two keys": Case(TEA, KEY, KEY, raises=TypeError),
        "TEA short key": Case(TEA, bytearray(KEY[:15]), raises=AssertionError),
        "TEA None": Case(TEA, None, raises=AssertionError),
        "TEA int key": Case(TEA, 7, raises=TypeError),
        "TEA unknown keyword": Case(TEA, KEY, bogus=1, raises=TypeError),
        "key get": Case(operator.attrgetter("key"), tea),
        "key set": Case(setattr, settable, "key", bytearray(KEY)),
        "key set short": Case(setattr, settable, "key", bytearray(KEY[:3]),
                              raises=AssertionError),
        "key set signed": Case(setattr, settable, "key", array.array("b", KEY),
                               raises=ValueError),
        "key delete": Case(delattr, settable, "key", raises=NotImplementedError),
        "__reduce__": Case(tea.__reduce__, raises=TypeError),
        "__setstate__": Case(tea.__setstate__, None, raises=TypeError),
        "copy": Case(copy.copy, tea, raises=TypeError),
        "pickle": Case(pickle.dumps, tea, raises=TypeError),
        "encrypt_len": Case(encrypt_len, 12345),
        "encrypt_len float": Case(encrypt_len, 7.9),
        "encrypt_len too big": Case(encrypt_len, 2**70, raises=OverflowError),
        "encrypt_len str": Case(encrypt_len, "7", raises=TypeError),
        "encrypt_len no argument": Case(encrypt_len, raises=TypeError),
    }


CASES = {**method_cases(), **object_cases()}


@pytest.fixture(scope="module", autouse=True)
def past_the_free_list():
    """Fill the free list once so that later objects come from and go to it."""
    objects = [TEA(KEY) for _ in range(3 * 8)]
    del objects
    gc.collect()


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    case = CASES[name]
    for _ in range(WARMUP):
        case()
    objects = case.objects()
    refcounts = [sys.getrefcount(obj) for obj in objects]
    deltas = []
    for _ in range(ROUNDS):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(CALLS):
            case()
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
        if abs(deltas[-1]) <= TOLERANCE:
            break
    else:
        pytest.fail(f"allocated blocks grew in every round of {CALLS} calls: {deltas}")
    assert [sys.getrefcount(obj) for obj in objects] == refcounts


def test_every_method_is_covered():
    """Success and failure of all twelve methods appear among the cases."""
    names = {m for m in dir(TEA) if m.startswith(("encrypt", "decrypt"))}
    assert len(names) == 12
    for name in names:
        ok = [k for k, c in CASES.items()
              if k.split()[0] == name and not c.raises]
        failing = [k for k, c in CASES.items()
                   if k.split()[0] == name and c.raises]
        assert ok and failing, name

