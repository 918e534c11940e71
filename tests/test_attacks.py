"""The module under attack: keyword names whose comparison runs code, outputs
that overlap the text, a key replaced while another thread encrypts, and
failures of allocation that must still name where they happened."""

import gc
import os
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

import capsules
import oracle
import qulo._tea as tea_module
from helpers import traceback_names
from qulo._tea import TEA, encrypt_len

KEY = bytes(range(0x64, 0x74))
TEXT = b"attack at dawn"
TABLE = bytes(range(7, 71))
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


# ---- keyword names that empty the keyword dict while compared ----------------------------


class EmptyingName(str):
    """A keyword name whose comparison clears every dict that holds it (the
    caller's keyword dict among them), then compares as a str would, or
    matches nothing."""

    def __eq__(self, other):
        for referrer in gc.get_referrers(self):
            if isinstance(referrer, dict):
                referrer.clear()
        return self.matches and str.__eq__(self, other)

    __hash__ = str.__hash__


def emptying_name(text, matches):
    name = EmptyingName(text)
    name.matches = matches
    return name


# label -> (function name in messages, parameter, fresh value, call with the
# keyword dict, expected result). Each value is referenced by the dict alone.
EMPTYING_CALLS = {
    "TEA key bytearray": ("__cinit__", "key", lambda: bytearray(KEY),
                          lambda kw: TEA(**kw).key, KEY),
    "TEA key bytes": ("__cinit__", "key", lambda: bytes(bytearray(KEY)),
                      lambda kw: TEA(**kw).key, KEY),
    "TEA.__new__": ("__cinit__", "key", lambda: bytearray(KEY),
                    lambda kw: TEA.__new__(TEA, **kw).key, KEY),
    "encrypt_qq": ("encrypt_qq", "text", lambda: bytearray(TEXT),
                   lambda kw: TEA(KEY).encrypt_qq(**kw), TEA(KEY).encrypt_qq(TEXT)),
    "decrypt_qq_into out": ("decrypt_qq_into", "out", lambda: bytearray(32),
                            lambda kw: TEA(KEY).decrypt_qq_into(TEA(KEY).encrypt_qq(TEXT), **kw),
                            len(TEXT)),
    "encrypt_len": ("encrypt_len", "src", lambda: int("12345678901"),
                    lambda kw: encrypt_len(**kw), encrypt_len(12345678901)),
    "__setstate__": ("__setstate__", "state", lambda: bytearray(4),
                     lambda kw: TEA(KEY).__setstate__(**kw), TypeError(REFUSAL)),
}


def run_emptying_call(row, matches):
    """Makes the call of `row` with an emptying keyword name; returns what
    it returned or raised, and whether the dict was really emptied."""
    _, param, value, call, _ = EMPTYING_CALLS[row]
    kwargs = {emptying_name(param, matches): value()}
    try:
        result = call(kwargs)
    except TypeError as e:
        result = e
    return result, kwargs == {}


def expected_result(row, matches):
    func, param, _, _, expected = EMPTYING_CALLS[row]
    if not matches:
        return TypeError(f"{func}() got an unexpected keyword argument '{param}'")
    return expected


def same(result, expected):
    if isinstance(expected, Exception):
        return type(result) is type(expected) and str(result) == str(expected)
    return result == expected


@pytest.mark.parametrize("matches", [True, False], ids=["matching", "unknown"])
@pytest.mark.parametrize("row", EMPTYING_CALLS)
def test_keyword_name_that_empties_the_keyword_dict(row, matches):
    result, emptied = run_emptying_call(row, matches)
    assert emptied  # the attack did run
    assert same(result, expected_result(row, matches)), result


def test_keyword_dict_emptied_under_the_debug_allocator():
    # Freed memory is overwritten at once here, so a name or value used after
    # the dict let it go shows as a crash or a wrong result.
    code = f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import test_attacks as t
        for row in t.EMPTYING_CALLS:
            for matches in (True, False):
                result, emptied = t.run_emptying_call(row, matches)
                assert emptied and t.same(result, t.expected_result(row, matches)), (row, result)
        print("clean")
    """
    done = subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, cwd=tempfile.gettempdir(), timeout=300)
    assert (done.returncode, done.stdout) == (0, "clean\n"), done.stderr


# ---- Python code run from inside the buffer protocol ------------------------------------


def empty_referrers(obj):
    for referrer in gc.get_referrers(obj):
        if isinstance(referrer, dict):
            referrer.clear()


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


class EmptyingInt:
    def __int__(self):
        empty_referrers(self)
        return 12345678901


OTHER_KEY = bytes(range(0xF0, 0x100))


def assign_key(tea, key):
    return lambda _: setattr(tea, "key", key)


def key_assigned_by_the_sumtable(tea):
    table = Hooked(bytearray(TABLE), on_export=assign_key(tea, OTHER_KEY))
    return tea.encrypt(TEXT, table), TEA(OTHER_KEY).encrypt(TEXT, TABLE)


def key_assigned_by_the_output(tea):
    out = Hooked(bytearray(32), on_export=assign_key(tea, OTHER_KEY))
    tea.encrypt_qq_into(TEXT, out)
    return bytes(out.data[:24]), TEA(OTHER_KEY).encrypt_qq(TEXT)


def key_assigned_when_the_text_is_given_back(tea):
    text = Hooked(bytearray(TEXT), on_release=assign_key(tea, OTHER_KEY))
    return (tea.encrypt_qq(text), tea.key), (TEA(KEY).encrypt_qq(TEXT), OTHER_KEY)


def key_assigned_while_its_value_is_exported(tea):
    tea.key = Hooked(bytearray(OTHER_KEY), on_export=assign_key(tea, bytes(16)))
    return tea.key, OTHER_KEY


def key_that_empties_the_keyword_dict(tea):
    made = TEA(**{"key": Hooked(bytearray(OTHER_KEY), on_export=empty_referrers)})
    return made.key, OTHER_KEY


def text_that_empties_the_keyword_dict(tea):
    text = Hooked(bytearray(TEXT), on_export=empty_referrers)
    return tea.encrypt_qq(**{"text": text}), TEA(KEY).encrypt_qq(TEXT)


def src_whose_int_empties_the_keyword_dict(tea):
    return encrypt_len(**{"src": EmptyingInt()}), encrypt_len(12345678901)


@pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("case", [
    key_assigned_by_the_sumtable, key_assigned_by_the_output,
    key_assigned_when_the_text_is_given_back, key_assigned_while_its_value_is_exported,
    key_that_empties_the_keyword_dict, text_that_empties_the_keyword_dict,
    src_whose_int_empties_the_keyword_dict,
], ids=lambda f: f.__name__)
def test_python_code_run_during_a_call(case):
    got, expected = case(TEA(KEY))
    assert got == expected


# ---- outputs overlapping the text ----------------------------------------------------------


class Op:
    """One operation pair: its method suffix, sum table and block byte order."""

    def __init__(self, suffix, sums, native):
        self.suffix, self.sums, self.native = suffix, sums, native

    def args(self, name, text, out):
        return [text, out] if "_qq" in name else [text, self.sums, out]

    def model(self, direction, data):
        sums = self.sums if self.suffix != "_qq" else None
        if direction == "encrypt":
            return oracle.encrypt(KEY, data, sums, self.native)
        return oracle.decrypt_leftovers(KEY, data, sums, self.native)


OPS = {"qq": Op("_qq", None, False), "table": Op("", TABLE, False),
       "native_endian": Op("_native_endian", TABLE, True)}
CORE = capsules.Core(tea_module)


def call_into(path, direction, op, text, out):
    """`direction`_into of `op` through `path`; -1 where the path raises."""
    name = direction + op.suffix + "_into"
    args = op.args(name, text, out)
    try:
        if path == "method":
            return getattr(TEA(KEY), name)(*args)
        if path == "method table":
            return capsules.call_method_entry(TEA, name, TEA(KEY), *args)
        return CORE.call("qulo_" + direction + op.suffix, KEY, text, out, op.sums or TABLE)
    except ValueError as e:
        assert str(e) == "encrypt wrong"
        return -1


def fill_seven(op):
    """A 16-byte ciphertext that decryption refuses (fill count 7)."""
    for seed in range(1000):
        data = bytes((seed * 37 + i * 101) % 256 for i in range(16))
        if op.model("decrypt", data) is None:
            return data
    raise AssertionError("no refused ciphertext found")


def overlap_cases(op):
    """(direction, text, bytes out must hold after the call or None when the
    call is refused, the call's result)."""
    for n in (0, 5, 14):
        ciphertext = op.model("encrypt", TEXT[:n])
        yield "encrypt", TEXT[:n], ciphertext, len(ciphertext)
    for n in (0, 6, 13, 30):
        ciphertext = op.model("encrypt", (TEXT * 3)[:n])
        yield "decrypt", ciphertext, op.model("decrypt", ciphertext), n
    yield "decrypt", fill_seven(op), None, -1


@pytest.mark.parametrize("op", OPS.values(), ids=OPS)
@pytest.mark.parametrize("path", ["method", "capsule", "method table"])
def test_output_overlapping_the_text_at_every_shift(path, op):
    for direction, text, want, result in overlap_cases(op):
        size = len(text) if want is None else len(want)
        margin = max(len(text), size) + 8
        for shift in range(-margin, margin + 1):  # out starts `shift` bytes after text
            buffer = bytearray(b"\x5a" * margin + text + b"\x5a" * (2 * margin))
            expected = bytearray(buffer)
            if want is not None:
                expected[margin + shift:margin + shift + size] = want
            with memoryview(buffer) as view:
                got = call_into(path, direction, op, view[margin:margin + len(text)],
                                view[margin + shift:margin + shift + size])
            assert (got, buffer) == (result, expected), (direction, len(text), shift)


# ---- a key replaced while another thread encrypts -------------------------------------------


def straddling_tea(key):
    """A TEA object whose key words straddle a cache line, which widens the
    window where a reader may see half of an assignment. The key record
    sits 24 bytes into the object (header, method table pointer), and id()
    is the address."""
    made = []
    for _ in range(64):
        made.append(TEA(key))
        if (id(made[-1]) + 24) % 64 == 56:
            return made[-1]
    return made[-1]


def test_a_key_replaced_during_encryptions_never_mixes_two_keys():
    keys = [bytes(16), bytes(range(0xF0, 0x100))]
    whole = {TEA(k).encrypt_qq(TEXT) for k in keys}
    size = encrypt_len(len(TEXT))
    tea = straddling_tea(keys[0])
    # A long output keeps each call busy clearing it before the key is
    # used, and the two threads get a processor each where there are two:
    # the assignments then run while the calls start.
    out = bytearray(1 << 20)
    cpus = sorted(os.sched_getaffinity(0))
    stop = threading.Event()

    def assign():
        os.sched_setaffinity(0, cpus[-1:])
        first, second = keys
        while not stop.is_set():
            for _ in range(1000):
                tea.key = second
                tea.key = first

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
                mixed += bytes(out[:size]) not in whole
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
