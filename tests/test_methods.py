"""The twelve cipher methods of qulo._tea.TEA and their C-level table."""

import array
import ctypes
import itertools
import random
import threading

import pytest

import capsules
import oracle
from helpers import traceback_names
from qulo._tea import TEA, encrypt_len

KEY = bytes.fromhex("00112233445566778899aabbccddeeff")
KEYS = [KEY, bytes(16), bytes(range(0xF0, 0x100))]
TABLE = bytes(random.Random(99).getrandbits(8) for _ in range(64))
STANDARD = oracle.standard_sumtable()
LENGTHS = range(71)


class Op:
    """One operation pair: its method names, whether it takes a sum table, its byte order."""

    def __init__(self, suffix, sums, native):
        self.suffix, self.sums, self.native = suffix, sums, native
        self.encrypt, self.decrypt = "encrypt" + suffix, "decrypt" + suffix

    def args(self, name, text, out=None, sums=None):
        """Positional arguments of method `name` in argument order."""
        args = [text]
        if not name.endswith(("_qq", "_qq_into")):
            args.append(self.sums if sums is None else sums)
        if name.endswith("_into"):
            args.append(out)
        return args

    def call(self, tea, name, text, out=None, sums=None):
        return getattr(tea, name)(*self.args(name, text, out, sums))

    def model_encrypt(self, key, text):
        return oracle.encrypt(key, text, self.sums if self.suffix != "_qq" else None, self.native)

    def model_decrypt(self, key, data):
        return oracle.decrypt(key, data, self.sums if self.suffix != "_qq" else None, self.native)

    def model_leftovers(self, key, data):
        return oracle.decrypt_leftovers(key, data, self.sums if self.suffix != "_qq" else None,
                                        self.native)

    def __repr__(self):
        return self.suffix or "table"


OPS = [Op("_qq", None, False), Op("", TABLE, False), Op("_native_endian", TABLE, True)]
OP_IDS = ["qq", "table", "native_endian"]
METHODS = capsules.METHOD_ORDER
INTO = [m for m in METHODS if m.endswith("_into")]
TABLE_METHODS = [m for m in METHODS if "_qq" not in m]


def op_of(method):
    for op in OPS[1:]:
        if method.removesuffix("_into") in (op.encrypt, op.decrypt):
            return op
    return OPS[0]


def text_of(n, seed=0):
    rng = random.Random(n * 1000 + seed)
    return bytes(rng.getrandbits(8) for _ in range(n))


def fill_seven_ciphertext(op, key):
    """A 16-byte ciphertext whose decrypted header byte has low bits 7."""
    rng = random.Random(3)
    while True:
        data = bytes(rng.getrandbits(8) for _ in range(16))
        if op.model_decrypt(key, data) is None:
            return data


# ---- results against the model ----------------------------------------------------


@pytest.mark.parametrize("key", KEYS, ids=["counting", "zero", "high"])
@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
def test_round_trips_of_every_form_against_the_model(op, key):
    tea = TEA(key)
    for n in LENGTHS:
        text = text_of(n)
        expected = op.model_encrypt(key, text)
        size = encrypt_len(n)
        ciphertext = op.call(tea, op.encrypt, text)
        assert type(ciphertext) is bytes and ciphertext == expected, n
        assert len(ciphertext) == size

        out = bytearray(b"\xee" * size)
        result = op.call(tea, op.encrypt + "_into", text, out)
        assert type(result) is int and result == size
        assert out == expected

        plain = op.call(tea, op.decrypt, ciphertext)
        assert type(plain) is bytes and plain == text

        out = bytearray(b"\xdd" * (size + 5))
        result = op.call(tea, op.decrypt + "_into", ciphertext, out)
        assert type(result) is int and result == n
        assert out == op.model_leftovers(key, ciphertext) + b"\xdd" * 5


@pytest.mark.no_valgrind(reason="the pure-Python model runs fifty times slower under memcheck")
@pytest.mark.parametrize("n", [1000, 65536 + 5])
@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
def test_large_round_trips_against_the_model(op, n):
    tea = TEA(KEY)
    text = text_of(n)
    expected = op.model_encrypt(KEY, text)
    assert op.call(tea, op.encrypt, text) == expected
    assert op.call(tea, op.decrypt, expected) == text
    inplace = bytearray(expected)
    assert op.call(tea, op.decrypt + "_into", inplace, inplace) == n
    assert inplace == op.model_leftovers(KEY, expected)


@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
def test_decryption_of_arbitrary_ciphertexts_against_the_model(op):
    tea = TEA(KEY)
    rng = random.Random(11)
    for size in range(24, 160, 8):
        data = bytes(rng.getrandbits(8) for _ in range(size))
        assert op.call(tea, op.decrypt, data) == op.model_decrypt(KEY, data)


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, lambda b: array.array("B", b)],
                         ids=["bytes", "bytearray", "memoryview", "array"])
def test_text_may_be_any_byte_buffer(tea, kind):
    text = text_of(30)
    assert tea.encrypt_qq(kind(text)) == oracle.encrypt(KEY, text)
    assert tea.decrypt_qq(kind(oracle.encrypt(KEY, text))) == text


def test_standard_sums_in_host_order_equal_the_qq_operations(tea):
    for n in (0, 6, 7, 33):
        text = text_of(n)
        ciphertext = tea.encrypt_qq(text)
        assert tea.encrypt(text, STANDARD) == ciphertext
        assert tea.decrypt(ciphertext, STANDARD) == text
        a, b = bytearray(56), bytearray(56)
        assert tea.encrypt_into(text, STANDARD, a) == tea.encrypt_qq_into(text, b)
        assert a == b


def test_sum_table_and_byte_order_change_the_ciphertext(tea):
    text = text_of(20)
    results = {tea.encrypt_qq(text), tea.encrypt(text, TABLE),
               tea.encrypt_native_endian(text, TABLE), tea.encrypt_native_endian(text, STANDARD)}
    assert len(results) == 4


# ---- method objects ------------------------------------------------------------------


DOCS = {
    "encrypt_qq": "TEA.encrypt_qq(self, const uint8_t[::1] text) -> bytes",
    "encrypt_qq_into": "TEA.encrypt_qq_into(self, const uint8_t[::1] text, uint8_t[::1] out) "
                       "-> int64_t",
    "encrypt": "TEA.encrypt(self, const uint8_t[::1] text, const uint8_t[::1] sumtable) -> bytes",
    "encrypt_into": "TEA.encrypt_into(self, const uint8_t[::1] text, const uint8_t[::1] "
                    "sumtable, uint8_t[::1] out) -> int64_t",
    "encrypt_native_endian": "TEA.encrypt_native_endian(self, const uint8_t[::1] text, "
                             "const uint8_t[::1] sumtable) -> bytes",
    "encrypt_native_endian_into": "TEA.encrypt_native_endian_into(self, const uint8_t[::1] "
                                  "text, const uint8_t[::1] sumtable, uint8_t[::1] out) "
                                  "-> int64_t",
    "decrypt_qq": "TEA.decrypt_qq(self, const uint8_t[::1] text) -> bytes",
    "decrypt_qq_into": "TEA.decrypt_qq_into(self, const uint8_t[::1] text, uint8_t[::1] out) "
                       "-> int64_t",
    "decrypt": "TEA.decrypt(self, const uint8_t[::1] text, const uint8_t[::1] sumtable) -> bytes",
    "decrypt_into": "TEA.decrypt_into(self, const uint8_t[::1] text, const uint8_t[::1] "
                    "sumtable, uint8_t[::1] out) -> int64_t",
    "decrypt_native_endian": "TEA.decrypt_native_endian(self, const uint8_t[::1] text, "
                             "const uint8_t[::1] sumtable) -> bytes",
    "decrypt_native_endian_into": "TEA.decrypt_native_endian_into(self, const uint8_t[::1] "
                                  "text, const uint8_t[::1] sumtable, uint8_t[::1] out) "
                                  "-> int64_t",
}


@pytest.mark.parametrize("name", METHODS)
def test_method_attributes(tea, name):
    function = TEA.__dict__[name]
    assert (function.__name__, function.__qualname__, function.__module__, function.__doc__) == (
        name, "TEA." + name, "qulo._tea", DOCS[name])
    bound = getattr(tea, name)
    assert bound.__self__ is tea and bound.__func__ is function


def test_methods_sit_in_the_type_dictionary_in_table_order():
    assert [n for n in TEA.__dict__ if n in DOCS] == list(METHODS)


# ---- the _into contracts ------------------------------------------------------------------


@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
@pytest.mark.parametrize("n", [0, 6, 7, 14, 15, 40])
def test_encryption_into_needs_exactly_the_ciphertext_length(tea, op, n):
    text = text_of(n)
    size = encrypt_len(n)
    name = op.encrypt + "_into"
    short = bytearray(b"\x99" * (size - 1))
    with pytest.raises(ValueError) as info:
        op.call(tea, name, text, short)
    assert str(info.value) == "output buffer is too small"
    assert short == b"\x99" * (size - 1)
    dirty = bytearray(b"\x99" * (size + 17))
    assert op.call(tea, name, text, dirty) == size
    assert dirty == op.call(tea, op.encrypt, text) + bytes(17)


@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
@pytest.mark.parametrize("n", [0, 7, 30])
def test_decryption_into_needs_the_whole_ciphertext_length(tea, op, n):
    ciphertext = op.call(tea, op.encrypt, text_of(n))
    short = bytearray(b"\x99" * (len(ciphertext) - 1))  # the plaintext alone would fit
    with pytest.raises(ValueError) as info:
        op.call(tea, op.decrypt + "_into", ciphertext, short)
    assert str(info.value) == "output buffer is too small"
    assert short == b"\x99" * (len(ciphertext) - 1)


@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
@pytest.mark.parametrize("n", [0, 1, 6, 7, 29, 70])
def test_decryption_in_place_with_one_buffer(tea, op, n):
    text = text_of(n)
    ciphertext = op.call(tea, op.encrypt, text)
    buffer = bytearray(ciphertext)
    assert op.call(tea, op.decrypt + "_into", buffer, buffer) == n
    assert buffer[:n] == text
    assert buffer == op.model_leftovers(KEY, ciphertext)
    view = memoryview(bytearray(ciphertext) + b"tail")
    assert op.call(tea, op.decrypt + "_into", view[:len(ciphertext)], view) == n
    assert bytes(view[:n]) == text and bytes(view[-4:]) == b"tail"


@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
@pytest.mark.parametrize("n, offset", [(0, 0), (5, 0), (5, 3), (5, 8), (5, 11), (40, 0),
                                       (40, 7), (40, 10), (40, 12), (40, 25)])
def test_encryption_of_a_text_inside_out_gives_the_ciphertext_of_the_text(tea, op, n, offset):
    text = text_of(n, seed=5)
    size = encrypt_len(n)
    buffer = bytearray(b"\x3c" * max(size, offset + n) + b"\x3c" * 3)
    buffer[offset:offset + n] = text
    view = memoryview(buffer)
    assert op.call(tea, op.encrypt + "_into", view[offset:offset + n], buffer) == size
    view.release()
    assert buffer[:size] == op.model_encrypt(KEY, text)
    assert not any(buffer[size:])


# ---- arguments ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", INTO)
def test_keywords_in_any_order(tea, name):
    op = op_of(name)
    decrypting = name.startswith("decrypt")
    text = op.call(tea, op.encrypt, b"keyword order") if decrypting else b"keyword order"
    size = len(text) if decrypting else encrypt_len(len(text))
    reference = bytearray(size)
    expected = op.call(tea, name, text, reference)
    params = ["text", "sumtable", "out"] if len(op.args(name, text)) == 3 else ["text", "out"]
    for split in range(len(params)):
        for order in itertools.permutations(params[split:]):
            out = bytearray(size)
            values = dict(zip(params, op.args(name, text, out)))
            positional = [values[p] for p in params[:split]]
            assert getattr(tea, name)(*positional, **{p: values[p] for p in order}) == expected
            assert out == reference, (split, order)


class Name(str):
    pass


def test_keywords_may_be_str_subclasses_and_uninterned_strings(tea):
    text = b"named"
    out = bytearray(24)
    assert tea.encrypt_into(**{Name("text"): text, "".join(["sum", "table"]): TABLE,
                               Name("out"): out}) == 16
    assert bytes(out[:16]) == tea.encrypt(text, TABLE)


O = bytearray(64)


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("encrypt_qq", (), {}, "encrypt_qq() takes exactly 1 positional argument (0 given)"),
    ("encrypt_qq", (b"", b""), {}, "encrypt_qq() takes exactly 1 positional argument (2 given)"),
    ("decrypt_qq", (b"", b""), {"text": b""},
     "decrypt_qq() takes exactly 1 positional argument (2 given)"),
    ("encrypt_qq_into", (b"",), {},
     "encrypt_qq_into() takes exactly 2 positional arguments (1 given)"),
    ("encrypt_qq_into", (), {"out": O},
     "encrypt_qq_into() takes exactly 2 positional arguments (0 given)"),
    ("encrypt", (b"",), {}, "encrypt() takes exactly 2 positional arguments (1 given)"),
    ("decrypt_native_endian", (), {"sumtable": TABLE},
     "decrypt_native_endian() takes exactly 2 positional arguments (0 given)"),
    ("encrypt_into", (), {"text": b"", "out": O},
     "encrypt_into() takes exactly 3 positional arguments (1 given)"),
    ("encrypt_into", (), {"out": O, "text": b""},
     "encrypt_into() takes exactly 3 positional arguments (1 given)"),
    ("encrypt_into", (), {"sumtable": TABLE, "out": O},
     "encrypt_into() takes exactly 3 positional arguments (0 given)"),
    ("encrypt_into", (), {"text": b"", "sumtable": TABLE},
     "encrypt_into() takes exactly 3 positional arguments (2 given)"),
    ("decrypt_into", (b"", TABLE), {},
     "decrypt_into() takes exactly 3 positional arguments (2 given)"),
    ("decrypt_into", (b"", TABLE, O, O), {},
     "decrypt_into() takes exactly 3 positional arguments (4 given)"),
    ("decrypt_into", (b"", TABLE, O, O), {"out": O},
     "decrypt_into() takes exactly 3 positional arguments (4 given)"),
    ("encrypt_qq", (b"",), {"text": b""},
     "encrypt_qq() got multiple values for keyword argument 'text'"),
    ("encrypt_native_endian_into", (b"", TABLE), {"sumtable": TABLE, "out": O},
     "encrypt_native_endian_into() got multiple values for keyword argument 'sumtable'"),
    ("encrypt_qq", (b"",), {"out": O}, "encrypt_qq() got an unexpected keyword argument 'out'"),
    ("encrypt_qq_into", (), {"text": b"", "sumtable": TABLE, "out": O},
     "encrypt_qq_into() got an unexpected keyword argument 'sumtable'"),
    ("decrypt", (), {"text": b"", "sumtable": TABLE, "out": O},
     "decrypt() got an unexpected keyword argument 'out'"),
    ("decrypt_qq", (), {"txt": b""}, "decrypt_qq() got an unexpected keyword argument 'txt'"),
    ("encrypt_qq", (), {"self": b""}, "encrypt_qq() got an unexpected keyword argument 'self'"),
])
def test_argument_binding_errors(tea, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(tea, name)(*args, **kwargs)
    assert str(info.value) == message
    assert traceback_names(info.value).count("qulo._tea.TEA." + name) == 1


@pytest.mark.parametrize("name", ["encrypt_qq", "decrypt_into"])
def test_a_keyword_that_is_not_a_string_is_refused(tea, name):
    # Only a compiled caller can pass such a keyword: the interpreter refuses
    # it in f(**{1: x}) before the call.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    args = (ctypes.py_object * 3)(tea, b"", b"")
    with pytest.raises(TypeError) as info:
        vectorcall(TEA.__dict__[name], args, 2, (1,))
    assert str(info.value) == f"{name}() keywords must be strings"


@pytest.mark.parametrize("name", METHODS)
def test_methods_called_through_the_type_refuse_other_objects(name):
    for self in (object(), None, b"\x00" * 64, bytearray(64)):
        with pytest.raises(TypeError) as info:
            getattr(TEA, name)(self, b"", TABLE, O)
        assert name in str(info.value) and "qulo._tea.TEA" in str(info.value)
    with pytest.raises(TypeError) as info:
        getattr(TEA, name)()
    assert name in str(info.value) and "qulo._tea.TEA" in str(info.value)


def test_methods_called_through_the_type_with_a_tea_object_work(tea):
    assert TEA.encrypt_qq(tea, b"abc") == tea.encrypt_qq(b"abc")


# ---- None and failures ----------------------------------------------------------------------


def test_none_for_each_argument(tea):
    assert tea.encrypt_qq(None) == tea.encrypt_qq(b"") == oracle.encrypt(KEY, b"")
    out = bytearray(16)
    assert tea.encrypt_native_endian_into(None, TABLE, out) == 16
    assert out == oracle.encrypt(KEY, b"", TABLE, True)
    for name in TABLE_METHODS:
        args = [b"", None] + ([bytearray(64)] if name.endswith("_into") else [])
        with pytest.raises(AssertionError) as info:
            getattr(tea, name)(*args)
        assert str(info.value) == "sum table must be 64 bytes len"
    for name in ("encrypt_qq_into", "encrypt_into", "encrypt_native_endian_into"):
        args = op_of(name).args(name, b"", None)
        with pytest.raises(ValueError) as info:
            getattr(tea, name)(*args)
        assert str(info.value) == "output buffer is too small"
    for name in ("decrypt_qq", "decrypt", "decrypt_native_endian", "decrypt_qq_into",
                 "decrypt_into", "decrypt_native_endian_into"):
        args = op_of(name).args(name, None, None)  # 0 >= 0 passes the size check
        with pytest.raises(ValueError) as info:
            getattr(tea, name)(*args)
        assert str(info.value) == "encrypt wrong"


@pytest.mark.parametrize("name", [m for m in METHODS if m.startswith("decrypt")])
@pytest.mark.parametrize("size", [0, 8, 15, 17, 23, 31])
def test_decryption_refuses_impossible_lengths(tea, name, size):
    op = op_of(name)
    text = bytes(range(size))
    out = bytearray(b"\x42" * 40)
    with pytest.raises(ValueError) as info:
        op.call(tea, name, text, out)
    assert str(info.value) == "encrypt wrong"
    assert out == b"\x42" * 40


def test_empty_text_and_empty_out_pass_the_size_check_of_a_decryption(tea):
    with pytest.raises(ValueError) as info:
        tea.decrypt_qq_into(b"", bytearray())
    assert str(info.value) == "encrypt wrong"


@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
def test_fill_count_seven_fails_and_writes_nothing(tea, op):
    data = fill_seven_ciphertext(op, KEY)
    with pytest.raises(ValueError) as info:
        op.call(tea, op.decrypt, data)
    assert str(info.value) == "encrypt wrong"
    out = bytearray(b"\x42" * 24)
    with pytest.raises(ValueError):
        op.call(tea, op.decrypt + "_into", data, out)
    assert out == b"\x42" * 24
    buffer = bytearray(data)
    with pytest.raises(ValueError) as info:
        op.call(tea, op.decrypt + "_into", buffer, buffer)
    assert str(info.value) == "encrypt wrong"
    assert buffer == data


@pytest.mark.parametrize("name", TABLE_METHODS)
@pytest.mark.parametrize("table", [TABLE[:63], TABLE + b"\x00", None, b""],
                         ids=["63", "65", "None", "empty"])
def test_sum_table_of_another_size_fails_before_the_output_is_checked(tea, name, table):
    args = [b"\x00" * 16, table] + ([bytearray(0)] if name.endswith("_into") else [])
    with pytest.raises(AssertionError) as info:
        getattr(tea, name)(*args)
    assert str(info.value) == "sum table must be 64 bytes len"
    assert traceback_names(info.value).count("qulo._tea.TEA." + name) == 2


RO = b"read-only"


@pytest.mark.parametrize("name, args, error, message, entries", [
    # conversion, in argument order: the first that fails wins
    ("encrypt_qq", (12,), TypeError, None, 1),
    ("encrypt_into", (12, 12, RO), TypeError, None, 1),
    ("encrypt_into", (b"", 12, RO), TypeError, None, 1),
    ("encrypt_into", (b"", b"short", RO), BufferError, None, 1),
    ("decrypt_qq_into", (b"", memoryview(b"ro")), BufferError, None, 1),
    ("decrypt_qq", (array.array("I", [1, 2, 3, 4]),), ValueError,
     "Buffer dtype mismatch, expected 'const uint8_t' but got 'unsigned int'", 1),
    ("decrypt_qq_into", (bytes(16), array.array("b", bytes(16))), ValueError,
     "Buffer dtype mismatch, expected 'uint8_t' but got 'signed char'", 1),
    # checks after conversion
    ("encrypt_into", (b"", b"short", bytearray(64)), AssertionError,
     "sum table must be 64 bytes len", 2),
    ("encrypt_qq_into", (b"12345678", bytearray(23)), ValueError,
     "output buffer is too small", 2),
    ("decrypt_native_endian_into", (bytes(24), TABLE, bytearray(23)), ValueError,
     "output buffer is too small", 2),
    ("decrypt", (bytes(20), TABLE), ValueError, "encrypt wrong", 2),
    ("decrypt_qq_into", (bytes(8), bytearray(8)), ValueError, "encrypt wrong", 2),
])
def test_failure_table(tea, name, args, error, message, entries):
    args = [bytearray(a) if type(a) is bytes and a is not RO else a for a in args]
    with pytest.raises(error) as info:
        getattr(tea, name)(*args)
    if message is not None:
        assert str(info.value) == message
    assert traceback_names(info.value).count("qulo._tea.TEA." + name) == entries
    assert tea.key == KEY
    for a in args:  # every view was given back
        if isinstance(a, bytearray):
            a.append(0)
            a.pop()


def test_views_are_given_back_after_a_successful_call(tea):
    text, out = bytearray(b"abc"), bytearray(16)
    tea.encrypt_qq_into(text, out)
    text.extend(b"def")
    out.extend(bytes(8))
    assert tea.encrypt_qq_into(text, out) == 16


# ---- threads ---------------------------------------------------------------------------------


def test_threads_sharing_one_object_get_correct_results(tea):
    texts = [text_of(n, seed=t) for t in range(8) for n in (0, 7, 100, 1000)]
    expected = {t: (tea.encrypt_qq(t), tea.encrypt(t, TABLE), tea.encrypt_native_endian(t, TABLE))
                for t in texts}
    start = threading.Barrier(8)
    failures = []

    def work(index):
        start.wait()
        mine = texts[index * 4:(index + 1) * 4]
        for _ in range(50):
            for text in mine:
                qq, table, native = expected[text]
                out = bytearray(len(qq))
                got = (tea.encrypt_qq(text), tea.encrypt(text, TABLE),
                       tea.encrypt_native_endian(text, TABLE))
                tea.encrypt_qq_into(text, out)
                back = (tea.decrypt_qq(qq), tea.decrypt(table, TABLE),
                        tea.decrypt_native_endian(native, TABLE))
                if got != (qq, table, native) or out != qq or back != (text,) * 3:
                    failures.append((index, len(text)))
                    return

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.no_valgrind(reason="memcheck runs one thread at a time")
def test_a_long_encryption_lets_other_threads_run_python_code(tea):
    # The last block of a zero text is all zeros once the padded text is laid
    # out, and turns into ciphertext only at the very end of the call. Before
    # the call it holds 0xFF. So each time the other thread sees zeros there,
    # it ran Python code while the encryption was in progress.
    text = bytes(32 << 20)
    out = bytearray(b"\xff") * encrypt_len(len(text))
    zeros = bytes(8)
    ready = threading.Event()
    finished = False
    seen_during_call = 0

    def watch():
        nonlocal seen_during_call
        ready.set()
        while not finished:
            if out[-8:] == zeros:
                seen_during_call += 1

    watcher = threading.Thread(target=watch)
    watcher.start()
    ready.wait()
    try:
        assert tea.encrypt_qq_into(text, out) == len(out)
    finally:
        finished = True
        watcher.join()
    assert out[-8:] != zeros
    assert seen_during_call > 0


# ---- the C-level method table ---------------------------------------------------------------


def test_method_table_capsule_is_unnamed():
    capsule = TEA.__dict__["__qulo_methods__"]
    assert capsules.capsule_name(capsule) is None
    assert capsules.capsule_is_valid(capsule, None)
    assert not capsules.capsule_is_valid(capsule, b"qulo.TEA")
    table = capsules.method_table(TEA)
    assert all(ctypes.cast(getattr(table, n), ctypes.c_void_p).value for n in METHODS)


@pytest.mark.parametrize("name", METHODS)
@pytest.mark.parametrize("n", [0, 5, 21])
def test_method_table_entries_do_what_the_methods_do(tea, name, n):
    op = op_of(name)
    text = text_of(n)
    if name.startswith("decrypt"):
        text = op.call(tea, op.encrypt, text)
    size = len(text) + 8 if name.startswith("decrypt") else encrypt_len(n) + 8
    out_c, out_py = bytearray(b"\x11" * size), bytearray(b"\x11" * size)
    expected = op.call(tea, name, text, out_py)
    got = capsules.call_method_entry(TEA, name, tea, *op.args(name, text, out_c))
    assert got == expected and type(got) is type(expected)
    assert out_c == out_py


def test_method_table_decrypts_in_place(tea):
    text = b"in place through the table"
    buffer = bytearray(tea.encrypt_qq(text))
    table = capsules.method_table(TEA)
    view = capsules.view_of(buffer)
    out = capsules.view_of(buffer, capsules.ByteView)
    assert table.decrypt_qq_into(tea, ctypes.byref(view), ctypes.byref(out)) == len(text)
    assert buffer[:len(text)] == text


def test_method_table_takes_views_of_none(tea):
    assert capsules.call_method_entry(TEA, "encrypt_qq", tea, None) == tea.encrypt_qq(b"")


@pytest.mark.parametrize("name, args, error, message", [
    ("encrypt_into", (b"x", TABLE[:63], bytearray(64)), AssertionError,
     "sum table must be 64 bytes len"),
    ("encrypt", (b"x", None), AssertionError, "sum table must be 64 bytes len"),
    ("encrypt_qq_into", (b"x", bytearray(15)), ValueError, "output buffer is too small"),
    ("decrypt_qq", (bytes(15),), ValueError, "encrypt wrong"),
    ("decrypt_native_endian_into", (bytes(17), TABLE, bytearray(24)), ValueError,
     "encrypt wrong"),
])
def test_method_table_entries_raise_like_the_methods(tea, name, args, error, message):
    with pytest.raises(error) as info:
        capsules.call_method_entry(TEA, name, tea, *args)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["encrypt_qq", "encrypt_into", "decrypt_qq_into", "decrypt"])
def test_method_table_entries_refuse_an_object_that_is_not_a_tea(name):
    args = op_of(name).args(name, bytes(16), bytearray(64))
    for self in (object(), b"\x00" * 64):
        with pytest.raises(TypeError) as info:
            capsules.call_method_entry(TEA, name, self, *args)
        assert "qulo._tea.TEA" in str(info.value)
