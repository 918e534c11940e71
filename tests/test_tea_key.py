"""The TEA object and its key: construction, the key property, the byte
order of the key words, refusal of pickling, the object's shape and its
reuse through the free list."""

from __future__ import annotations

import array
import copy
import gc
import json
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import oracle
from helpers import traceback_names
from qulo import TEA

KEY = bytes.fromhex("00112233445566778899aabbccddeeff")
OTHER = bytes.fromhex("f0e1d2c3b4a5968778695a4b3c2d1e0f")
TEXT = b"attack at dawn"
SUMS = oracle.sumtable_bytes(tuple((0x01020304 * r) & 0xFFFFFFFF for r in range(1, 17)))
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"
BAD_LENGTH = "key must be 16 bytes len"


def module_entries(exc):
    return [n for n in traceback_names(exc) if n.startswith("qulo._tea.")]


# ---- construction ----------------------------------------------------------

CONSTRUCTIONS = {
    "bytes": lambda k: TEA(k),
    "bytearray": lambda k: TEA(bytearray(k)),
    "memoryview": lambda k: TEA(memoryview(k)),
    "memoryview_of_bytearray": lambda k: TEA(memoryview(bytearray(k))),
    "memoryview_slice": lambda k: TEA(memoryview(b"--" + k + b"--")[2:-2]),
    "array_B": lambda k: TEA(array.array("B", k)),
    "keyword": lambda k: TEA(key=k),
    "keyword_bytearray": lambda k: TEA(key=bytearray(k)),
    "type_new": lambda k: TEA.__new__(TEA, k),
    "type_new_keyword": lambda k: TEA.__new__(TEA, key=k),
}


@pytest.mark.parametrize("how", CONSTRUCTIONS)
@pytest.mark.parametrize("key", [KEY, OTHER, bytes(16), b"\xff" * 16])
def test_construction_sets_the_key(how, key):
    tea = CONSTRUCTIONS[how](key)
    assert type(tea) is TEA
    assert tea.key == key
    assert tea.encrypt_qq(TEXT) == oracle.encrypt(key, TEXT)


def test_changing_the_key_buffer_afterwards_changes_nothing():
    buf = bytearray(KEY)
    tea = TEA(buf)
    before = tea.encrypt_qq(TEXT)
    buf[:] = OTHER
    assert tea.key == KEY
    assert tea.encrypt_qq(TEXT) == before
    buf.extend(b"resizable: no export kept")


# args, kwargs -> message
ARGUMENT_ERRORS = {
    "none": ((), {}, "__cinit__() takes exactly 1 positional argument (0 given)"),
    "two": ((KEY, KEY), {}, "__cinit__() takes exactly 1 positional argument (2 given)"),
    "three": ((KEY,) * 3, {}, "__cinit__() takes exactly 1 positional argument (3 given)"),
    "two_and_keyword": ((KEY, KEY), {"key": KEY},
                        "__cinit__() takes exactly 1 positional argument (2 given)"),
    "unexpected": ((), {"kee": KEY}, "__cinit__() got an unexpected keyword argument 'kee'"),
    "unexpected_after_key": ((), {"key": KEY, "text": KEY},
                             "__cinit__() got an unexpected keyword argument 'text'"),
    "unexpected_with_positional": ((KEY,), {"other": 1},
                                   "__cinit__() got an unexpected keyword argument 'other'"),
    "multiple": ((KEY,), {"key": KEY},
                 "__cinit__() got multiple values for keyword argument 'key'"),
}


@pytest.mark.parametrize("case", ARGUMENT_ERRORS)
def test_argument_errors(case):
    args, kwargs, message = ARGUMENT_ERRORS[case]
    with pytest.raises(TypeError) as info:
        TEA(*args, **kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == ["qulo._tea.TEA.__cinit__"]


@pytest.mark.parametrize("key", [KEY[:15], KEY + b"x", b"", None, bytearray(32), KEY[:1]],
                         ids=["15", "17", "empty", "None", "32", "1"])
def test_construction_refuses_other_lengths(key):
    with pytest.raises(AssertionError) as info:
        TEA(key)
    assert str(info.value) == BAD_LENGTH
    # The setter's entry below the constructor's.
    assert module_entries(info.value) == ["qulo._tea.TEA.__cinit__", "qulo._tea.TEA.key.__set__"]


# obj -> exception type, message (from the buffer conversion)
UNCONVERTIBLE = {
    "int": (16, TypeError, "a bytes-like object is required, not 'int'"),
    "str": ("x" * 16, TypeError, "a bytes-like object is required, not 'str'"),
    "signed": (array.array("b", bytes(16)), ValueError,
               "Buffer dtype mismatch, expected 'const uint8_t' but got 'signed char'"),
    "words": (array.array("I", bytes(16)), ValueError,
              "Buffer dtype mismatch, expected 'const uint8_t' but got 'unsigned int'"),
    "two_dimensional": (memoryview(bytearray(16)).cast("B", (4, 4)), ValueError,
                        "Buffer has wrong number of dimensions (expected 1, got 2)"),
}


@pytest.mark.parametrize("case", UNCONVERTIBLE)
def test_construction_refuses_unconvertible_keys(case):
    obj, exc_type, message = UNCONVERTIBLE[case]
    with pytest.raises(exc_type) as info:
        TEA(obj)
    assert str(info.value) == message
    assert module_entries(info.value)[0] == "qulo._tea.TEA.__cinit__"


def test_strided_key_is_refused_by_the_memoryview_itself():
    with pytest.raises(BufferError, match="not C-contiguous"):
        TEA(memoryview(bytearray(32))[::2])


# ---- the key property ------------------------------------------------------


def test_each_read_of_key_is_a_new_bytes_object():
    tea = TEA(KEY)
    first, second = tea.key, tea.key
    assert type(first) is bytes and first == second == KEY
    assert first is not second


@pytest.mark.parametrize("key", [KEY, OTHER, bytes(range(16)), bytes(range(255, 239, -1))])
def test_key_words_are_read_big_endian(key):
    tea = TEA(key)
    assert tea.encrypt_qq(TEXT) == oracle.encrypt(key, TEXT)
    # The host-order methods read the key the same way.
    assert tea.encrypt(TEXT, SUMS) == oracle.encrypt(key, TEXT, SUMS)
    assert tea.encrypt_native_endian(TEXT, SUMS) == oracle.encrypt(key, TEXT, SUMS, native=True)


@pytest.mark.parametrize("position", [0, 3, 4, 11, 15])
def test_a_single_key_byte_lands_in_its_word(position):
    key = bytearray(16)
    key[position] = 0x80
    tea = TEA(key)
    assert tea.key == key
    assert tea.encrypt_qq(TEXT) == oracle.encrypt(bytes(key), TEXT)
    # The same byte in the little-endian slot of that word is another key.
    swapped = bytearray(16)
    word = position // 4 * 4
    swapped[word + 3 - position % 4] = 0x80
    assert TEA(swapped).encrypt_qq(TEXT) != tea.encrypt_qq(TEXT)


def test_assigning_a_key_changes_every_method_and_back():
    tea = TEA(KEY)
    before = [tea.encrypt_qq(TEXT), tea.encrypt(TEXT, SUMS), tea.encrypt_native_endian(TEXT, SUMS)]
    tea.key = bytearray(OTHER)
    assert tea.key == OTHER
    assert [tea.encrypt_qq(TEXT), tea.encrypt(TEXT, SUMS),
            tea.encrypt_native_endian(TEXT, SUMS)] == [
        oracle.encrypt(OTHER, TEXT), oracle.encrypt(OTHER, TEXT, SUMS),
        oracle.encrypt(OTHER, TEXT, SUMS, native=True)]
    tea.key = memoryview(KEY)
    assert [tea.encrypt_qq(TEXT), tea.encrypt(TEXT, SUMS),
            tea.encrypt_native_endian(TEXT, SUMS)] == before


# value -> exception type, message
BAD_ASSIGNMENTS = {
    "15 bytes": (KEY[:15], AssertionError, BAD_LENGTH),
    "17 bytes": (KEY + b"x", AssertionError, BAD_LENGTH),
    "None": (None, AssertionError, BAD_LENGTH),
    **{name: row for name, row in UNCONVERTIBLE.items()},
}


@pytest.mark.parametrize("case", BAD_ASSIGNMENTS)
def test_failed_assignment_keeps_the_old_key(case):
    value, exc_type, message = BAD_ASSIGNMENTS[case]
    tea = TEA(KEY)
    before = tea.encrypt_qq(TEXT)
    with pytest.raises(exc_type) as info:
        tea.key = value
    assert str(info.value) == message
    assert module_entries(info.value) == ["qulo._tea.TEA.key.__set__"]
    assert tea.key == KEY
    assert tea.encrypt_qq(TEXT) == before


def test_key_cannot_be_deleted():
    tea = TEA(KEY)
    with pytest.raises(NotImplementedError) as info:
        del tea.key
    assert str(info.value) == "__del__"
    assert module_entries(info.value) == ["qulo._tea.TEA.key.__set__"]
    assert tea.key == KEY


# ---- no pickling, no copying -----------------------------------------------

COPIES = {
    **{f"pickle_{p}": (lambda p: lambda t: pickle.dumps(t, protocol=p))(p)
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "deepcopy_in_list": lambda t: copy.deepcopy([t]),
    "reduce": lambda t: t.__reduce__(),
    "reduce_ex": lambda t: t.__reduce_ex__(2),
    "setstate": lambda t: t.__setstate__(KEY),
    "setstate_keyword": lambda t: t.__setstate__(state=None),
}


@pytest.mark.parametrize("how", COPIES)
def test_pickling_and_copying_are_refused(how):
    tea = TEA(KEY)
    with pytest.raises(TypeError) as info:
        COPIES[how](tea)
    assert str(info.value) == REFUSAL
    assert tea.key == KEY


# call -> message, traceback entry
REFUSER_ARGUMENT_ERRORS = {
    "reduce_positional": (lambda t: t.__reduce__(1),
                          "__reduce__() takes exactly 0 positional arguments (1 given)"),
    "reduce_keyword": (lambda t: t.__reduce__(protocol=2),
                       "__reduce__() got an unexpected keyword argument 'protocol'"),
    "setstate_none": (lambda t: t.__setstate__(),
                      "__setstate__() takes exactly 1 positional argument (0 given)"),
    "setstate_two": (lambda t: t.__setstate__(1, 2),
                     "__setstate__() takes exactly 1 positional argument (2 given)"),
    "setstate_unexpected": (lambda t: t.__setstate__(status=1),
                            "__setstate__() got an unexpected keyword argument 'status'"),
    "setstate_multiple": (lambda t: t.__setstate__(1, state=1),
                          "__setstate__() got multiple values for keyword argument 'state'"),
}


@pytest.mark.parametrize("case", REFUSER_ARGUMENT_ERRORS)
def test_refusers_bind_their_arguments(case):
    call, message = REFUSER_ARGUMENT_ERRORS[case]
    with pytest.raises(TypeError) as info:
        call(TEA(KEY))
    assert str(info.value) == message
    name = "__reduce__" if case.startswith("reduce") else "__setstate__"
    assert module_entries(info.value) == [f"qulo._tea.TEA.{name}"]


def test_refusal_entries_are_named_after_the_refusers():
    tea = TEA(KEY)
    for name, call in [("__reduce__", tea.__reduce__), ("__setstate__", lambda: tea.__setstate__(0))]:
        with pytest.raises(TypeError) as info:
            call()
        assert module_entries(info.value) == [f"qulo._tea.TEA.{name}"]


# ---- the object's shape ----------------------------------------------------


def test_type_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (TEA,), {})


def test_no_attribute_dictionary():
    tea = TEA(KEY)
    assert not hasattr(tea, "__dict__")
    with pytest.raises(AttributeError):
        tea.extra = 1
    with pytest.raises(AttributeError):
        tea.encrypt_qq = None
    with pytest.raises(AttributeError):
        del tea.encrypt_qq
    assert tea.encrypt_qq(TEXT) == oracle.encrypt(KEY, TEXT)


def test_no_weak_references():
    with pytest.raises(TypeError):
        weakref.ref(TEA(KEY))


def test_not_tracked_by_the_cyclic_collector():
    assert not gc.is_tracked(TEA(KEY))


def test_type_is_named_and_has_no_init_or_docstring():
    assert TEA.__module__ == "qulo._tea"
    assert TEA.__qualname__ == "TEA"
    assert TEA.__doc__ is None
    assert "__init__" not in vars(TEA)
    assert TEA.key.__doc__ is None


# ---- the free list ---------------------------------------------------------


def release_in_order(objects):
    # A list drops its items last first; release them first to last instead.
    for i in range(len(objects)):
        objects[i] = None


@pytest.mark.parametrize("count", [1, 8, 9, 20])
def test_released_objects_are_reused_last_in_first_out(count):
    old = [TEA(KEY) for _ in range(count)]
    addresses = [id(t) for t in old]
    release_in_order(old)
    new = [TEA(OTHER) for _ in range(count)]
    # The free list keeps the first eight released; the last of those
    # comes back first.
    kept = addresses[:8]
    assert [id(t) for t in new[:len(kept)]] == kept[::-1]
    for tea in new:
        assert tea.key == OTHER
        assert tea.encrypt_qq(TEXT) == oracle.encrypt(OTHER, TEXT)


def test_refused_construction_returns_its_object_and_leaks_no_key():
    old = [TEA(KEY) for _ in range(8)]
    release_in_order(old)
    for bad in (KEY[:15], None, 5, array.array("b", KEY)):
        with pytest.raises((AssertionError, TypeError, ValueError)):
            TEA(bad)
    new = [TEA(OTHER) for _ in range(12)]
    assert all(t.key == OTHER for t in new)
    assert all(t.encrypt_qq(TEXT) == oracle.encrypt(OTHER, TEXT) for t in new)


def test_many_short_lived_objects():
    keys = [bytes([i]) * 16 for i in range(64)]
    for key in keys:
        assert TEA(key).key == key
    alive = [TEA(key) for key in keys]
    assert [t.key for t in alive] == keys


# ---- with assertions off ---------------------------------------------------

OPTIMISED_CHILD = textwrap.dedent("""
    import json
    from qulo import TEA

    key20 = bytes(range(1, 21))
    result = {"debug": __debug__}
    tea = TEA(key20)
    result["key"] = tea.key.hex()
    result["same_as_16"] = tea.encrypt_qq(b"text") == TEA(key20[:16]).encrypt_qq(b"text")
    tea.key = bytes(range(40, 64))
    result["set_key"] = tea.key.hex()

    def refusal(call):
        try:
            call()
        except Exception as exc:
            return [type(exc).__name__, str(exc)]
        return None

    def assign(value):
        tea.key = value

    for name, value in [("short", key20[:15]), ("empty", b""), ("none", None)]:
        result["new_" + name] = refusal(lambda: TEA(value))
        result["set_" + name] = refusal(lambda: assign(value))
    result["kept_key"] = tea.key.hex()
    print(json.dumps(result))
""")


def test_optimised_interpreter_skips_the_length_assertion(tmp_path):
    # Run outside the source tree so that the installed package is imported.
    done = subprocess.run([sys.executable, "-O", "-c", OPTIMISED_CHILD], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    refused = ["ValueError", BAD_LENGTH]
    assert result == {
        "debug": False,
        "key": bytes(range(1, 17)).hex(),
        "same_as_16": True,
        "set_key": bytes(range(40, 56)).hex(),
        "new_short": refused, "set_short": refused,
        "new_empty": refused, "set_empty": refused,
        "new_none": refused, "set_none": refused,
        "kept_key": bytes(range(40, 56)).hex(),
    }
