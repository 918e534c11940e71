"""encrypt_many and decrypt_many on Arrow columns from any producer of the
PyCapsule interface: the same layout and kind of object back, built from
the buffers, nulls kept, refusals named by their index in the whole column,
malformed C data refused before it is read."""

from __future__ import annotations

import random
import struct

import pytest

import qulo
from qulo import _batch
from arrow_c import HandMade
from test_batch import VARIANTS, kernel, one_by_one, refused_sixteen_byte_text  # noqa: F401

pa = pytest.importorskip("pyarrow")

LAYOUTS = {"binary": pa.binary(), "large_binary": pa.large_binary(),
           "binary_view": pa.binary_view()}


class BareArray:
    """Only __arrow_c_array__, as a library of its own would offer."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__(requested_schema)


class BareStream:
    """Only __arrow_c_stream__, over a chunked array."""

    def __init__(self, chunked):
        self.chunked = chunked

    def __arrow_c_stream__(self, requested_schema=None):
        return self.chunked.__arrow_c_stream__(requested_schema)


def polars_series(arr):
    pl = pytest.importorskip("polars")
    return pl.Series("secrets", arr)


def polars_chunks(arr):
    # append keeps both chunks, as concat and a scan of several row groups do
    pl = pytest.importorskip("polars")
    series = pl.Series("secrets", arr[:40]).append(pl.Series("secrets", arr[40:]))
    assert series.n_chunks() == 2
    return series


# producer -> (what it makes of a pyarrow array, whether it keeps the layout)
PRODUCERS = {
    "pyarrow": lambda a: a,
    "pyarrow chunked": lambda a: pa.chunked_array([a[:9], a[9:9], a[9:]], a.type),
    "polars": polars_series,
    "polars chunks": polars_chunks,
    "bare array": BareArray,
    "bare stream of chunks": lambda a: BareStream(pa.chunked_array([a[:30], a[30:31], a[31:]])),
}


def as_list(column):
    if isinstance(column, (pa.Array, pa.ChunkedArray)):
        return column.to_pylist()
    if isinstance(column, qulo._batch.ArrowColumn):
        return pa.chunked_array(column).to_pylist()
    return column.to_list()


def arrow_values(seed=5, count=130):
    rng = random.Random(seed)
    return [None if i % 7 == 3 else rng.randbytes(rng.randrange(70)) for i in range(count)]


def expected(tea, method, values, kwargs):
    return [None if v is None else one_by_one(tea, method, [v], kwargs)[0] for v in values]


@pytest.mark.parametrize("sliced", [False, True], ids=["whole", "slice"])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("producer", PRODUCERS)
def test_every_producer_gives_its_kind_back_with_the_method_results(tea, producer, layout,
                                                                     sliced):
    if producer.startswith("polars") and layout != "binary_view":
        pytest.skip("polars holds binary columns as binary_view")
    values = arrow_values()
    arr = pa.array(values, LAYOUTS[layout])
    if sliced:  # slices start mid-buffer
        arr, values = arr[5:97], values[5:97]
    messages = PRODUCERS[producer](arr)
    out = qulo.encrypt_many(tea, messages)
    assert type(out) is (_batch.ArrowColumn if producer.startswith("bare") else type(messages))
    assert as_list(out) == expected(tea, "encrypt_qq", values, {})
    back = qulo.decrypt_many(tea, out)
    assert type(back) is type(out) and as_list(back) == values
    if producer.startswith("polars"):
        assert out.name == back.name == "secrets"
    else:
        imported = pa.chunked_array(out) if not isinstance(out, pa.Array) else out
        assert imported.type == LAYOUTS[layout]
        imported.validate(full=True)
    if producer in ("pyarrow chunked", "bare stream of chunks"):
        assert [len(c) for c in pa.chunked_array(out).chunks] == [
            len(c) for c in pa.chunked_array(messages).chunks]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("variant", VARIANTS)
def test_every_kernel_and_variant_over_arrow(kernel, tea, layout, variant):
    enc, dec, kwargs = VARIANTS[variant]
    values = arrow_values(seed=6)
    out = qulo.encrypt_many(tea, pa.array(values, LAYOUTS[layout]), **kwargs)
    assert out.to_pylist() == expected(tea, enc, values, kwargs)
    assert qulo.decrypt_many(tea, out, **kwargs).to_pylist() == values


def test_arrow_decryption_errors_name_the_index_in_the_whole_column(tea):
    good = tea.encrypt_qq(b"ok")
    chunked = pa.chunked_array([pa.array([good, None, good]), pa.array([good, b"bad", None])])
    with pytest.raises(ValueError, match=r"^message 4 cannot be decrypted: 3 bytes"):
        qulo.decrypt_many(tea, chunked)
    out = qulo.decrypt_many(tea, chunked, errors="null")
    assert out.to_pylist() == [b"ok", None, b"ok", b"ok", None, None]
    assert [c.null_count for c in out.chunks] == [1, 2]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_arrow_plaintexts_close_up_behind_refused_texts(tea, layout):
    # Every plaintext moves down over the room of the texts before it,
    # refused ones included; the offsets (or views) must follow.
    rng = random.Random(8)
    bad = refused_sixteen_byte_text(tea)
    plain = [rng.randbytes(rng.randrange(60)) for _ in range(40)]
    texts = [tea.encrypt_qq(p) for p in plain]
    want = list(plain)
    for i in (0, 7, 8, 25, 39):
        texts[i], want[i] = bad, None
    texts[12], want[12] = b"short", None
    out = qulo.decrypt_many(tea, pa.array(texts, LAYOUTS[layout]), errors="null")
    assert out.type == LAYOUTS[layout] and out.to_pylist() == want and out.null_count == 6
    out.validate(full=True)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_arrow_plaintexts_across_windows_and_chunks(tea, layout):
    # Enough text for the batch to run in several windows, with refusals
    # and a chunk boundary that does not fall on a window boundary.
    rng = random.Random(12)
    bad = refused_sixteen_byte_text(tea)
    plain = [rng.randbytes(rng.randrange(200)) for _ in range(6000)]
    texts = qulo.encrypt_many(tea, plain)
    want = list(plain)
    for i in rng.sample(range(len(texts)), 60):
        texts[i], want[i] = bad, None
    arr = pa.array(texts, LAYOUTS[layout])
    chunked = pa.chunked_array([arr[:1777], arr[1777:1777], arr[1777:]])
    out = qulo.decrypt_many(tea, chunked, errors="null")
    assert out.to_pylist() == want and [len(c) for c in out.chunks] == [1777, 0, 4223]
    for c in out.chunks:
        c.validate(full=True)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("values", [[], [None, None], [b""] * 3], ids=["empty", "nulls", "empties"])
def test_arrow_edge_columns(tea, layout, values):
    arr = pa.array(values, LAYOUTS[layout])
    out = qulo.encrypt_many(tea, arr)
    assert out.to_pylist() == expected(tea, "encrypt_qq", values, {})
    assert qulo.decrypt_many(tea, out).to_pylist() == values
    assert len(qulo.encrypt_many(tea, pa.chunked_array([], LAYOUTS[layout]))) == 0


def test_a_failed_check_is_a_refused_ciphertext(tea):
    other = qulo.TEA(bytes(range(16))).encrypt_qq(b"not for this key")
    texts = pa.array([tea.encrypt_qq(b"mine"), other], pa.binary_view())
    assert qulo.decrypt_many(tea, texts)[1].is_valid  # unchecked: garbage, no error
    with pytest.raises(ValueError, match="^message 1 cannot be decrypted: its last 7"):
        _batch._decrypt_arrow(tea, texts, verify=True)
    out = pa.array(_batch._decrypt_arrow(tea, texts, verify=True, errors="null"))
    assert out.to_pylist() == [b"mine", None]


TEXT = {"string": ("binary", pa.string()), "large_string": ("large_binary", pa.large_string()),
        "string_view": ("binary_view", pa.string_view())}


@pytest.mark.parametrize("text", TEXT)
def test_text_columns_are_taken_as_utf8_and_given_back_as_text(tea, text):
    layout, kind = TEXT[text]
    words = ["ascii", None, "été", "", "€ and 🔑" * 5]
    sealed = pa.array(qulo.encrypt_many(tea, pa.array(words, kind)))
    assert sealed.type == LAYOUTS[layout]
    assert sealed.to_pylist() == [None if w is None else tea.encrypt_qq(w.encode())
                                  for w in words]
    plain = qulo._batch._decrypt_arrow(tea, sealed, as_text=True)
    assert pa.array(plain).type == kind and plain.to_pylist() == words == list(plain)
    assert qulo.decrypt_many(tea, sealed).to_pylist()[2] == "été".encode()
    # Not UTF-8 (here: under another key), refused with its index, or null.
    other = pa.array(qulo.encrypt_many(qulo.TEA(bytes(16)), pa.array(["x" * 40] * 3, kind)))
    mixed = pa.concat_arrays([sealed.cast(LAYOUTS[layout]), other.cast(LAYOUTS[layout])])
    with pytest.raises(qulo.DecryptionError, match="^message 5 cannot be decrypted as text: "
                                                  "its plaintext is not valid UTF-8") as e:
        qulo._batch._decrypt_arrow(tea, mixed, as_text=True)
    assert (e.value.reason, e.value.status, e.value.index) == ("text", None, 5)
    nulled = pa.array(qulo._batch._decrypt_arrow(tea, mixed, as_text=True, errors="null"))
    assert nulled.to_pylist() == words + [None] * 3
    nulled.validate(full=True)


@pytest.mark.parametrize("column, message", [
    (lambda: pa.array([[1]]), "binary, large_binary or binary_view .* not format '\\+l'"),
    (lambda: pa.table({"a": [b"x"]}), "Arrow table or record batch .* qulo.encrypt_columns"),
    (lambda: pa.record_batch({"a": [b"x"]}), "Arrow table or record batch"),
    (lambda: pa.array([b"x", b"x"]).dictionary_encode(), "dictionary-encoded .*"
                                                          "dictionary_decode"),
    (lambda: pa.array([b"abcd"], pa.binary(4)), "fixed_size_binary column \\(format 'w:4'\\) "
                                                 ".* column.cast\\(pa.binary\\(\\)\\)"),
], ids=["list", "table", "record batch", "dictionary", "fixed_size_binary"])
def test_arrow_columns_of_other_types_are_refused_saying_what_to_do(tea, column, message):
    with pytest.raises(TypeError, match=message):
        qulo.encrypt_many(tea, column())


def consumers():
    pl = pytest.importorskip("polars")
    return {
        "pyarrow.array": lambda c: pa.array(c).to_pylist(),
        "pyarrow.chunked_array": lambda c: pa.chunked_array(c).to_pylist(),
        "polars.Series": lambda c: pl.Series(c).to_list(),
        "polars.from_arrow": lambda c: pl.from_arrow(c).to_list(),
        "to_pylist": lambda c: c.to_pylist(),
        "indexing": lambda c: [c[i] for i in range(-len(c), 0)],
    }


@pytest.mark.parametrize("chunks", [0, 1, 3])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_our_column_of_any_chunking_imports_into_every_consumer(tea, layout, chunks):
    values = arrow_values(seed=8, count=60)
    cuts = [0, 25, 25, 60][:chunks + 1] if chunks else [0]
    parts = [pa.array(values[a:b], LAYOUTS[layout]) for a, b in zip(cuts, cuts[1:])]
    column = qulo.decrypt_many(tea, qulo.encrypt_many(
        tea, BareStream(pa.chunked_array(parts, LAYOUTS[layout]))))
    want = values[:cuts[-1]]
    assert len(column) == len(want)
    assert repr(column) == (f"<qulo ArrowColumn of {len(want)} {layout} values in {chunks} "
                            f"chunk{'' if chunks == 1 else 's'}>")
    for name, read in consumers().items():
        assert read(column) == want, name
    with pytest.raises(IndexError):
        column[len(want)]


def views(*entries):
    """16-byte views of (length, buffer index, offset) with a zero prefix."""
    return b"".join(struct.pack("<iiii", n, 0, b, o) for n, b, o in entries)


def sizes(*values):
    return struct.pack(f"<{len(values)}q", *values)


def offsets32(*values):
    return struct.pack(f"<{len(values)}i", *values)


DATA = b"abcdefghijklmnopqrstuvwxyz"
MALFORMED = {
    "decreasing": (("z", 2, [None, offsets32(0, 6, 3), DATA]), "offsets decrease"),
    "negative offset": (("z", 1, [None, offsets32(-1, 2), DATA]), "an offset is negative"),
    "no data": (("z", 1, [None, offsets32(0, 4), None]), "points past the data buffer"),
    "no offsets": (("Z", 1, [None, None, DATA]), "offsets buffer is shorter"),
    "two buffers": (("z", 1, [None, offsets32(0, 1)]), "wrong number of buffers"),
    "uncounted nulls": (("z", 1, [None, offsets32(0, 1), DATA], {"null_count": 1}),
                        "no validity bitmap"),
    "negative length": (("z", -1, [None, offsets32(0), DATA]), "negative length or offset"),
    "offset near 2**63": (("Z", 2, [None, offsets32(0, 0, 0, 0), DATA],
                           {"offset": 2**63 - 2}), "slice ends past the largest offset"),
    "children": (("z", 1, [None, offsets32(0, 1), DATA], {"n_children": 1}), "no children"),
    "view length": (("vz", 1, [None, views((-5, 0, 0)), DATA, sizes(26)]), "length is negative"),
    "view buffer": (("vz", 1, [None, views((20, 1, 0)), DATA, sizes(26)]),
                    "names a data buffer that is not there"),
    "view past data": (("vz", 1, [None, views((20, 0, 7)), DATA, sizes(26)]),
                       "points past its data buffer"),
    "view offset near 2**31": (("vz", 1, [None, views((20, 0, 2**31 - 1)), DATA, sizes(26)]),
                               "points past its data buffer"),
    "view sizes missing": (("vz", 1, [None, views((20, 0, 0)), DATA, None]),
                           "sizes are missing"),
    "view no views": (("vz", 1, [None, None, sizes()]), "views buffer is shorter"),
}


@pytest.mark.parametrize("direction", ["encrypt", "decrypt"])
@pytest.mark.parametrize("case", MALFORMED)
def test_malformed_c_data_is_refused_before_it_is_read(tea, case, direction):
    (fmt, length, buffers, *extra), message = MALFORMED[case]
    producer = HandMade(fmt, length, buffers, **(extra[0] if extra else {}))
    call = qulo.encrypt_many if direction == "encrypt" else qulo.decrypt_many
    with pytest.raises(ValueError, match=f"^malformed Arrow array \\(chunk 0\\): .*{message}"):
        call(tea, producer)
    assert producer.released == 2  # the schema and the array, each once


def test_hand_made_columns_are_read_and_released_once(tea):
    # The same C data, well formed: read, and both structs released.
    producer = HandMade("vz", 2, [None, views((3, 0, 0), (20, 0, 6)), DATA, sizes(26)])
    views_bytes = bytes(producer._keep[1])
    producer._keep[1][4:7] = DATA[:3]  # the short value lies inline
    out = qulo.encrypt_many(tea, producer)
    assert producer.released == 2 and views_bytes
    assert pa.array(out).to_pylist() == [tea.encrypt_qq(DATA[:3]), tea.encrypt_qq(DATA[6:26])]


def test_a_view_too_long_to_encrypt_is_named_by_its_index_in_the_column(tea):
    # Elements 2 and 4 are valid; the last claims 2 GiB - 10 bytes (its
    # buffer says it holds them: nothing is read before the refusal).
    big = 2**31 - 10
    producer = HandMade("vz", 5, [bytes([0b10100]), views((0, 0, 0), (0, 0, 0), (1, 0, 0),
                                                          (0, 0, 0), (big, 0, 0)),
                                  DATA, sizes(2**31 - 1)], null_count=3)
    with pytest.raises(OverflowError, match=f"^message 4: a ciphertext of {qulo.encrypt_len(big)} "):
        qulo.encrypt_many(tea, producer)
    assert producer.released == 2


@pytest.mark.parametrize("ends", [(10, 2**63 - 1), (2**63 - 1, 2**63 - 1)], ids=["second", "first"])
def test_a_large_binary_value_too_long_to_encrypt_takes_no_room_and_is_refused(tea, ends):
    # The data buffer's size is unknown to the reader, so the offsets are
    # believed; the value past the plaintext limit must not shrink the block.
    producer = HandMade("Z", 2, [None, sizes(0, *ends), DATA])
    index = 0 if ends[0] > len(DATA) else 1
    n = ends[index] - (0, *ends)[index]
    with pytest.raises(OverflowError, match=f"^message {index}: {n} bytes, more than a ciphertext"):
        qulo.encrypt_many(tea, producer)
    assert producer.released == 2


@pytest.mark.parametrize("errors, kind", [(None, TypeError), (b"null", TypeError),
                                          ("ignore", ValueError)], ids=["None", "bytes", "ignore"])
def test_a_wrong_errors_is_one_mistake_for_lists_and_columns(tea, errors, kind):
    refusals = []
    for messages in ([tea.encrypt_qq(b"")], pa.array([tea.encrypt_qq(b"")])):
        with pytest.raises(kind, match="^errors must be 'raise' or 'null', not ") as refused:
            qulo.decrypt_many(tea, messages, errors=errors)
        refusals.append(str(refused.value))
    assert refusals[0] == refusals[1]


def test_polars_alone_needs_no_pyarrow(tmp_path):
    # A fresh interpreter where pyarrow cannot be imported.
    pytest.importorskip("polars")
    import subprocess
    import sys

    (tmp_path / "pyarrow.py").write_text("raise ImportError('no pyarrow here')\n")
    code = ("import qulo, polars as pl\n"
            "t = qulo.TEA(bytes(16))\n"
            "s = pl.Series('c', [b'one', None, b'three'])\n"
            "out = qulo.decrypt_many(t, qulo.encrypt_many(t, s))\n"
            "assert out.to_list() == s.to_list() and out.name == 'c'\n")
    subprocess.run([sys.executable, "-c", code], check=True, cwd=tmp_path,
                   env={"PYTHONPATH": str(tmp_path)})
