"""Threads under load: many threads, one shared TEA object and their own.

Every cipher method releases the interpreter lock around the cipher core, so
threads really do run it at the same time. THREADS threads each hammer one
shared object and a few objects of their own with a random mix of all twelve
methods, key reads and refused calls, over random text lengths, until the
deadline. Every result is checked against tests/oracle.py; the expected
values are computed before the timed loop, because the oracle is slow.

The run lasts QULO_STRESS_SECONDS (default 3) seconds; set it higher for a
soak, e.g. QULO_STRESS_SECONDS=600.
"""

import os
import random
import sys
import threading
import time

import pytest

import oracle
from qulo import TEA

THREADS = 10
OWN_OBJECTS = 3
SECONDS = float(os.environ.get("QULO_STRESS_SECONDS", "3"))
UNTOUCHED = 0xA5

_rng = random.Random(0x5EED)
SHARED_KEY = bytes(_rng.randrange(256) for _ in range(16))
OWN_KEYS = [bytes(_rng.randrange(256) for _ in range(16)) for _ in range(4)]
TABLE = bytes(_rng.randrange(256) for _ in range(64))
LENGTHS = sorted({0, 1, 6, 7, 8, 14, 15, 16, 23, 64, 255, 256, 1000, 4093}
                 | {_rng.randrange(300) for _ in range(20)})
TEXTS = [bytes(_rng.randrange(256) for _ in range(n)) for n in LENGTHS]

# The three operation pairs: (encryption, decryption, table argument, native order).
OPERATIONS = [
    ("encrypt_qq", "decrypt_qq", None, False),
    ("encrypt", "decrypt", TABLE, False),
    ("encrypt_native_endian", "decrypt_native_endian", TABLE, True),
]


def _expected():
    """(key, encryption name, text index) -> ciphertext, from the oracle."""
    table = {}
    for key in [SHARED_KEY, *OWN_KEYS]:
        for enc, _, sums, native in OPERATIONS:
            for i, text in enumerate(TEXTS):
                table[key, enc, i] = oracle.encrypt(key, text, sums, native)
    return table


EXPECTED = _expected()


class Worker:
    """One thread's loop; records the number of checked calls and any fault."""

    def __init__(self, seed, shared, barrier):
        self.rng = random.Random(seed)
        self.shared = shared
        own_keys = self.rng.sample(OWN_KEYS, OWN_OBJECTS)
        self.objects = [(shared, SHARED_KEY)] + [(TEA(k), k) for k in own_keys]
        self.barrier = barrier
        self.done = 0
        self.faults = []

    def check(self, ok, what):
        if not ok:
            self.faults.append(what)

    def one_call(self):
        rng = self.rng
        tea, key = rng.choice(self.objects)
        enc, dec, sums, _ = rng.choice(OPERATIONS)
        i = rng.randrange(len(TEXTS))
        text, cipher = TEXTS[i], EXPECTED[key, enc, i]
        table = () if sums is None else (sums,)
        what = f"{enc}/{dec} on {len(text)} bytes"
        kind = rng.randrange(8)
        if kind == 0:
            self.check(tea.key == key, "key read")
        elif kind == 1:
            self.check(getattr(tea, enc)(text, *table) == cipher, what + ": encrypt")
        elif kind == 2:
            self.check(getattr(tea, dec)(cipher, *table) == text, what + ": decrypt")
        elif kind == 3:
            extra = rng.randrange(17)
            out = bytearray([UNTOUCHED]) * (len(cipher) + extra)
            r = getattr(tea, enc + "_into")(bytearray(text), *table, out)
            self.check(r == len(cipher) and out[:r] == cipher and not any(out[r:]),
                       what + ": encrypt_into")
        elif kind == 4:
            extra = rng.randrange(17)
            out = bytearray([UNTOUCHED]) * (len(cipher) + extra)
            r = getattr(tea, dec + "_into")(memoryview(cipher), *table, out)
            self.check(r == len(text) and out[:r] == text
                       and out[len(cipher):] == bytearray([UNTOUCHED]) * extra,
                       what + ": decrypt_into")
        elif kind == 5:
            buf = bytearray(cipher)
            r = getattr(tea, dec + "_into")(buf, *table, buf)
            self.check(r == len(text) and buf[:r] == text, what + ": decrypt in place")
        elif kind == 6:
            out = bytearray([UNTOUCHED]) * (len(cipher) - 1)
            try:
                getattr(tea, enc + "_into")(text, *table, out)
            except ValueError as e:
                self.check(str(e) == "output buffer is too small"
                           and out == bytearray([UNTOUCHED]) * len(out), what + ": refusal")
            else:
                self.check(False, what + ": too small out accepted")
        else:
            bad = cipher[:rng.choice([0, 8, 15])] + b"\x01" * rng.choice([0, 1])
            try:
                getattr(tea, dec)(bad, *table)
            except ValueError as e:
                self.check(str(e) == "encrypt wrong", what + ": bad ciphertext message")
            else:
                self.check(len(bad) >= 16 and len(bad) % 8 == 0,
                           what + ": bad ciphertext accepted")
        self.done += 1

    def run(self):
        self.barrier.wait()
        deadline = time.monotonic() + SECONDS
        try:
            while time.monotonic() < deadline:
                self.one_call()
        except BaseException as e:  # noqa: BLE001 - any exception is a fault here
            self.faults.append(repr(e))


@pytest.fixture
def short_switch_interval():
    """Switch threads often, so that calls interleave as finely as they can."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def test_threads_share_one_object_and_use_their_own(short_switch_interval):
    shared = TEA(SHARED_KEY)
    barrier = threading.Barrier(THREADS)
    workers = [Worker(seed, shared, barrier) for seed in range(THREADS)]
    threads = [threading.Thread(target=w.run, name=f"stress-{i}") for i, w in enumerate(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 120)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    faults = [f for w in workers for f in w.faults]
    assert not faults, faults[:20]
    done = [w.done for w in workers]
    assert all(n > 0 for n in done), done
    # Nothing changed the objects' keys or the shared inputs.
    assert shared.key == SHARED_KEY
    assert all(tea.key == key for w in workers for tea, key in w.objects)
