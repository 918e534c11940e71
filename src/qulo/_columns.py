"""Columns where people hold them: named columns of tables and frames.

``encrypt_columns`` and ``decrypt_columns`` change the named columns of a
table and pass the others through untouched, on the Arrow path of
``encrypt_many`` (one call into ``qulo._batch`` per column, or per column of
each record batch of a stream). What comes back is the kind that went in:

- pyarrow ``Table``, ``RecordBatch``, ``RecordBatchReader`` (the reader's
  batches are changed one at a time, as the consumer pulls them);
- polars ``DataFrame``, and ``LazyFrame`` as a lazy plan (the columns are
  changed when the plan runs, in any engine), through polars itself, so
  these two need no pyarrow;
- pandas ``DataFrame`` (the changed columns become Arrow-backed);
- anything else with ``__arrow_c_stream__`` or ``__arrow_c_array__`` of a
  struct type (a DuckDB relation, nanoarrow, arro3, ...): an
  :class:`ArrowStream`, read lazily, that every consumer of the PyCapsule
  interface imports.

Every named column is checked from the schema before any value is read.
"""

from __future__ import annotations

# The annotations are for readers and checkers; nothing here imports typing
# at run time, so that `import qulo` stays cheap.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer, Callable, Iterable, Iterator
    from typing import Any, Literal, TypeVar, overload

    import polars as _pl

    # A polars frame comes back as its own kind. Anything else comes back as
    # itself (pyarrow's and pandas' kinds, which are untyped here) or as an
    # ArrowStream, which only Any says of both.
    _FrameT = TypeVar("_FrameT", _pl.DataFrame, _pl.LazyFrame)
else:
    def overload(function):  # typing's, whose signatures the last definition replaces
        return function

from . import _batch
from ._errors import DecryptionError
from ._many import _same_kind
from ._tea import TEA

__all__ = ["encrypt_columns", "decrypt_columns", "ArrowStream"]

_NEEDS_PYARROW = ("qulo.encrypt_columns and qulo.decrypt_columns need pyarrow for this kind of "
                  "data (only polars frames do without it): pip install 'qulo[arrow]'")


def _pyarrow() -> Any:
    try:
        import pyarrow as pa  # type: ignore[import-untyped]
    except ImportError as missing:
        raise ImportError(_NEEDS_PYARROW) from missing
    return pa


class _Work:
    """One direction with its options, applied to one column at a time.

    Slots rather than a dict: a buffer argument may run code that empties
    every dict holding it (tests/test_attacks.py), and the work must
    survive that."""

    __slots__ = ("run", "tea", "sumtable", "options")

    def __init__(self, run: Callable[..., _batch.ArrowColumn], tea: TEA | Buffer,
                 sumtable: Buffer | None, **options: Any) -> None:
        self.run = run
        self.tea = tea
        self.sumtable = sumtable
        self.options = options

    def check(self, empty: object) -> None:
        """The arguments tried on an empty binary column, so that a wrong
        key, table or option is refused as encrypt_many refuses it, before
        any column is looked at; then the key and the sum table are copied,
        so that a stream or a lazy plan read later uses the ones given now."""
        tea, table = self.tea, self.sumtable
        self.run(tea, empty, sumtable=table, **self.options)
        self.tea = TEA(tea.key) if isinstance(tea, TEA) else TEA(tea)
        self.sumtable = None if table is None else bytes(memoryview(table).cast("B"))

    def _run(self, column: object) -> _batch.ArrowColumn:
        return self.run(self.tea, column, sumtable=self.sumtable, **self.options)

    def column(self, column: object, label: str, offset: int | None = 0) -> _batch.ArrowColumn:
        """The column changed; a refused value named by `label` (its column)
        and its index among all rows (`offset` rows came before this batch).
        Offset None: where the batch starts is not known (a slice polars or
        DuckDB hands over), so the refusal names no index, not a wrong one."""
        try:
            return self._run(column)
        except DecryptionError as refused:
            index, text = refused.index, str(refused)
            if index is not None and offset != 0:
                counted = "a value " if offset is None else f"message {index + offset} "
                text = text.replace(f"message {index} ", counted, 1)
                index = None if offset is None else index + offset
            raise DecryptionError(f"{label}: {text}", refused.status, refused.reason,
                                  index) from None

    def probe(self, empty: object, name: str, kind: object) -> _batch.ArrowColumn:
        """The changed column's empty form; a column qulo cannot take is
        refused with its name, its type and the reader's advice."""
        try:
            return self._run(empty)
        except TypeError as refused:
            advice = str(refused)
            if advice.startswith("an Arrow table or record batch"):  # a struct column
                advice = ("a struct of columns cannot be taken: name its binary or string "
                          "fields as columns of their own (pyarrow: table.flatten(); polars: "
                          ".unnest())")
            raise TypeError(f"column {name!r} ({kind}) cannot be changed: {advice}") from None


def _names(columns: str | Iterable[str]) -> list[str]:
    if isinstance(columns, str):
        names = [columns]
    elif isinstance(columns, (bytes, bytearray)) or not hasattr(columns, "__iter__"):
        raise TypeError(f"columns must be a str or an iterable of str, not "
                        f"{type(columns).__name__}")
    else:
        names = list(columns)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"columns must be a str or an iterable of str, not one holding "
                            f"{type(name).__name__} {name!r}")
    if not names:
        raise ValueError("columns names no column: name at least one to change")
    return list(dict.fromkeys(names))


def _missing(names: list[str], present: list[str]) -> None:
    absent = [n for n in names if n not in present]
    if absent:
        listed = ", ".join(repr(n) for n in present[:20]) or "none"
        if len(present) > 20:
            listed += f", ... ({len(present)} in all)"
        raise ValueError(f"no column {absent[0]!r} in the data; its columns are {listed}")


def _change(data: Any, columns: str | Iterable[str], work: _Work) -> Any:
    names = _names(columns)
    library = type(data).__module__.partition(".")[0]
    if library == "polars":
        import polars as pl

        if isinstance(data, (pl.DataFrame, pl.LazyFrame)):
            return _polars(pl, data, names, work)
    elif library == "pandas":
        import pandas as pd  # type: ignore[import-untyped]

        if isinstance(data, pd.DataFrame):
            return _pandas(_pyarrow(), pd, data, names, work)
    pa = _pyarrow()
    if isinstance(data, pa.Table):
        return _table(pa, data, names, work)
    if isinstance(data, pa.RecordBatch):
        schema, changed = _plan(pa, data.schema, names, work)
        return _batch_of(pa, data, schema, changed, work, 0)
    if isinstance(data, pa.RecordBatchReader):
        return _reader(pa, data, names, work)
    return ArrowStream(_reader(pa, _import(pa, data), names, work))


def _import(pa: Any, data: Any) -> Any:
    """Any other producer as a pyarrow reader; nothing is read yet."""
    kind = type(data)
    try:
        if hasattr(kind, "__arrow_c_stream__"):
            return pa.RecordBatchReader.from_stream(data)
        if hasattr(kind, "__arrow_c_array__"):
            batch = pa.record_batch(data)
            return pa.RecordBatchReader.from_batches(batch.schema, [batch])
    except (pa.ArrowInvalid, pa.ArrowTypeError) as refused:
        raise TypeError(f"the data must be a table, a record batch or a stream of them (Arrow "
                        f"struct type), with named columns: {refused}; for one column use "
                        "qulo.encrypt_many or qulo.decrypt_many") from None
    raise TypeError(f"the data must be a table or frame: an object with __arrow_c_stream__ "
                    f"or __arrow_c_array__, or a polars or pandas frame; "
                    f"{kind.__module__}.{kind.__qualname__} is none of these")


# ---- pyarrow ------------------------------------------------------------------------------


def _empty(pa: Any, kind: Any) -> Any:
    """An empty array of this type. Not pa.array([]): to convert a Python
    list pyarrow imports pandas where it is installed, which takes a quarter
    of a second or more (the `qulo` command pays it on every run)."""
    return pa.nulls(0, kind)


def _plan(pa: Any, schema: Any, names: list[str], work: _Work) -> tuple[Any, list[int]]:
    """The changed schema and the indices of the changed fields, every
    named field checked first."""
    _missing(names, schema.names)
    work.check(_empty(pa, pa.binary()))
    changed = [i for i, field in enumerate(schema) if field.name in names]
    for i in changed:
        field = schema.field(i)
        out = work.probe(_empty(pa, field.type), field.name, field.type)
        schema = schema.set(i, field.with_type(pa.array(out).type))
    return schema, changed


def _table(pa: Any, table: Any, names: list[str], work: _Work) -> Any:
    schema, changed = _plan(pa, table.schema, names, work)
    return _table_of(pa, table, schema, changed, work, 0)


def _table_of(pa: Any, table: Any, schema: Any, changed: list[int], work: _Work,
              offset: int) -> Any:
    """A table (or a slice of a larger one, after `offset` rows: a row
    group) changed as `_plan` planned it."""
    for i in changed:
        # All the column's chunks in one call, chunked as they came.
        label = f"column {schema.field(i).name!r}"
        column = pa.chunked_array(work.column(table.column(i), label, offset))
        table = table.set_column(i, schema.field(i), column)
    return table


def _batch_of(pa: Any, batch: Any, schema: Any, changed: list[int], work: _Work,
              offset: int) -> Any:
    arrays = batch.columns
    for i in changed:
        arrays[i] = pa.array(work.column(arrays[i], f"column {schema.field(i).name!r}", offset))
    return pa.RecordBatch.from_arrays(arrays, schema=schema)


def _reader(pa: Any, reader: Any, names: list[str], work: _Work) -> Any:
    schema, changed = _plan(pa, reader.schema, names, work)

    def batches() -> Iterator[Any]:
        offset = 0
        with reader:
            for batch in reader:
                yield _batch_of(pa, batch, schema, changed, work, offset)
                offset += batch.num_rows

    return pa.RecordBatchReader.from_batches(schema, batches())


class ArrowStream:
    """The changed table of a producer that is neither pyarrow, polars nor
    pandas: a stream of record batches, each changed when the consumer pulls
    it, read once. Every consumer of the Arrow PyCapsule interface imports
    it: pyarrow (``pa.table``, ``pa.RecordBatchReader.from_stream``), polars
    (``pl.DataFrame``), DuckDB (a query naming it), ..."""

    def __init__(self, reader: Any) -> None:
        self._reader: Any = reader
        self._schema = reader.schema

    def __arrow_c_schema__(self) -> object:
        return self._schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        reader, self._reader = self._reader, None
        if reader is None:
            raise ValueError("this qulo ArrowStream has been read already: a stream is read once")
        return reader.__arrow_c_stream__(requested_schema)

    def __repr__(self) -> str:
        fields = ", ".join(f"{f.name}: {f.type}" for f in self._schema)
        state = "read" if self._reader is None else "unread"
        return f"<qulo ArrowStream ({state}) of {fields}>"


# ---- polars and pandas --------------------------------------------------------------------


def _polars_dtype(pl: Any, work: _Work) -> Any:
    return pl.String if work.options.get("as_text") else pl.Binary


def _polars_series(work: _Work, series: Any, offset: int | None = 0) -> Any:
    """One Series changed: the same name and chunks, nulls kept."""
    return _same_kind(series, work.column(series, f"column {series.name!r}", offset))


def _polars_expression(pl: Any, expression: Any, work: _Work, offset: int | None = 0) -> Any:
    # Value by value, so elementwise: polars may hand over any slice (the
    # streaming engine, a group's values) and still get the same values.
    return expression.map_batches(lambda series: _polars_series(work, series, offset),
                                  return_dtype=_polars_dtype(pl, work), is_elementwise=True)


def _polars_check_work(pl: Any, work: _Work) -> None:
    """The arguments tried on polars' own empty column: no pyarrow needed."""
    work.check(pl.Series([], dtype=pl.Binary))


def _polars_check(pl: Any, schema: Any, names: list[str], work: _Work) -> None:
    _missing(names, list(schema))
    _polars_check_work(pl, work)
    for name in names:
        work.probe(pl.Series(name, [], dtype=schema[name]), name, schema[name])


def _polars(pl: Any, frame: Any, names: list[str], work: _Work) -> Any:
    if isinstance(frame, pl.LazyFrame):
        _polars_check(pl, frame.collect_schema(), names, work)
        # Polars hands over slices whose place in the frame it does not tell.
        return frame.with_columns([_polars_expression(pl, pl.col(n), work, None)
                                   for n in names])
    _polars_check(pl, frame.schema, names, work)
    return frame.with_columns([_polars_series(work, frame.get_column(n)) for n in names])


def _pandas(pa: Any, pd: Any, frame: Any, names: list[str], work: _Work) -> Any:
    _missing(names, list(frame.columns))
    work.check(_empty(pa, pa.binary()))
    held = {}
    for name in names:
        try:  # Arrow-backed, its chunks; else converted (objects are read here)
            column = pa.array(frame[name], from_pandas=True)
        except (pa.ArrowInvalid, pa.ArrowTypeError) as refused:
            raise TypeError(f"column {name!r} ({frame[name].dtype}) cannot be changed: "
                            f"{refused}") from None
        if not isinstance(column, pa.ChunkedArray):
            column = pa.chunked_array([column])
        work.probe(column.slice(0, 0), name, frame[name].dtype)
        held[name] = column
    changed = {}
    for name, column in held.items():
        out = pa.chunked_array(work.column(column, f"column {name!r}"))
        changed[name] = pd.Series(pd.arrays.ArrowExtensionArray(out), index=frame.index,
                                  name=name)
    return frame.assign(**changed)


# ---- the calls ----------------------------------------------------------------------------


@overload
def encrypt_columns(
    tea: TEA | Buffer,
    data: _FrameT,
    columns: str | Iterable[str],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
) -> _FrameT: ...


# Without polars installed its frames are Any to a checker, and the first
# signature then takes every call.
@overload
def encrypt_columns(  # type: ignore[overload-cannot-match, unused-ignore]
    tea: TEA | Buffer,
    data: object,
    columns: str | Iterable[str],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
) -> Any: ...


def encrypt_columns(
    tea: TEA | Buffer,
    data: object,
    columns: str | Iterable[str],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
) -> Any:
    """Encrypts the named columns of a table or frame; the others pass
    through untouched.

    `data` is a pyarrow Table, RecordBatch or RecordBatchReader, a polars
    DataFrame or LazyFrame, a pandas DataFrame, or any object with
    ``__arrow_c_stream__`` (or ``__arrow_c_array__``) of a struct type; the
    same kind comes back, or else a lazily read :class:`ArrowStream`.
    `columns` is a name or an iterable of names; each must be a column of
    binary, large_binary or binary_view, or of text (string, large_string,
    string_view: its UTF-8 bytes are encrypted), checked from the schema
    before any value is read. A changed column becomes binary of its width
    (large_binary, binary_view), keeping its name, nullability and field
    metadata; nulls stay null. `tea`, `sumtable` and `native_endian` are as
    for :func:`encrypt_many`. Needs pyarrow except for polars frames.
    """
    return _change(data, columns, _Work(_batch._encrypt_arrow, tea, sumtable,
                                        native_endian=native_endian))


@overload
def decrypt_columns(
    tea: TEA | Buffer,
    data: _FrameT,
    columns: str | Iterable[str],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    verify: bool = False,
    errors: Literal["raise", "null"] = "raise",
    as_text: bool = False,
) -> _FrameT: ...


@overload
def decrypt_columns(  # type: ignore[overload-cannot-match, unused-ignore]
    tea: TEA | Buffer,
    data: object,
    columns: str | Iterable[str],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    verify: bool = False,
    errors: Literal["raise", "null"] = "raise",
    as_text: bool = False,
) -> Any: ...


def decrypt_columns(
    tea: TEA | Buffer,
    data: object,
    columns: str | Iterable[str],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    verify: bool = False,
    errors: Literal["raise", "null"] = "raise",
    as_text: bool = False,
) -> Any:
    """Decrypts the named columns of a table or frame; the others pass
    through untouched.

    The counterpart of :func:`encrypt_columns`, with the options of
    :func:`decrypt_many`: a ciphertext that cannot be decrypted (or fails
    ``verify=True``) raises DecryptionError naming its column and its index
    among all rows (a LazyFrame's names no index: polars runs the plan on
    slices whose place it does not tell), or becomes null with
    ``errors="null"``. With ``as_text=True`` the columns come back as text
    (string, large_string, string_view), each plaintext checked as UTF-8
    (reason ``"text"``).
    """
    return _change(data, columns, _Work(_batch._decrypt_arrow, tea, sumtable,
                                        native_endian=native_endian, errors=errors,
                                        verify=verify, as_text=as_text))
