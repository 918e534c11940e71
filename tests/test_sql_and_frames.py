"""qulo's SQL functions in DuckDB (qulo.duckdb) and its polars expressions
(qulo.polars), against the one-message methods: NULLs kept, Parquet files of
several row groups, eager and lazy frames of several chunks."""

from __future__ import annotations

import random

import pytest

import qulo
from test_batch import VARIANTS, one_by_one


def values(seed=4, count=5000):
    rng = random.Random(seed)
    return [None if i % 11 == 5 else rng.randbytes(rng.randrange(50)) for i in range(count)]


def sealed(tea, items, method="encrypt_qq", kwargs=None):
    return [None if v is None else one_by_one(tea, method, [v], kwargs or {})[0] for v in items]


# ---- DuckDB ------------------------------------------------------------------------------


@pytest.fixture
def con():
    duckdb = pytest.importorskip("duckdb")
    pytest.importorskip("pyarrow")
    pytest.importorskip("numpy")  # DuckDB's Python functions need it
    import qulo.duckdb  # noqa: F401

    with duckdb.connect() as connection:
        yield connection


@pytest.mark.parametrize("variant", VARIANTS)
def test_duckdb_functions_against_the_methods_and_back(con, tea, variant):
    enc, _, kwargs = VARIANTS[variant]
    qulo.duckdb.register(con, tea, **kwargs)
    plain = values()  # more than one of DuckDB's vectors of 2048 rows
    con.execute("CREATE TABLE t (id INTEGER, payload BLOB, note VARCHAR)")
    con.executemany("INSERT INTO t VALUES (?, ?, ?)",
                    [(i, v, None if v is None else v.hex() + "é") for i, v in enumerate(plain)])
    rows = con.sql("SELECT qq_encrypt(payload), qq_decrypt(qq_encrypt(payload)), "
                   "qq_encrypt_text(note), qq_decrypt_text(qq_encrypt_text(note)) "
                   "FROM t ORDER BY id").fetchall()
    notes = [None if v is None else (v.hex() + "é") for v in plain]
    assert [r[0] for r in rows] == sealed(tea, plain, enc, kwargs)
    assert [r[1] for r in rows] == plain
    assert [r[2] for r in rows] == sealed(tea, [None if n is None else n.encode() for n in notes], enc, kwargs)
    assert [r[3] for r in rows] == notes


def test_duckdb_over_a_parquet_file_of_several_row_groups(con, tea, tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    plain = values(seed=5)
    source, sealed_file = tmp_path / "plain.parquet", tmp_path / "sealed.parquet"
    pq.write_table(pa.table({"id": range(len(plain)), "payload": pa.array(plain, pa.binary())}),
                   source, row_group_size=700)
    assert pq.ParquetFile(source).num_row_groups == 8
    qulo.duckdb.register(con, tea)
    con.execute(f"COPY (SELECT id, qq_encrypt(payload) AS payload FROM '{source}') "
                f"TO '{sealed_file}' (FORMAT parquet)")
    assert pq.read_table(sealed_file).sort_by("id").column("payload").to_pylist() == \
        sealed(tea, plain)
    back = con.sql(f"SELECT qq_decrypt(payload) FROM '{sealed_file}' ORDER BY id").fetchall()
    assert [b for (b,) in back] == plain


def test_duckdb_refusals_names_and_null_on_error(con, tea):
    qulo.duckdb.register(con, tea, encrypt="seal", decrypt_text=None)
    # The short value in the first of DuckDB's vectors and past it: the
    # index within a vector is no row number, so none is given.
    for query in ("SELECT qq_decrypt(x) FROM (VALUES (seal('a'::BLOB)), ('short'::BLOB)) t(x)",
                  "SELECT qq_decrypt(CASE WHEN i = 3000 THEN 'short'::BLOB ELSE seal('a'::BLOB) "
                  "END) FROM range(5000) t(i)"):
        with pytest.raises(Exception, match="qq_decrypt\\(\\): a value cannot be decrypted: "
                                            "5 bytes, fewer than 16") as refused:
            con.sql(query).fetchall()
        assert "message" not in str(refused.value)
    assert con.sql("SELECT seal(NULL::BLOB)").fetchall() == [(None,)]
    for left_out in ("qq_encrypt", "qq_decrypt_text"):
        with pytest.raises(Exception, match=f"{left_out} does not exist"):
            con.sql(f"SELECT {left_out}('a'::BLOB)").fetchall()
    other = pytest.importorskip("duckdb").connect()
    qulo.duckdb.register(other, tea, errors="null", verify=True)
    wrong = qulo.TEA(bytes(16)).encrypt_qq(b"another key")
    assert other.sql("SELECT qq_decrypt(?), qq_decrypt('short'::BLOB)", params=[wrong]
                     ).fetchall() == [(None, None)]
    with pytest.raises(ValueError, match="key must be 16 bytes"):
        qulo.duckdb.register(other, bytes(3))


# ---- polars ------------------------------------------------------------------------------


@pytest.fixture
def pl():
    polars = pytest.importorskip("polars")
    import qulo.polars  # noqa: F401 - registers the namespace

    return polars


def chunked_frame(pl, plain):
    # Three chunks, as a concat or a scan of several row groups gives.
    text = [None if v is None else v.hex() for v in plain]
    parts = [pl.DataFrame({"id": range(a, b), "p": plain[a:b], "s": text[a:b]},
                          schema={"id": pl.Int64, "p": pl.Binary, "s": pl.String})
             for a, b in ((0, 1000), (1000, 1001), (1001, len(plain)))]
    frame = pl.concat(parts, rechunk=False)
    assert frame.n_chunks() == 3
    return frame, text


@pytest.mark.parametrize("engine", ["eager", "in-memory", "streaming"])
def test_polars_expressions_in_every_engine(pl, tea, engine):
    plain = values(seed=6)
    frame, text = chunked_frame(pl, plain)
    seal = [pl.col("p").qulo.encrypt(tea), pl.col("s").qulo.encrypt(tea)]
    run = (lambda f, e: f.with_columns(e)) if engine == "eager" else \
        (lambda f, e: f.lazy().with_columns(e).collect(engine=engine))
    out = run(frame, seal)
    assert out.schema["p"] == out.schema["s"] == pl.Binary
    assert out.get_column("p").to_list() == sealed(tea, plain)
    assert out.get_column("s").to_list() == sealed(tea, [None if t is None else t.encode() for t in text])
    back = run(out, [pl.col("p").qulo.decrypt(tea), pl.col("s").qulo.decrypt(tea, as_text=True)])
    assert back.equals(frame)


def test_polars_expressions_in_a_group_context_and_on_error(pl, tea):
    frame = pl.DataFrame({"g": [1, 2, 1, 2], "p": [b"a", None, b"c", b"d"]})
    grouped = frame.group_by("g", maintain_order=True).agg(pl.col("p").qulo.encrypt(tea))
    assert grouped.get_column("p").to_list() == [sealed(tea, [b"a", b"c"]),
                                                 sealed(tea, [None, b"d"])]
    broken = pl.DataFrame({"p": [tea.encrypt_qq(b"ok"), b"short"]})
    with pytest.raises(qulo.DecryptionError, match="column 'p': message 1 cannot be decrypted"):
        broken.with_columns(pl.col("p").qulo.decrypt(tea))
    nulled = broken.lazy().select(pl.col("p").qulo.decrypt(tea, errors="null")).collect()
    assert nulled.get_column("p").to_list() == [b"ok", None]
    with pytest.raises(ValueError, match="key must be 16 bytes"):
        pl.col("p").qulo.encrypt(bytes(3))  # when the expression is made, not when it runs
    with pytest.raises(TypeError, match="errors must be 'raise' or 'null'"):
        pl.col("p").qulo.decrypt(tea, errors=None)
