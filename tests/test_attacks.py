"""The module under attack: Python code run while arguments are bound and
converted, outputs overlapping the text, a key replaced while another thread
encrypts, and allocation failures that must still name their function."""

import gc
import os
import sys
import threading
import time

import pytest

import capsules
import qulo._tea as tea_module
from helpers import traceback_names
from qulo._tea import TEA, encrypt_len
from test_methods import OP_IDS, OPS, fill_seven_ciphertext

KEY = bytes(range(0x64, 0x74))
OTHER_KEY = bytes(range(0xF0, 0x100))
TEXT = b"attack at dawn"


# ---- Python code run while a call binds and converts its arguments ----------------------


def empty_referrers(obj):
    """Clears every dict that holds `obj`: the caller's keyword dict too."""
    for referrer in gc.get_referrers(obj):
        if isinstance(referrer, dict):
            referrer.clear()


class EmptyingName(str):
    """A keyword name that empties the dicts holding it when compared, then
    compares as a str would (`matches`) or equal to nothing."""

    def __eq__(self, other):
        empty_referrers(self)
        return self.matches and str.__eq__(self, other)

    __hash__ = str.__hash__


class Hooked:
    """Exports `data`, running `on_export(self)` when asked for the buffer
    and `on_release(self)` when it is given back."""

    def __init__(self, data, on_export=None, on_release=None):
        self.data, self.on_export, self.on_release = data, on_export, on_release

    def __buffer__(self, flags):
        if self.on_export:
            self.on_export(self)
        return memoryview(self.data)

    def __release_buffer__(self, view):
        view.release()
        if self.on_release:
            self.on_release(self)


def named(text, matches):
    name = EmptyingName(text)
    name.matches = matches
    return name


def assigns_key(tea, key):
    return lambda _: setattr(tea, "key", key)


def out_that_assigns_the_key(tea):
    out = bytearray(24)
    tea.encrypt_qq_into(TEXT, Hooked(out, on_export=assigns_key(tea, OTHER_KEY)))
    return out


def text_that_assigns_the_key_when_given_back(tea):
    text = Hooked(bytearray(TEXT), on_release=assigns_key(tea, OTHER_KEY))
    return tea.encrypt_qq(text), tea.key


# label -> (call given a TEA object, expected result). Every value passed by
# keyword is held by the keyword dict alone.
CALLS = {
    "TEA key bytearray": (lambda t: TEA(**{named("key", True): bytearray(KEY)}).key, KEY),
    "TEA key bytes": (lambda t: TEA(**{named("key", True): bytes(bytearray(KEY))}).key, KEY),
    "TEA unknown name": (lambda t: TEA(**{named("key", False): bytearray(KEY)}),
                         TypeError("__cinit__() got an unexpected keyword argument 'key'")),
    "TEA.__new__": (lambda t: TEA.__new__(TEA, **{named("key", True): bytearray(KEY)}).key, KEY),
    "method": (lambda t: t.encrypt_qq(**{named("text", True): bytearray(TEXT)}),
               TEA(KEY).encrypt_qq(TEXT)),
    "method unknown name": (
        lambda t: t.decrypt_qq_into(b"", **{named("out", False): bytearray(8)}),
        TypeError("decrypt_qq_into() got an unexpected keyword argument 'out'")),
    "encrypt_len": (lambda t: encrypt_len(**{named("src", True): int("12345678901")}),
                    encrypt_len(12345678901)),
    "__setstate__ unknown name": (
        lambda t: t.__setstate__(**{named("state", False): bytearray(1)}),
        TypeError("__setstate__() got an unexpected keyword argument 'state'")),
    "key that empties the dict while exported": (
        lambda t: TEA(**{"key": Hooked(bytearray(OTHER_KEY), empty_referrers)}).key, OTHER_KEY),
    # The key is read once the arguments are converted, and only then.
    "out that assigns the key while exported": (out_that_assigns_the_key,
                                                TEA(OTHER_KEY).encrypt_qq(TEXT)),
    "text that assigns the key when given back": (text_that_assigns_the_key_when_given_back,
                                                  (TEA(KEY).encrypt_qq(TEXT), OTHER_KEY)),
}


@pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("row", CALLS)
def test_python_code_run_while_arguments_are_bound_and_converted(row):
    call, expected = CALLS[row]
    try:
        got = call(TEA(KEY))
    except TypeError as e:
        got = e
    if isinstance(expected, Exception):
        assert (type(got), str(got)) == (type(expected), str(expected))
    else:
        assert got == expected


# ---- outputs overlapping the text ----------------------------------------------------------

CORE = capsules.Core(tea_module)


def call_into(path, op, name, text, out):
    """Method `name` of `op` through `path`, -1 where it raises."""
    try:
        if path == "method":
            return op.call(TEA(KEY), name, text, out)
        if path == "method table":
            return capsules.call_method_entry(TEA, name, TEA(KEY), *op.args(name, text, out))
        return CORE.call("qulo_" + name.removesuffix("_into"), KEY, text, out, op.sums)
    except ValueError as e:
        assert str(e) == "encrypt wrong"
        return -1


@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
@pytest.mark.parametrize("path", ["method", "capsule", "method table"])
def test_output_overlapping_the_text_at_every_shift(path, op):
    # (method, text, what out holds afterwards or None for a refusal, result)
    cases = [(op.encrypt + "_into", TEXT[:n], op.model_encrypt(KEY, TEXT[:n]), encrypt_len(n))
             for n in (0, 5, 14)]
    for n in (0, 6, 13, 30):
        ciphertext = op.model_encrypt(KEY, (TEXT * 3)[:n])
        cases.append((op.decrypt + "_into", ciphertext, op.model_leftovers(KEY, ciphertext), n))
    cases.append((op.decrypt + "_into", fill_seven_ciphertext(op, KEY), None, -1))
    for name, text, want, result in cases:
        size = len(text) if want is None else len(want)
        margin = max(len(text), size) + 8
        for shift in range(-margin, margin + 1):  # out starts `shift` bytes after text
            buffer = bytearray(b"\x5a" * margin + text + b"\x5a" * (2 * margin))
            expected = bytearray(buffer)
            if want is not None:
                expected[margin + shift:margin + shift + size] = want
            with memoryview(buffer) as view:
                got = call_into(path, op, name, view[margin:margin + len(text)],
                                view[margin + shift:margin + shift + size])
            assert (got, buffer) == (result, expected), (name, len(text), shift)


# ---- a key replaced while another thread encrypts -------------------------------------------


def straddling_tea(key):
    """A TEA object whose key words straddle a cache line, which widens the
    window for a reader to see half of an assignment. The key record sits
    24 bytes into the object (header, method table pointer); id() is the
    address."""
    made = [TEA(key)]
    while (id(made[-1]) + 24) % 64 != 56 and len(made) < 64:
        made.append(TEA(key))
    return made[-1]


def test_a_key_replaced_during_encryptions_never_mixes_two_keys():
    whole = {TEA(k).encrypt_qq(TEXT) for k in (KEY, OTHER_KEY)}
    tea = straddling_tea(KEY)
    # A long output keeps each call busy clearing it before the key is used,
    # and each thread gets a processor of its own where there are two: the
    # assignments then run while the calls start.
    out = bytearray(1 << 20)
    cpus = sorted(os.sched_getaffinity(0))
    stop = threading.Event()

    def assign():
        os.sched_setaffinity(0, cpus[-1:])
        while not stop.is_set():
            for _ in range(1000):
                tea.key = OTHER_KEY
                tea.key = KEY

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    os.sched_setaffinity(0, cpus[:1])
    assigner = threading.Thread(target=assign)
    assigner.start()
    mixed = 0
    try:
        deadline = time.monotonic() + 1.5
        while not mixed and time.monotonic() < deadline:
            for _ in range(100):
                tea.encrypt_qq_into(TEXT, out)
                mixed += bytes(out[:24]) not in whole
    finally:
        stop.set()
        assigner.join()
        sys.setswitchinterval(interval)
        os.sched_setaffinity(0, cpus)
    assert mixed == 0


# ---- allocation failures carry their traceback entry --------------------------------------


@pytest.mark.parametrize("call, entry", [
    (lambda: TEA(KEY), "qulo._tea.TEA.__cinit__"),
    (lambda: encrypt_len(2**40), "qulo._tea.encrypt_len"),
], ids=["TEA", "encrypt_len"])
def test_allocation_failure_names_the_function(call, entry):
    testcapi = pytest.importorskip("_testcapi")
    held = [TEA(KEY) for _ in range(9)]  # the free list is empty while these live
    traces = []
    for start in range(32):  # fail the start-th allocation of the call, one at a time
        testcapi.set_nomemory(start, start + 1)
        try:
            call()
        except MemoryError as e:
            traces.append(traceback_names(e))
            continue
        finally:
            testcapi.remove_mem_hooks()
        break
    del held
    assert any(entry in names for names in traces), traces
