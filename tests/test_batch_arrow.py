"""encrypt_many and decrypt_many on pyarrow binary and large_binary arrays:
the same type back, built from the arrays' buffers, nulls kept, refusals
named by their index in the whole array, malformed buffers refused."""

from __future__ import annotations

import array
import random

import pytest

import qulo
from qulo import _batch
from test_batch import VARIANTS, kernel, one_by_one, refused_sixteen_byte_text  # noqa: F401

pa = pytest.importorskip("pyarrow")


def arrow_messages(kind, seed=5):
    rng = random.Random(seed)
    values = [None if i % 7 == 3 else rng.randbytes(rng.randrange(70)) for i in range(130)]
    return values, pa.array(values, kind)


def expected(tea, method, values, kwargs):
    return [None if v is None else one_by_one(tea, method, [v], kwargs)[0] for v in values]


@pytest.mark.parametrize("kind", [pa.binary(), pa.large_binary()], ids=str)
@pytest.mark.parametrize("variant", VARIANTS)
def test_arrow_arrays_give_the_same_type_and_the_method_results(kernel, tea, kind, variant):
    enc, dec, kwargs = VARIANTS[variant]
    values, arr = arrow_messages(kind)
    for part, vals in [(arr, values), (arr[5:97], values[5:97])]:  # slices start mid-buffer
        out = qulo.encrypt_many(tea, part, **kwargs)
        assert out.type == kind and isinstance(out, pa.Array)
        assert out.null_count == vals.count(None)
        assert out.to_pylist() == expected(tea, enc, vals, kwargs)
        back = qulo.decrypt_many(tea, out, **kwargs)
        assert back.type == kind and back.to_pylist() == vals


def test_chunked_arrays_keep_their_chunks(tea):
    values, arr = arrow_messages(pa.large_binary())
    chunked = pa.chunked_array([arr[:40], arr[40:40], arr[40:]])
    out = qulo.encrypt_many(tea, chunked)
    assert isinstance(out, pa.ChunkedArray) and out.type == pa.large_binary()
    assert [len(c) for c in out.chunks] == [40, 0, 90]
    assert out.to_pylist() == expected(tea, "encrypt_qq", values, {})
    assert qulo.decrypt_many(tea, out).to_pylist() == values
    assert len(qulo.encrypt_many(tea, pa.chunked_array([], pa.binary()))) == 0


def test_arrow_decryption_errors_name_the_index_in_the_whole_array(tea):
    good = tea.encrypt_qq(b"ok")
    chunked = pa.chunked_array([pa.array([good, None, good]), pa.array([good, b"bad", None])])
    with pytest.raises(ValueError, match=r"^message 4 cannot be decrypted: 3 bytes"):
        qulo.decrypt_many(tea, chunked)
    out = qulo.decrypt_many(tea, chunked, errors="null")
    assert out.to_pylist() == [b"ok", None, b"ok", b"ok", None, None]
    assert [c.null_count for c in out.chunks] == [1, 2]


@pytest.mark.parametrize("kind", [pa.binary(), pa.large_binary()], ids=str)
def test_arrow_plaintexts_close_up_behind_refused_texts(tea, kind):
    # Every plaintext moves down over the room of the texts before it,
    # refused ones included; the offsets must follow.
    rng = random.Random(8)
    bad = refused_sixteen_byte_text(tea)
    plain = [rng.randbytes(rng.randrange(60)) for _ in range(40)]
    texts = [tea.encrypt_qq(p) for p in plain]
    want = list(plain)
    for i in (0, 7, 8, 25, 39):
        texts[i], want[i] = bad, None
    texts[12], want[12] = b"short", None
    out = qulo.decrypt_many(tea, pa.array(texts, kind), errors="null")
    assert out.type == kind and out.to_pylist() == want and out.null_count == 6
    out.validate(full=True)


def test_arrow_plaintexts_close_up_across_windows_and_chunks(tea):
    # Enough text for the batch to run in several windows, with refusals
    # and a chunk boundary that does not fall on a window boundary.
    rng = random.Random(12)
    bad = refused_sixteen_byte_text(tea)
    plain = [rng.randbytes(rng.randrange(200)) for _ in range(6000)]
    texts = qulo.encrypt_many(tea, plain)
    want = list(plain)
    for i in rng.sample(range(len(texts)), 60):
        texts[i], want[i] = bad, None
    arr = pa.array(texts, pa.large_binary())
    chunked = pa.chunked_array([arr[:1777], arr[1777:1777], arr[1777:]])
    out = qulo.decrypt_many(tea, chunked, errors="null")
    assert out.to_pylist() == want and [len(c) for c in out.chunks] == [1777, 0, 4223]
    for c in out.chunks:
        c.validate(full=True)


@pytest.mark.parametrize("values", [[], [None, None], [b""] * 3], ids=["empty", "nulls", "empties"])
def test_arrow_edge_arrays(tea, values):
    arr = pa.array(values, pa.binary())
    out = qulo.encrypt_many(tea, arr)
    assert out.to_pylist() == expected(tea, "encrypt_qq", values, {})
    assert qulo.decrypt_many(tea, out).to_pylist() == values


def test_arrow_arrays_of_other_types_are_refused(tea):
    with pytest.raises(TypeError, match="binary or large_binary is needed, not string"):
        qulo.encrypt_many(tea, pa.array(["text"]))


@pytest.mark.parametrize(
    "chunk, message",
    [
        ((2, 0, None, array.array("i", [0, 4, 400]), b"abcdefgh", 4), "past the data buffer"),
        ((2, 0, None, array.array("i", [0, 6, 3]), b"abcdefgh", 4), "offsets decrease"),
        ((3, 0, None, array.array("i", [0, 1, 2]), b"abcdefgh", 4), "offsets buffer is shorter"),
        ((2, 1, None, array.array("q", [0, 1, 2]), b"abcdefgh", 8), "offsets buffer is shorter"),
        ((9, 0, b"\xff", array.array("i", range(10)), b"abcdefghij", 4), "validity bitmap"),
        ((1, 0, None, array.array("i", [-1, 2]), b"abcdefgh", 4), "offset is negative"),
    ],
    ids=["past-data", "decreasing", "short-offsets", "short-large-offsets", "short-bitmap",
         "negative"],
)
def test_malformed_arrow_buffers_are_refused_not_read(tea, chunk, message):
    # pyarrow validates what it builds, so the buffers go straight to the
    # module's own entry, as qulo._many hands them over.
    for call in (lambda: _batch._encrypt_arrow(tea, [chunk], None, False),
                 lambda: _batch._decrypt_arrow(tea, [chunk], None, False, "raise")):
        with pytest.raises(ValueError, match=f"malformed Arrow array \\(chunk 0\\): .*{message}"):
            call()


@pytest.mark.parametrize("errors, kind", [(None, TypeError), (b"null", TypeError),
                                          ("ignore", ValueError)], ids=["None", "bytes", "ignore"])
def test_a_wrong_errors_is_one_mistake_for_lists_and_arrays(tea, errors, kind):
    refusals = []
    for messages in ([tea.encrypt_qq(b"")], pa.array([tea.encrypt_qq(b"")])):
        with pytest.raises(kind, match="^errors must be 'raise' or 'null', not ") as refused:
            qulo.decrypt_many(tea, messages, errors=errors)
        refusals.append(str(refused.value))
    assert refusals[0] == refusals[1]
