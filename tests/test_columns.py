"""encrypt_columns and decrypt_columns on tables and frames from every
producer installed: the named columns against the one-message method, the
others untouched, the same kind back, streams read batch by batch as they
are pulled, and every refusal made from the schema before a value is read."""

from __future__ import annotations

import random
import subprocess
import sys

import pytest

import qulo

pa = pytest.importorskip("pyarrow")

TYPES = {"binary": pa.binary(), "large_binary": pa.large_binary(),
         "binary_view": pa.binary_view(), "string": pa.string(),
         "large_string": pa.large_string(), "string_view": pa.string_view()}
# The type a changed column gets, by the type it had.
SEALED = {pa.binary(): pa.binary(), pa.large_binary(): pa.large_binary(),
          pa.binary_view(): pa.binary_view(), pa.string(): pa.binary(),
          pa.large_string(): pa.large_binary(), pa.string_view(): pa.binary_view()}
TEXT = {pa.binary(): pa.string(), pa.large_binary(): pa.large_string(),
        pa.binary_view(): pa.string_view()}


def library(name):
    return pytest.importorskip(name)


def pandas_frame(t):
    return t.to_pandas(types_mapper=library("pandas").ArrowDtype)


# producer -> (what it makes of a pyarrow table, the types it can hold or None for all)
PRODUCERS = {
    "pyarrow Table": (lambda t: t, None),
    "pyarrow RecordBatch": (lambda t: t.combine_chunks().to_batches()[0], None),
    "pyarrow RecordBatchReader": (lambda t: pa.RecordBatchReader.from_batches(
        t.schema, t.to_batches()), None),
    "polars DataFrame": (lambda t: library("polars").from_arrow(t), {"binary_view", "string_view"}),
    "polars LazyFrame": (lambda t: library("polars").from_arrow(t).lazy(),
                         {"binary_view", "string_view"}),
    "pandas DataFrame": (pandas_frame, None),
    "duckdb relation": (lambda t: library("duckdb").from_arrow(t), {"binary", "string"}),
    "nanoarrow stream": (lambda t: library("nanoarrow").ArrayStream(t), None),
    "arro3 Table": (lambda t: library("arro3.core").Table.from_arrow(t), None),
    "arro3 RecordBatchReader": (lambda t: library("arro3.core").RecordBatchReader.from_arrow(t),
                                None),
}
KINDS = {"pyarrow Table": "Table", "pyarrow RecordBatch": "RecordBatch",
         "pyarrow RecordBatchReader": "RecordBatchReader", "polars DataFrame": "DataFrame",
         "polars LazyFrame": "LazyFrame", "pandas DataFrame": "DataFrame"}


def as_table(data):
    """Any result (or producer) as a pyarrow Table."""
    kind = type(data).__name__
    if kind == "LazyFrame":
        data = data.collect()
    if type(data).__module__.startswith("polars"):
        return data.to_arrow()
    if type(data).__module__.startswith("pandas"):
        return pa.Table.from_pandas(data, preserve_index=False)
    if isinstance(data, pa.RecordBatch):
        return pa.Table.from_batches([data])
    return data.read_all() if isinstance(data, pa.RecordBatchReader) else pa.table(data)


def sample(kind, seed=3, count=90):
    rng = random.Random(seed)
    text = pa.types.is_string(kind) or pa.types.is_large_string(kind) or kind == pa.string_view()
    values = [None if i % 9 == 4 else rng.randbytes(rng.randrange(40)) for i in range(count)]
    if text:
        values = [None if v is None else v.hex() + "é€"[: i % 3] for i, v in enumerate(values)]
    # Three chunks (batches), one of them empty, then a slice into the first and the last.
    whole = pa.table({"id": pa.array(range(count), pa.int64()), "v": pa.array(values, kind)})
    table = pa.concat_tables([whole[:30], whole[30:30], whole[30:]]).slice(3, count - 7)
    return table, values[3:count - 4]


def encrypted(tea, values):
    return [None if v is None else tea.encrypt_qq(v.encode() if isinstance(v, str) else v)
            for v in values]


@pytest.mark.parametrize("producer, kind", [
    (p, k) for p, (_, holds) in PRODUCERS.items() for k in TYPES if holds is None or k in holds])
def test_every_producer_and_type_against_the_method_and_back(tea, producer, kind):
    make, _ = PRODUCERS[producer]
    table, values = sample(TYPES[kind])
    held = as_table(make(table)).schema.field("v").type  # the producer's own layout
    data = make(table)
    out = qulo.encrypt_columns(tea, data, "v")
    assert type(out).__name__ == KINDS.get(producer, "ArrowStream")
    got = as_table(out)
    assert got.column("v").to_pylist() == encrypted(tea, values)
    assert got.schema.field("v").type == SEALED[held]
    assert got.column("id").to_pylist() == list(range(3, len(values) + 3))
    fresh = qulo.encrypt_columns(tea, make(table), ["v"])
    text = held not in SEALED.values()
    back = as_table(qulo.decrypt_columns(tea, fresh, "v", as_text=text))
    assert back.column("v").to_pylist() == values
    assert back.schema.field("v").type == (TEXT[SEALED[held]] if text else held)


def test_other_columns_metadata_and_nullability_pass_through(tea):
    field = pa.field("v", pa.large_string(), nullable=False, metadata={"unit": "secret"})
    schema = pa.schema([pa.field("id", pa.int64()), field], metadata={"source": "tests"})
    table = pa.table([pa.array([1, 2]), pa.array(["a", "b"], pa.large_string())], schema=schema)
    for data in (table, table.to_batches()[0],
                 pa.RecordBatchReader.from_batches(schema, table.to_batches())):
        out = as_table(qulo.encrypt_columns(tea, data, "v"))
        assert out.schema.metadata == {b"source": b"tests"}
        assert out.schema.field("v") == field.with_type(pa.large_binary())
        assert out.schema.field("v").metadata == {b"unit": b"secret"}
    out = qulo.encrypt_columns(tea, table, "v")
    # The untouched column is the same memory, not a copy.
    assert out.column("id").chunk(0).buffers()[1].address == \
        table.column("id").chunk(0).buffers()[1].address


def test_several_columns_at_once_and_each_only_once(tea):
    table = pa.table({"a": [b"x", None], "b": ["y", "z"], "c": [1, 2]})
    out = qulo.encrypt_columns(tea, table, iter(["b", "a", "b"]))
    assert out.column_names == ["a", "b", "c"] and out.column("c") == table.column("c")
    assert out.column("a").to_pylist() == encrypted(tea, [b"x", None])
    assert out.column("b").to_pylist() == encrypted(tea, ["y", "z"])


def counting_reader(batches, pulled):
    def source():
        for batch in batches:
            pulled.append(batch.num_rows)
            yield batch
    return pa.RecordBatchReader.from_batches(batches[0].schema, source())


def test_a_reader_is_changed_batch_by_batch_as_the_consumer_pulls(tea):
    batches = [pa.record_batch({"v": [b"%d" % i] * 5}) for i in range(4)]
    pulled = []
    out = qulo.encrypt_columns(tea, counting_reader(batches, pulled), "v")
    assert pulled == []
    first = out.read_next_batch()
    assert first.column(0).to_pylist() == encrypted(tea, [b"0"] * 5) and len(pulled) <= 2
    assert len(out.read_all()) == 15 and pulled == [5] * 4


def sliced_plan(batches):
    # A row before the others, sliced off in the plan: polars hands the
    # column over from there and does not say where that is.
    pl = library("polars")
    ahead = pl.DataFrame({"id": [0], "v": [b"x" * 16]})
    return pl.concat([ahead, pl.from_arrow(pa.Table.from_batches(batches))]).lazy().slice(1)


@pytest.mark.parametrize("data, named, index", [
    ("Table", "message 3", 3), ("reader", "message 3", 3), ("stream", "message 3", None),
    ("LazyFrame", "a value", None)])
def test_a_refused_ciphertext_is_named_by_column_and_index_among_all_rows(tea, data, named,
                                                                          index):
    good = tea.encrypt_qq(b"ok")
    batches = [pa.record_batch({"id": [1, 2], "v": [good, None]}),
               pa.record_batch({"id": [3, 4, 5], "v": [good, b"too short", good]})]
    source = {"Table": lambda: pa.Table.from_batches(batches),
              "reader": lambda: pa.RecordBatchReader.from_batches(batches[0].schema, batches),
              "stream": lambda: library("nanoarrow").ArrayStream(
                  pa.Table.from_batches(batches)),
              "LazyFrame": lambda: sliced_plan(batches)}[data]
    # Read through the C interface (a stream into pyarrow), the refusal
    # arrives as the consumer's own ValueError, with the text.
    with pytest.raises(qulo.DecryptionError if data != "stream" else ValueError,
                       match=f"column 'v': {named} cannot be decrypted: 9 bytes, fewer than 16"
                       ) as refused:
        as_table(qulo.decrypt_columns(tea, source(), "v"))
    if data != "stream":
        assert refused.value.index == index
    if index is not None:
        assert refused.value.reason == "short"
    out = as_table(qulo.decrypt_columns(tea, source(), "v", errors="null"))
    assert out.column("v").to_pylist() == [b"ok", None, b"ok", None, b"ok"]


def test_a_stream_is_read_once_and_keeps_the_key_it_was_given(tea):
    other = qulo.TEA(bytes(range(16)))
    key = qulo.TEA(tea.key)
    stream = qulo.encrypt_columns(key, library("nanoarrow").ArrayStream(
        pa.table({"v": [b"x"]})), "v")
    key.key = other.key  # after the call, before the stream is read
    assert repr(stream) == "<qulo ArrowStream (unread) of v: binary>"
    assert pa.table(stream).column("v").to_pylist() == [tea.encrypt_qq(b"x")]
    with pytest.raises(ValueError, match="has been read already"):
        pa.table(stream)


def test_what_consumers_make_of_a_stream(tea):
    pl, duckdb = library("polars"), library("duckdb")
    table = pa.table({"id": [1, 2], "v": [b"a", None]})

    def stream():
        return qulo.encrypt_columns(tea, library("arro3.core").Table.from_arrow(table), "v")
    want = encrypted(tea, [b"a", None])
    assert pa.RecordBatchReader.from_stream(stream()).read_all().column("v").to_pylist() == want
    assert pl.DataFrame(stream()).get_column("v").to_list() == want
    sealed = stream()  # noqa: F841 - DuckDB finds it by its name
    assert [v for (v,) in duckdb.sql("SELECT v FROM sealed ORDER BY id").fetchall()] == want


def dictionary_table():
    return pa.table({"v": pa.array([b"x", b"x"]).dictionary_encode()})


def polars_categorical():
    return library("polars").DataFrame({"v": ["a", "b"]}, schema={"v": library("polars").Categorical})


# (data, columns) -> (exception, its text)
REFUSALS = {
    "missing": (lambda: pa.table({"id": [1], "v": [b"x"]}), "nope",
                ValueError, "^no column 'nope' in the data; its columns are 'id', 'v'$"),
    "missing in polars": (lambda: library("polars").DataFrame({"v": [b"x"]}).lazy(), ["v", "w"],
                          ValueError, "^no column 'w' in the data; its columns are 'v'$"),
    "wrong type": (lambda: pa.table({"id": [1]}), "id", TypeError,
                   r"^column 'id' \(int64\) cannot be changed: an Arrow column of binary, "
                   r"large_binary or binary_view \(or string, .*not format 'l'$"),
    "wrong type in duckdb": (lambda: library("duckdb").sql("SELECT 1 AS i"), "i", TypeError,
                             r"^column 'i' \(int32\) cannot be changed: .*not format 'i'$"),
    "dictionary": (dictionary_table, "v", TypeError, r"^column 'v' \(dictionary<values=binary, "
                   r".*dictionary-encoded .*column.dictionary_decode\(\)"),
    "polars categorical": (polars_categorical, "v", TypeError,
                           r"^column 'v' \(Categorical.*dictionary-encoded"),
    "fixed size": (lambda: pa.table({"v": pa.array([b"ab"], pa.binary(2))}), "v", TypeError,
                   r"^column 'v' \(fixed_size_binary\[2\]\) .*column.cast\(pa.binary\(\)\)"),
    "struct": (lambda: pa.table({"s": [{"v": b"x"}]}), "s", TypeError,
               r"^column 's' \(struct<v: binary>\) cannot be changed: a struct of columns .*"
               r"table.flatten\(\)"),
    "pandas objects of mixed types": (lambda: library("pandas").DataFrame({"v": [b"x", 3]}), "v",
                                      TypeError, r"^column 'v' \(object\) cannot be changed: "),
    "one column": (lambda: pa.chunked_array([[b"x"]]), "v", TypeError,
                   "non-struct type binary; for one column use qulo.encrypt_many"),
    "no table": (lambda: [b"x"], "v", TypeError, "builtins.list is none of these$"),
    "no name": (lambda: pa.table({"v": [b"x"]}), [], ValueError, "names no column"),
    "a name that is no str": (lambda: pa.table({"v": [b"x"]}), ["v", 3], TypeError,
                              "must be a str or an iterable of str, not one holding int 3"),
    "names as bytes": (lambda: pa.table({"v": [b"x"]}), b"v", TypeError,
                       "must be a str or an iterable of str, not bytes$"),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refusals_name_the_column_its_type_and_what_to_do(tea, case):
    make, columns, kind, message = REFUSALS[case]
    with pytest.raises(kind, match=message):
        qulo.encrypt_columns(tea, make(), columns)


def test_every_column_is_checked_before_any_batch_is_read(tea):
    batches = [pa.record_batch({"v": [b"x"], "n": [1]})] * 3
    pulled = []
    with pytest.raises(TypeError, match="column 'n'"):
        qulo.encrypt_columns(tea, counting_reader(batches, pulled), ["v", "n"])
    with pytest.raises(TypeError, match="^errors must be 'raise' or 'null'"):
        qulo.decrypt_columns(tea, counting_reader(batches, pulled), "n", errors=None)
    assert pulled == []


def test_polars_frames_need_no_pyarrow_and_the_others_say_how_to_get_it(tmp_path):
    library("polars")
    (tmp_path / "pyarrow.py").write_text("raise ImportError('no pyarrow here')\n")
    code = ("import qulo, polars as pl\n"
            "t = qulo.TEA(bytes(16))\n"
            "df = pl.DataFrame({'id': [1, 2], 'v': [b'one', None]})\n"
            "back = qulo.decrypt_columns(t, qulo.encrypt_columns(t, df.lazy(), 'v'), 'v')\n"
            "assert back.collect().equals(df)\n"
            "class Bare:\n"
            "    __arrow_c_stream__ = df.__arrow_c_stream__\n"
            "try:\n"
            "    qulo.encrypt_columns(t, Bare(), 'v')\n"
            "except ImportError as e:\n"
            "    assert \"pip install 'qulo[arrow]'\" in str(e), e\n"
            "else:\n"
            "    raise AssertionError('no ImportError')\n")
    subprocess.run([sys.executable, "-c", code], check=True, cwd=tmp_path,
                   env={"PYTHONPATH": str(tmp_path)})
