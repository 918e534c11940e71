"""Buffer arguments: which objects text, sumtable, out and key accept, the
refusals and their messages, and that every export is given back.

Layouts that no built-in object hands out come from a test-only exporter
(tests/ext/exporter.c), built for the running interpreter.
"""

from __future__ import annotations

import array
import ctypes
import mmap
from pathlib import Path

import pytest

import qulo
from extbuild import build_extension

KEY = bytes.fromhex("00112233445566778899aabbccddeeff")
TEXT = b"attack at dawn"
SUMS = bytes(range(3, 67))  # any 64 bytes serve as a sum table

READ_ONLY = "const uint8_t"
WRITABLE = "uint8_t"


@pytest.fixture(scope="module")
def exporter_module(tmp_path_factory):
    source = Path(__file__).parent / "ext" / "exporter.c"
    return build_extension(source, tmp_path_factory.mktemp("exporter"))


_DEFAULT = object()


@pytest.fixture
def export(exporter_module):
    """export(data, format="B", ...) -> an Exporter of `data`.

    The shape defaults to what a well-behaved exporter of that many items
    would give for `ndim` 0, 1 or 2.
    """

    def make(data, format="B", itemsize=1, ndim=1, shape=_DEFAULT, strides=None,
             suboffsets=None, readonly=True, log=None, label=None, length=None):
        if shape is _DEFAULT:
            items = len(data) // itemsize
            shape = {0: (), 1: (items,), 2: (2, items // 2)}[ndim]
        return exporter_module.Exporter(
            bytes(data), format, itemsize, ndim, shape, strides, suboffsets, readonly,
            log=log, label=label, length=length)

    return make


@pytest.fixture
def tea():
    return qulo.TEA(KEY)


# ---- the four roles ------------------------------------------------------

# How each role uses an argument of the role's natural size; the result is
# compared with the same call on plain bytes. `out` reports what was written.
def use_text(tea, obj):
    return tea.encrypt_qq(obj)


def use_sumtable(tea, obj):
    return tea.encrypt_native_endian(TEXT, obj)


def use_out(tea, obj):
    n = tea.encrypt_qq_into(TEXT, obj)
    return memoryview(obj).tobytes()[:n]


def use_key(tea, obj):
    made = qulo.TEA(obj)
    return made.key, made.encrypt_qq(TEXT)


def use_key_setter(tea, obj):
    tea.key = obj
    return tea.key, tea.encrypt_qq(TEXT)


# role -> (use, size it needs, descriptor name in messages, needs writable)
ROLES = {
    "text": (use_text, 40, READ_ONLY, False),
    "sumtable": (use_sumtable, 64, READ_ONLY, False),
    "out": (use_out, 64, WRITABLE, True),
    "key": (use_key, 16, READ_ONLY, False),
    "key_setter": (use_key_setter, 16, READ_ONLY, False),
}


def data_of(size):
    return bytes((7 * i + 1) & 0xFF for i in range(size))


def expected(role, size):
    use = ROLES[role][0]
    if role == "out":
        return qulo.TEA(KEY).encrypt_qq(TEXT)
    return use(qulo.TEA(KEY), data_of(size))


def writable_mmap(data):
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


class BracedField(ctypes.Structure):
    """One unsigned byte under a field name that holds a brace: ctypes puts
    the name into the exported format, "T{<B:a}b:}"."""
    _fields_ = [("a}b", ctypes.c_ubyte)]


# kind -> (factory from bytes, writable)
KINDS = {
    "bytes": (bytes, False),
    "bytearray": (bytearray, True),
    "memoryview_bytes": (memoryview, False),
    "memoryview_bytearray": (lambda d: memoryview(bytearray(d)), True),
    "memoryview_cast_c": (lambda d: memoryview(bytearray(d)).cast("c"), True),
    "memoryview_cast_bool": (lambda d: memoryview(bytearray(d)).cast("?"), True),
    "memoryview_slice": (lambda d: memoryview(b"xx" + d + b"yy")[2:-2], False),
    "array_B": (lambda d: array.array("B", d), True),
    "mmap": (writable_mmap, True),
    "ctypes_ubyte": (lambda d: (ctypes.c_ubyte * len(d)).from_buffer_copy(d), True),
    "ctypes_char": (lambda d: (ctypes.c_char * len(d)).from_buffer_copy(d), True),
    "ctypes_bool": (lambda d: (ctypes.c_bool * len(d)).from_buffer_copy(d), True),
    "ctypes_braced_field": (lambda d: (BracedField * len(d)).from_buffer_copy(d), True),
}


# Read-only kinds as out are refused by the objects themselves (below).
@pytest.mark.parametrize(("role", "kind"), [
    (role, kind) for role in ROLES for kind in KINDS if KINDS[kind][1] or not ROLES[role][3]])
def test_accepted_kinds(tea, role, kind):
    use, size, _, _ = ROLES[role]
    factory, _ = KINDS[kind]
    obj = factory(data_of(size))
    assert use(tea, obj) == expected(role, size)


def test_ctypes_array_exports_little_endian_unsigned_bytes(tea):
    arr = (ctypes.c_ubyte * 40).from_buffer_copy(data_of(40))
    assert memoryview(arr).format == "<B"
    assert tea.encrypt_qq(arr) == tea.encrypt_qq(data_of(40))


def test_readonly_mmap_is_accepted_as_text_and_refused_as_out(tea, tmp_path):
    path = tmp_path / "data"
    path.write_bytes(data_of(64))
    with path.open("rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert tea.encrypt_qq(m) == tea.encrypt_qq(data_of(64))
        assert tea.encrypt(TEXT, m) == tea.encrypt(TEXT, data_of(64))
        own = own_refusal(m, WRITABLE_FLAGS)
        with pytest.raises(type(own)) as info:
            tea.encrypt_qq_into(TEXT, m)
        assert str(info.value) == str(own)
    # Leaving the with-block closed the map: no export was left on it.


@pytest.mark.parametrize("role", ["text", "sumtable", "key", "key_setter"])
def test_strided_slice_of_extent_one_is_a_one_byte_view(tea, role):
    one = memoryview(b"ab")[::2]
    assert one.strides == (2,) and one.tobytes() == b"a"
    if role == "text":
        assert tea.encrypt_qq(one) == tea.encrypt_qq(b"a")
        return
    # One byte is accepted as a buffer, then refused for its length.
    message = "sum table must be 64 bytes len" if role == "sumtable" else "key must be 16 bytes len"
    with pytest.raises(AssertionError, match=f"^{message}$"):
        ROLES[role][0](tea, one)


def test_empty_buffers_are_views_of_length_zero(tea):
    empty = tea.encrypt_qq(b"")
    for obj in (b"", bytearray(), memoryview(b""), array.array("B"),
                (ctypes.c_ubyte * 0)(), memoryview(bytearray(4))[4:]):
        assert tea.encrypt_qq(obj) == empty


# ---- None ----------------------------------------------------------------


def test_none_is_an_empty_buffer_in_every_role(tea):
    assert tea.encrypt_qq(None) == tea.encrypt_qq(b"")
    assert tea.encrypt(None, SUMS) == tea.encrypt(b"", SUMS)
    with pytest.raises(AssertionError, match="^sum table must be 64 bytes len$"):
        tea.encrypt(TEXT, None)
    with pytest.raises(ValueError, match="^output buffer is too small$"):
        tea.encrypt_qq_into(TEXT, None)
    with pytest.raises(AssertionError, match="^key must be 16 bytes len$"):
        qulo.TEA(None)
    with pytest.raises(AssertionError, match="^key must be 16 bytes len$"):
        tea.key = None
    assert tea.key == KEY


# ---- refusals by CPython's own objects -------------------------------------

READ_ONLY_FLAGS = 0x3C  # C-contiguous, with format
WRITABLE_FLAGS = 0x3D  # the same, writable


def own_refusal(obj, flags):
    """The exception `obj` itself raises for a buffer request with `flags`."""
    try:
        obj.__buffer__(flags).release()
    except Exception as exc:  # noqa: BLE001 - whatever the object raises
        return exc
    raise AssertionError(f"{obj!r} grants the request")


def dtype(name, got):
    return f"Buffer dtype mismatch, expected '{name}' but got {got}"


def dims(got):
    return f"Buffer has wrong number of dimensions (expected 1, got {got})"


class SignedBytes(bytes):
    """A bytes subclass that exports signed chars: only exact bytes and
    bytearray objects may skip the checks."""

    def __buffer__(self, flags):
        return memoryview(bytearray(len(self))).cast("b")


class SignedByteArray(bytearray):
    __buffer__ = SignedBytes.__buffer__


# kind -> (factory of `size` bytes, exception type, message with {name})
REFUSED_KINDS = {
    "bytes_subclass_b": (lambda n: SignedBytes(n), ValueError, dtype("{name}", "'signed char'")),
    "bytearray_subclass_b": (lambda n: SignedByteArray(n), ValueError,
                             dtype("{name}", "'signed char'")),
    "int": (lambda n: n, TypeError, "a bytes-like object is required, not 'int'"),
    "str": (lambda n: "x" * n, TypeError, "a bytes-like object is required, not 'str'"),
    "cast_b": (lambda n: memoryview(bytearray(n)).cast("b"), ValueError,
               dtype("{name}", "'signed char'")),
    "array_b": (lambda n: array.array("b", bytes(n)), ValueError,
                dtype("{name}", "'signed char'")),
    "array_I": (lambda n: array.array("I", bytes(n)), ValueError,
                dtype("{name}", "'unsigned int'")),
    "array_d": (lambda n: array.array("d", bytes(n)), ValueError, dtype("{name}", "'double'")),
    "ctypes_byte": (lambda n: (ctypes.c_byte * n)(), ValueError, dtype("{name}", "'signed char'")),
    "ctypes_uint32": (lambda n: (ctypes.c_uint32 * (n // 4))(), ValueError,
                      dtype("{name}", "'unsigned int'")),
    "two_dimensional": (lambda n: memoryview(bytearray(n)).cast("B", (2, n // 2)), ValueError,
                        dims(2)),
    "ctypes_two_dimensional": (lambda n: (ctypes.c_ubyte * (n // 2) * 2)(), ValueError, dims(2)),
    "zero_dimensional": (lambda n: memoryview(bytearray(1)).cast("B", ()), ValueError, dims(0)),
}


@pytest.mark.parametrize("kind", REFUSED_KINDS)
@pytest.mark.parametrize("role", ROLES)
def test_refused_kinds(tea, role, kind):
    use, size, name, _ = ROLES[role]
    factory, exc_type, message = REFUSED_KINDS[kind]
    with pytest.raises(exc_type) as info:
        use(tea, factory(size))
    assert str(info.value) == message.format(name=name)
    assert tea.key == KEY


# Objects whose buffer request fails: their own exception passes unchanged.
OWN_REFUSALS = {
    "bytes_as_out": (lambda: bytes(64), "out"),
    "memoryview_of_bytes_as_out": (lambda: memoryview(bytes(64)), "out"),
    "readonly_memoryview_as_out": (lambda: memoryview(bytearray(64)).toreadonly(), "out"),
    "strided_memoryview_as_text": (lambda: memoryview(bytearray(80))[::2], "text"),
    "strided_memoryview_as_key": (lambda: memoryview(bytearray(32))[::2], "key"),
    "strided_memoryview_as_sumtable": (lambda: memoryview(bytearray(128))[::2], "sumtable"),
    "strided_memoryview_as_out": (lambda: memoryview(bytearray(128))[::2], "out"),
    "reversed_memoryview_as_text": (lambda: memoryview(bytearray(40))[::-1], "text"),
}


@pytest.mark.parametrize("case", OWN_REFUSALS)
def test_exporters_own_refusal_passes_unchanged(tea, case):
    factory, role = OWN_REFUSALS[case]
    use, _, _, needs_writable = ROLES[role]
    obj = factory()
    own = own_refusal(obj, WRITABLE_FLAGS if needs_writable else READ_ONLY_FLAGS)
    with pytest.raises(type(own)) as info:
        use(tea, obj)
    assert type(info.value) is type(own)
    assert str(info.value) == str(own)


# ---- refusals of exported layouts, through the test exporter ----------------

BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"


def unknown(c):
    return f"Does not understand character buffer dtype format string ('{c}')"


def item_size(size):
    return (f"Item size of buffer ({size} byte{'s' if size > 1 else ''}) "
            "does not match size of '{name}' (1 byte)")


# label -> (exporter arguments, message with {name})
LAYOUT_REFUSALS = {
    ">B": (dict(format=">B"), BIG_ENDIAN),
    "!B": (dict(format="!B"), BIG_ENDIAN),
    "B>": (dict(format="B>"), BIG_ENDIAN),
    "xB": (dict(format="xB"), "Buffer dtype mismatch; next field is at offset 1 but 0 expected"),
    "3xB": (dict(format="3xB"), "Buffer dtype mismatch; next field is at offset 3 but 0 expected"),
    "Bx itemsize 2": (dict(format="Bx", itemsize=2), item_size(2)),
    "B itemsize 2": (dict(format="B", itemsize=2), item_size(2)),
    "c itemsize 4": (dict(format="c", itemsize=4), item_size(4)),
    "I itemsize 4": (dict(format="I", itemsize=4), dtype("{name}", "'unsigned int'")),
    "<H itemsize 2": (dict(format="<H", itemsize=2), dtype("{name}", "'unsigned short'")),
    "Q itemsize 8": (dict(format="Q", itemsize=8), dtype("{name}", "'unsigned long long'")),
    "d itemsize 8": (dict(format="d", itemsize=8), dtype("{name}", "'double'")),
    "O itemsize 8": (dict(format="O", itemsize=8), dtype("{name}", "Python object")),
    "Zf itemsize 8": (dict(format="Zf", itemsize=8), dtype("{name}", "'complex float'")),
    "b": (dict(format="b"), dtype("{name}", "'signed char'")),
    "s": (dict(format="s"), dtype("{name}", "a string")),
    "p": (dict(format="p"), dtype("{name}", "a string")),
    "empty": (dict(format=""), dtype("{name}", "end")),
    "x": (dict(format="x"), dtype("{name}", "end")),
    "2B": (dict(format="2B"), "Buffer dtype mismatch, expected end but got 'unsigned char'"),
    "BB": (dict(format="BB"), "Buffer dtype mismatch, expected end but got 'unsigned char'"),
    "Bc": (dict(format="Bc"), "Buffer dtype mismatch, expected end but got 'char'"),
    "2T{0BB}": (dict(format="2T{0BB}"),
                "Buffer dtype mismatch, expected end but got 'unsigned char'"),
    "Zx": (dict(format="Zx"), "Unexpected format string character: 'Z'"),
    "Z": (dict(format="Z"), "Unexpected format string character: 'Z'"),
    "T": (dict(format="T"), "Buffer acquisition: Expected '{{' after 'T'"),
    "TB": (dict(format="TB"), "Buffer acquisition: Expected '{{' after 'T'"),
    "(2)B": (dict(format="(2)B"), "Expected 0 dimension(s), got 1"),
    "(2,3)B": (dict(format="(2,3)B"), "Expected 0 dimension(s), got 2"),
    "2(1)B": (dict(format="2(1)B"), "Cannot handle repeated arrays in format string"),
    "(": (dict(format="("), "Unexpected end of format string, expected ')'"),
    "(2x": (dict(format="(2x"), "Expected a comma in format string, got 'x'"),
    "(a)": (dict(format="(a)"), unknown("a")),
    "u": (dict(format="u"), unknown("u")),
    "w": (dict(format="w"), unknown("w")),
    "P": (dict(format="P"), unknown("P")),
    "e": (dict(format="e"), unknown("e")),
    "tab": (dict(format="\tB"), unknown("\t")),
    "ndim 0": (dict(ndim=0), dims(0)),
    "ndim 2": (dict(ndim=2), dims(2)),
    "ndim 3": (dict(ndim=3, shape=(2, 2, 4)), dims(3)),
    "stride 2": (dict(strides=(2,), shape=(8,)),
                 "Buffer and memoryview are not contiguous in the same dimension."),
    "stride -1": (dict(strides=(-1,)),
                  "Buffer and memoryview are not contiguous in the same dimension."),
    "stride 0": (dict(strides=(0,)),
                 "Buffer and memoryview are not contiguous in the same dimension."),
    "suboffsets without strides": (dict(suboffsets=(-1,)),
                                   "Buffer exposes suboffsets but no strides"),
    "suboffset 0 with strides": (dict(strides=(1,), suboffsets=(0,)),
                                 "Buffer not compatible with direct access in dimension 0."),
    "suboffset 0 extent 1": (dict(shape=(1,), suboffsets=(0,)),
                             "Buffer not compatible with direct access in dimension 0."),
}

# Malformed formats: a ValueError of the module's own, whatever its text.
MALFORMED = ["B:name", "( 2)B", "B(2)", "}", "B}", "T{B", "(2,"]


def layout(args, size):
    """Exporter arguments, with enough data behind the described items."""
    args = dict(args)
    n = size * args.get("itemsize", 1)
    if "strides" in args and "shape" in args:
        n = max(n, args["shape"][0] * abs(args["strides"][0]))
    if "shape" in args and args.get("ndim") == 3:
        n = 16
    return data_of(n), args


@pytest.mark.parametrize("row", LAYOUT_REFUSALS)
@pytest.mark.parametrize("role", ROLES)
def test_refused_layouts(tea, export, role, row):
    use, size, name, needs_writable = ROLES[role]
    data, args = layout(LAYOUT_REFUSALS[row][0], size)
    log = []
    obj = export(data, readonly=not needs_writable, log=log, label=role, **args)
    with pytest.raises(ValueError) as info:
        use(tea, obj)
    assert str(info.value) == LAYOUT_REFUSALS[row][1].format(name=name)
    assert obj.exports == 0
    assert log == [role]  # one request, one release
    assert tea.key == KEY


# An exporter whose shape claims another number of bytes than its len, and
# only len bytes behind it: size -> (shape[0], len).
DISAGREEING_SIZES = {
    "shape beyond len": lambda size: (size + 8, size),
    "shape of an empty buffer": lambda size: (size, 0),
    "shape short of len": lambda size: (size - 1, size),
}


@pytest.mark.parametrize("sizes", DISAGREEING_SIZES)
@pytest.mark.parametrize("role", ROLES)
def test_shape_that_disagrees_with_len_is_refused(tea, export, role, sizes):
    use, size, _, needs_writable = ROLES[role]
    shape, length = DISAGREEING_SIZES[sizes](size)
    obj = export(data_of(length), shape=(shape,), length=length, readonly=not needs_writable)
    with pytest.raises(ValueError) as info:
        use(tea, obj)
    assert str(info.value) == (
        f"Buffer shape and length disagree (shape[0] is {shape}, len is {length})")
    assert obj.exports == 0
    assert obj.data == data_of(length)
    assert tea.key == KEY


@pytest.mark.parametrize("fmt", MALFORMED)
@pytest.mark.parametrize("role", ROLES)
def test_malformed_formats_are_refused(tea, export, role, fmt):
    use, size, _, needs_writable = ROLES[role]
    obj = export(data_of(size), format=fmt, readonly=not needs_writable)
    with pytest.raises(ValueError):
        use(tea, obj)
    assert obj.exports == 0


# Layouts the module accepts: 1-D contiguous bytes in many spellings.
ACCEPTED_LAYOUTS = {
    "B": dict(format="B"),
    "no format": dict(format=None),
    "<B": dict(format="<B"),
    "@B": dict(format="@B"),
    "=B": dict(format="=B"),
    "^B": dict(format="^B"),
    "1B": dict(format="1B"),
    " B": dict(format=" B"),
    "c": dict(format="c"),
    "<c": dict(format="<c"),
    "?": dict(format="?"),
    "T{B}": dict(format="T{B}"),
    "B:name:": dict(format="B:name:"),
    "no shape": dict(shape=None),
    "strides 1": dict(strides=(1,)),
    "strides and direct suboffsets": dict(strides=(1,), suboffsets=(-1,)),
}


@pytest.mark.parametrize("row", ACCEPTED_LAYOUTS)
@pytest.mark.parametrize("role", ROLES)
def test_accepted_layouts(tea, export, role, row):
    use, size, _, needs_writable = ROLES[role]
    obj = export(data_of(size), readonly=not needs_writable, **ACCEPTED_LAYOUTS[row])
    assert use(tea, obj) == expected(role, size)
    assert obj.exports == 0


# One item: the layout checks that need more than one item do not apply.
ONE_BYTE_LAYOUTS = {
    "stride 2": dict(strides=(2,)),
    "stride -5": dict(strides=(-5,)),
    "suboffsets without strides": dict(suboffsets=(-1,)),
}


@pytest.mark.parametrize("row", ONE_BYTE_LAYOUTS)
def test_layout_of_a_single_byte(tea, export, row):
    obj = export(b"a", **ONE_BYTE_LAYOUTS[row])
    assert tea.encrypt_qq(obj) == tea.encrypt_qq(b"a")
    assert obj.exports == 0


EMPTY_LAYOUTS = {
    "stride 2": dict(strides=(2,)),
    "suboffsets without strides": dict(suboffsets=(-1,)),
    "indirect": dict(strides=(3,), suboffsets=(5,)),
}


@pytest.mark.parametrize("row", EMPTY_LAYOUTS)
def test_empty_buffer_skips_the_layout_checks(tea, export, row):
    obj = export(b"", **EMPTY_LAYOUTS[row])
    assert tea.encrypt_qq(obj) == tea.encrypt_qq(b"")
    assert obj.exports == 0


def test_readonly_exporter_refused_as_out_with_its_own_error(tea, export):
    log = []
    obj = export(data_of(64), log=log, label="out")
    with pytest.raises(BufferError, match="^Exporter is read-only$"):
        tea.encrypt_qq_into(TEXT, obj)
    assert obj.exports == 0 and log == []


# ---- order of conversion and release ---------------------------------------


def trio(export, log, *, out_readonly=False, sums=SUMS, sums_format="B", text_format="B"):
    return (
        export(TEXT, format=text_format, log=log, label="text"),
        export(sums, format=sums_format, log=log, label="sumtable"),
        export(bytes(64), readonly=out_readonly, log=log, label="out"),
    )


@pytest.mark.parametrize("method", ["encrypt_into", "encrypt_native_endian_into"])
def test_release_order_after_success(tea, export, method):
    log = []
    text, sums, out = trio(export, log)
    n = getattr(tea, method)(text, sums, out)
    assert out.data[:n] == getattr(tea, method.removesuffix("_into"))(TEXT, SUMS)
    assert log == ["text", "sumtable", "out"]


# case -> (trio arguments, exception, release log)
FAILING_CALLS = {
    # the body's checks fail after all three conversions
    "short sumtable": (dict(sums=SUMS[:10]), AssertionError, ["text", "sumtable", "out"]),
    # the out conversion fails in the buffer request: nothing to release
    "readonly out": (dict(out_readonly=True), BufferError, ["text", "sumtable"]),
    # a read-only out is refused before a wrong-sized sumtable is noticed
    "readonly out and short sumtable": (dict(out_readonly=True, sums=SUMS[:10]), BufferError,
                                        ["text", "sumtable"]),
    # a refused format gives its buffer back at once; later ones are not requested
    "refused sumtable format": (dict(sums_format=">B"), ValueError, ["sumtable", "text"]),
    "refused text format": (dict(text_format="b"), ValueError, ["text"]),
}


@pytest.mark.parametrize("case", FAILING_CALLS)
def test_release_order_after_failure(tea, export, case):
    args, exc, released = FAILING_CALLS[case]
    log = []
    exporters = trio(export, log, **args)
    with pytest.raises(exc):
        tea.encrypt_into(*exporters)
    assert log == released
    assert [e.exports for e in exporters] == [0, 0, 0]
    assert exporters[2].data == bytes(64)  # out untouched


def test_argument_errors_come_before_any_conversion(tea, export):
    log = []
    text, sums, out = trio(export, log)
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(4 given\)"):
        tea.encrypt_into(text, sums, out, out)
    with pytest.raises(TypeError, match="unexpected keyword argument 'extra'"):
        tea.encrypt_into(text, sums, out=out, extra=1)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'text'"):
        tea.encrypt_into(text, sums, out, text=text)
    assert log == []


def test_text_refused_first_stops_the_conversions(tea, export):
    log = []
    _, sums, out = trio(export, log)
    with pytest.raises(TypeError, match="^a bytes-like object is required, not 'int'$"):
        tea.encrypt_into(5, sums, out)
    assert log == []


def test_one_object_in_two_roles_is_requested_twice(tea, export):
    log = []
    both = export(tea.encrypt_qq(TEXT), readonly=False, log=log, label="both")
    assert tea.decrypt_qq_into(both, both) == len(TEXT)
    assert both.data[:len(TEXT)] == TEXT
    assert log == ["both", "both"]
    assert both.exports == 0


def test_same_bytearray_as_text_and_out_decrypts_in_place(tea):
    buf = bytearray(tea.encrypt_qq(TEXT))
    n = tea.decrypt_qq_into(buf, buf)
    assert buf[:n] == TEXT
    buf.extend(b"resizable")  # both exports were given back


# ---- nothing stays exported ------------------------------------------------

# Calls that fail with `text` (a bytearray) already converted.
FAILING_WITH_TEXT = {
    "bytes out": lambda tea, text: tea.encrypt_qq_into(text, bytes(64)),
    "readonly memoryview out": lambda tea, text: tea.encrypt_qq_into(
        text, memoryview(bytearray(64)).toreadonly()),
    "signed out": lambda tea, text: tea.encrypt_qq_into(text, array.array("b", bytes(64))),
    "short out": lambda tea, text: tea.encrypt_qq_into(text, bytearray(3)),
    "none out": lambda tea, text: tea.encrypt_qq_into(text, None),
    "short sumtable": lambda tea, text: tea.encrypt(text, b"short"),
    "int sumtable": lambda tea, text: tea.encrypt_into(text, 1, bytearray(64)),
    "2-D sumtable": lambda tea, text: tea.encrypt(
        text, memoryview(bytearray(64)).cast("B", (8, 8))),
    "bad ciphertext": lambda tea, text: tea.decrypt_qq(text),
    "bad ciphertext into": lambda tea, text: tea.decrypt_qq_into(text, bytearray(64)),
    "key": lambda tea, text: setattr(tea, "key", text),
    "constructor": lambda tea, text: qulo.TEA(text),
}


@pytest.mark.parametrize("case", FAILING_WITH_TEXT)
def test_bytearray_is_resizable_right_after_a_refused_call(tea, case):
    text = bytearray(b"thirteen byte")
    with pytest.raises((ValueError, BufferError, TypeError, AssertionError)):
        FAILING_WITH_TEXT[case](tea, text)
    text.extend(b"!")  # raises BufferError while an export is left
    text.clear()


def test_bytearray_is_resizable_after_every_successful_method(tea):
    buf = bytearray(TEXT)
    out = bytearray(64)
    calls = [
        lambda: tea.encrypt_qq(buf), lambda: tea.encrypt_qq_into(buf, out),
        lambda: tea.encrypt(buf, SUMS), lambda: tea.encrypt_into(buf, SUMS, out),
        lambda: tea.encrypt_native_endian(buf, SUMS),
        lambda: tea.encrypt_native_endian_into(buf, SUMS, out),
    ]
    for call in calls:
        call()
        buf.append(0)
        del buf[-1]
        out.append(0)
        del out[-1]


def test_exports_given_back_by_every_method(tea, export):
    ciphertext = tea.encrypt(TEXT, SUMS)
    native = tea.encrypt_native_endian(TEXT, SUMS)
    qq = tea.encrypt_qq(TEXT)
    cases = [
        ("encrypt_qq", [TEXT]), ("encrypt_qq_into", [TEXT, None]),
        ("encrypt", [TEXT, SUMS]), ("encrypt_into", [TEXT, SUMS, None]),
        ("encrypt_native_endian", [TEXT, SUMS]),
        ("encrypt_native_endian_into", [TEXT, SUMS, None]),
        ("decrypt_qq", [qq]), ("decrypt_qq_into", [qq, None]),
        ("decrypt", [ciphertext, SUMS]), ("decrypt_into", [ciphertext, SUMS, None]),
        ("decrypt_native_endian", [native, SUMS]),
        ("decrypt_native_endian_into", [native, SUMS, None]),
    ]
    for method, args in cases:
        log = []
        objs = [export(a if a is not None else bytes(64), readonly=a is not None, log=log,
                       label=i) for i, a in enumerate(args)]
        getattr(tea, method)(*objs)
        assert log == list(range(len(args))), method
        assert all(o.exports == 0 for o in objs), method
