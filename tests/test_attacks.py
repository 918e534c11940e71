"""The modules under attack: hostile buffers and collections at every entry
point that takes them, Python code run while arguments are bound and
converted, outputs overlapping the text, a key replaced while another thread
encrypts, and allocation failures that must still name their function."""

import array
import dataclasses
import gc
import os
import random
import subprocess
import sys
import threading
import time
from collections.abc import Callable

import pytest

import capsules
import qulo
import qulo._tea as tea_module
from helpers import traceback_names
from qulo import _batch
from qulo._tea import TEA, encrypt_len
from test_byte_views import export, exporter_module  # noqa: F401 - the fixtures
from test_methods import OP_IDS, OPS, fill_seven_ciphertext

KEY = bytes(range(0x64, 0x74))
OTHER_KEY = bytes(range(0xF0, 0x100))
TEXT = b"attack at dawn"


# ---- hostile buffers and collections, at every entry point that takes them ---------------
#
# A row per place a byte buffer goes in, a column per hostile object. Each call gets a
# container [first, x, last]: `x` the hostile object in the row's role, `first` and `last`
# large messages that the container alone holds (one read before `x` is converted, one
# after). A new entry point joins by adding a row.

FIRST = random.Random(7).randbytes(1 << 20)  # large enough to be unmapped when freed
DATA = random.Random(8).randbytes(48)  # as a plaintext or as a ciphertext
SUMS = bytes(range(7, 71))
ROLE_DATA = {"data": DATA, "key": OTHER_KEY, "sumtable": SUMS, "out": bytearray(128)}


def fresh(data):
    """A new object with `data`'s bytes and type (bytes, or bytearray for `out`)."""
    return bytearray(data) if isinstance(data, bytearray) else bytes(bytearray(data))


class FreesItsHolders:
    """Empties every list and dict that holds it (or holds a tuple that holds it) when
    asked for its buffer, churns the allocator, then hands out its bytes."""

    def __init__(self, data):
        self.data = fresh(data)

    def __buffer__(self, flags):
        holders = gc.get_referrers(self)
        holders += [h for t in holders if isinstance(t, tuple) for h in gc.get_referrers(t)]
        for holder in holders:
            if isinstance(holder, (list, dict)):
                holder.clear()
        churn = [bytes([0x5A]) * len(FIRST) for _ in range(4)]  # reuses the freed memory
        del churn
        return memoryview(self.data)


def while_replaced(items, call):
    """call() while a second thread keeps replacing the items of `items` with copies."""
    def copy(x):
        return tuple(map(copy, x)) if isinstance(x, tuple) else \
            fresh(x) if isinstance(x, (bytes, bytearray)) else x

    def replace():
        while not stop.is_set():
            for i in range(len(items)):
                items[i] = copy(items[i])

    stop, replacer = threading.Event(), threading.Thread(target=replace)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    replacer.start()
    try:
        return call()
    finally:
        stop.set()
        replacer.join()
        sys.setswitchinterval(interval)


@dataclasses.dataclass
class Row:
    role: str
    call: Callable  # (TEA object, container) -> result
    prefix: str = ""  # put before a refusal's text
    contain: Callable = list  # the container of (first, x, last)


def method_row(name, role):
    params = ["text", "sumtable", "out"] if "_qq" not in name else ["text", "out"]
    params = params if name.endswith("_into") else params[:-1]

    def call(tea, items):
        values = {"text": DATA, "sumtable": SUMS, "out": bytearray(128)}
        values[{"data": "text"}.get(role, role)] = items[1]
        args = tuple(values[p] for p in params)
        result = getattr(tea, name)(*args)
        return (result, bytes(memoryview(args[-1]))) if name.endswith("_into") else result
    return call


def whole(context, data):
    return context.update(data) + context.finalize()


def into(context, data, out):
    n = context.update_into(data, out)
    return n, bytes(memoryview(out)), context.finalize()


def through_a_table(call, key, **kwargs):
    pa = pytest.importorskip("pyarrow")
    return call(key, pa.table({"v": [DATA]}), "v", **kwargs).column("v").to_pylist()


def through_polars(key):
    pl = pytest.importorskip("polars")
    import qulo.polars  # noqa: F401 - the namespace

    return pl.DataFrame({"v": [DATA]}).select(pl.col("v").qulo.encrypt(key)).item()


def through_duckdb(key, **kwargs):
    duckdb = pytest.importorskip("duckdb")
    pytest.importorskip("numpy")
    import qulo.duckdb

    with duckdb.connect() as con:
        qulo.duckdb.register(con, key, **kwargs)
        return con.sql("SELECT qq_decrypt(?)", params=[DATA]).fetchall()


E, D = qulo.Encryptor, qulo.Decryptor
ENTRY_POINTS = {
    "TEA()": Row("key", lambda t, items: TEA(items[1]).encrypt_qq(DATA)),
    "TEA.key =": Row("key", lambda t, items: (setattr(t, "key", items[1]), t.encrypt_qq(DATA))),
    **{f"TEA.{name} {role}": Row(role, method_row(name, role))
       for name in capsules.METHOD_ORDER
       for role in ["data", "sumtable", "out"]
       if (role != "sumtable" or "_qq" not in name) and (role != "out" or "_into" in name)},
    "encrypt_many message": Row("data", lambda t, items: qulo.encrypt_many(t, items), "message 1: "),
    "decrypt_many message": Row("data", lambda t, items: qulo.decrypt_many(t, items), "message 1: "),
    "encrypt_many key": Row("key", lambda t, items: qulo.encrypt_many(items[1], [DATA])),
    "decrypt_many sumtable": Row("sumtable",
                                 lambda t, items: qulo.decrypt_many(t, [DATA], sumtable=items[1])),
    "encrypt_columns key": Row("key", lambda t, items: through_a_table(qulo.encrypt_columns,
                                                                        items[1])),
    "decrypt_columns sumtable": Row("sumtable", lambda t, items: through_a_table(
        qulo.decrypt_columns, t, sumtable=items[1])),
    "polars expression key": Row("key", lambda t, items: through_polars(items[1])),
    "duckdb.register sumtable": Row("sumtable",
                                    lambda t, items: through_duckdb(t, sumtable=items[1])),
    "Encryptor key": Row("key", lambda t, items: whole(E(items[1], 48), DATA)),
    "Encryptor sumtable": Row("sumtable", lambda t, items: whole(E(t, 48, sumtable=items[1]), DATA)),
    "Decryptor key": Row("key", lambda t, items: whole(D(items[1]), DATA)),
    "Decryptor sumtable": Row("sumtable", lambda t, items: whole(D(t, sumtable=items[1]), DATA)),
    "Encryptor.update": Row("data", lambda t, items: whole(E(t, 48), items[1])),
    "Decryptor.update": Row("data", lambda t, items: whole(D(t), items[1])),
    "Encryptor.update_into data": Row("data", lambda t, items: into(E(t, 48), items[1],
                                                                   bytearray(128))),
    "Decryptor.update_into data": Row("data", lambda t, items: into(D(t), items[1],
                                                                   bytearray(128))),
    "Encryptor.update_into out": Row("out", lambda t, items: into(E(t, 48), DATA, items[1])),
    "Decryptor.update_into out": Row("out", lambda t, items: into(D(t), DATA, items[1])),
}


def run_row(row, x):
    """The row's call with `x` in its role, between two large messages."""
    entry = ENTRY_POINTS[row]
    items = entry.contain((fresh(FIRST), x, fresh(FIRST)))
    return items, lambda: entry.call(TEA(KEY), items)


# Python objects that change or free what the call walks: the call gives what it gives
# with plain bytes.
@pytest.mark.parametrize("column", ["frees its holders", "replaced meanwhile"])
@pytest.mark.parametrize("row", ENTRY_POINTS)
def test_hostile_objects(row, column):
    data = ROLE_DATA[ENTRY_POINTS[row].role]
    want = run_row(row, fresh(data))[1]()
    if column == "frees its holders":
        assert run_row(row, FreesItsHolders(data))[1]() == want
    else:
        items, call = run_row(row, fresh(data))
        assert while_replaced(items, call) == want


# Exporters that describe other memory than they hand out: column -> (exporter arguments
# for the data, the ValueError's text).
LYING = {
    "shape beyond len": (lambda d: dict(shape=(len(d) + 8,), length=len(d)),
                         "Buffer shape and length disagree (shape[0] is {0}, len is {1})"),
    "strided": (lambda d: dict(data=d * 2, shape=(len(d),), strides=(2,)),
                "Buffer and memoryview are not contiguous in the same dimension."),
    "indirect": (lambda d: dict(strides=(1,), suboffsets=(0,)),
                 "Buffer not compatible with direct access in dimension 0."),
    "negative len": (lambda d: dict(shape=None, length=-8), "Buffer length is negative (len is -8)"),
}


@pytest.mark.parametrize("column", LYING)
@pytest.mark.parametrize("row", ENTRY_POINTS)
def test_lying_exporters(export, row, column):  # noqa: F811 - the fixture
    data = ROLE_DATA[ENTRY_POINTS[row].role]
    arguments, message = LYING[column]
    exporter = export(**{"data": data, "readonly": type(data) is bytes, **arguments(data)})
    with pytest.raises(ValueError) as refused:
        run_row(row, exporter)[1]()
    assert str(refused.value) == ENTRY_POINTS[row].prefix + message.format(len(data) + 8, len(data))
    assert exporter.exports == 0


@pytest.mark.skipif(os.environ.get("PYTHONMALLOC") in ("debug", "malloc"),
                    reason="this run's allocator already checks the table")
def test_hostile_objects_under_the_debug_allocator():
    # Freed memory is overwritten and guarded there: a message read after it was
    # freed gives other bytes instead of, by luck, the same.
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         f"{__file__}::test_hostile_objects"],
        env={**os.environ, "PYTHONMALLOC": "debug"}, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]


# ---- hostile lengths where a length is the argument ---------------------------------------

class IndexRaises:
    def __index__(self):
        raise KeyError("from __index__")


@pytest.mark.parametrize("n, raised", [(2 ** 63, OverflowError), (2 ** 63 - 1, OverflowError),
                                       ("16", TypeError), (IndexRaises(), KeyError)],
                         ids=["2**63", "2**63-1", "str", "__index__"])
@pytest.mark.parametrize("ask", [qulo.Encryptor.max_output, qulo.Decryptor.max_output,
                                 qulo.Decryptor.check_length], ids=["Encryptor", "Decryptor", "check_length"])
def test_lengths_asked_refuse_what_is_no_64_bit_length(ask, n, raised):
    with pytest.raises(raised):
        ask(n)


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


# ---- Arrow producers that misbehave ---------------------------------------------------------


def _pa():
    return pytest.importorskip("pyarrow")


class Producer:
    """An Arrow column whose capsule methods do what `kind` says."""

    def __init__(self, kind):
        self.kind = kind

    def __arrow_c_array__(self, requested_schema=None):
        return getattr(self, f"_{self.kind}")()

    def _raises(self):
        raise KeyError("the producer's own")

    def _not_a_tuple(self):
        return b"capsules"

    def _swapped(self):
        schema, array = _pa().array([DATA]).__arrow_c_array__()
        return array, schema

    def _spent(self):
        pair = _pa().array([DATA]).__arrow_c_array__()
        qulo.encrypt_many(TEA(KEY), _Pair(pair))  # takes the structs out of the capsules
        return pair


class _Pair:
    def __init__(self, pair):
        self.pair = pair

    def __arrow_c_array__(self, requested_schema=None):
        return self.pair


class StreamOf(Producer):
    def __arrow_c_stream__(self, requested_schema=None):
        return getattr(self, f"_{self.kind}")()

    def _wrong_capsule(self):
        return _pa().array([DATA]).__arrow_c_array__()[1]


PRODUCERS = {
    "__arrow_c_array__ raises": (Producer("raises"), KeyError, "the producer's own"),
    "__arrow_c_stream__ raises": (StreamOf("raises"), KeyError, "the producer's own"),
    "not a tuple": (Producer("not_a_tuple"), TypeError, "must give a \\(schema, array\\) tuple"),
    "capsules swapped": (Producer("swapped"), TypeError, 'PyCapsule named "arrow_schema"'),
    "capsules already taken": (Producer("spent"), ValueError, "already released"),
    "stream gives an array": (StreamOf("wrong_capsule"), TypeError,
                              'PyCapsule named "arrow_array_stream"'),
}


@pytest.mark.parametrize("call", [qulo.encrypt_many, qulo.decrypt_many],
                         ids=["encrypt_many", "decrypt_many"])
@pytest.mark.parametrize("row", PRODUCERS)
def test_misbehaving_arrow_producers(row, call):
    producer, kind, message = PRODUCERS[row]
    with pytest.raises(kind, match=message):
        call(TEA(KEY), producer)


# A table's producer goes through pyarrow's import, which says the same in its words.
TABLE_PRODUCERS = {
    "__arrow_c_array__ raises": (Producer("raises"), KeyError, "the producer's own"),
    "__arrow_c_stream__ raises": (StreamOf("raises"), KeyError, "the producer's own"),
    "capsules swapped": (Producer("swapped"), ValueError, "PyCapsule.*incorrect name"),
    "stream gives an array": (StreamOf("wrong_capsule"), ValueError, "PyCapsule.*incorrect name"),
}


@pytest.mark.parametrize("call", [qulo.encrypt_columns, qulo.decrypt_columns],
                         ids=["encrypt_columns", "decrypt_columns"])
@pytest.mark.parametrize("row", TABLE_PRODUCERS)
def test_misbehaving_table_producers(row, call):
    _pa()
    producer, kind, message = TABLE_PRODUCERS[row]
    with pytest.raises(kind, match=message):
        call(TEA(KEY), producer, "a")


# ---- results hold only what qulo wrote ------------------------------------------------------


def refused_texts(tea, count):
    """Ciphertexts refused whatever the check: 16 bytes whose header claims a fill of 7."""
    rng = random.Random(4)
    found = []
    while len(found) < count:
        text = rng.randbytes(16)
        try:
            tea.decrypt_qq(text)
        except ValueError:
            found.append(text)
    return found


@pytest.mark.parametrize("verify", [False, True], ids=["unchecked", "verified"])
@pytest.mark.parametrize("layout", ["binary", "large_binary", "binary_view"])
def test_a_column_with_refused_values_hands_out_only_its_values(layout, verify):
    # Refused values (their blocks, or the heap their room came from) must
    # leave nothing in the buffers: every data byte is a plaintext's.
    pa = _pa()
    tea = TEA(KEY)
    rng = random.Random(7)
    plain = [rng.randbytes(rng.randrange(40)) for _ in range(48)]
    wrong_key = TEA(OTHER_KEY).encrypt_qq(b"verification fails under this key")
    texts = [tea.encrypt_qq(p) for p in plain]
    mixed = [t for pair in zip(texts, refused_texts(tea, 48)) for t in pair]
    mixed[5] = wrong_key
    for values in (refused_texts(tea, 64), mixed):
        column = pa.array(values, getattr(pa, layout)())
        got = pa.array(qulo.decrypt_many(tea, column, errors="null", verify=verify))
        got.validate(full=True)
        want = [tea.decrypt_qq(v) if v in texts or not verify and v is wrong_key else None
                for v in values]
        assert got.to_pylist() == want
        kept = [w for w in want if w is not None and (layout != "binary_view" or len(w) > 12)]
        assert b"".join(b.to_pybytes() for b in got.buffers()[2:] if b is not None) == \
            b"".join(kept)
