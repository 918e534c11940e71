"""The ``qulo`` command's Parquet path (--columns): the named columns of a
Parquet file changed row group by row group, each row group written as soon
as it is done, so that memory follows the size of a row group, not of the
file. The command loads this module (and pyarrow with it) only when
--columns is given.

:func:`open_columns` opens the input and checks the columns against its
schema before anything is written; :meth:`Columns.write` then writes the
whole file into a sink (an :class:`~qulo._sinks.AtomicSink`, which the
command commits or aborts).
"""

from __future__ import annotations

import contextlib
import itertools
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from . import _batch
from ._columns import _plan, _table_of, _Work
from ._failures import BadInput, IOFailure, os_error
from ._sinks import AtomicSink, FdSink, Output, same_file
from ._sources import Progress, Source
from ._tea import TEA

# What the column chunks' metadata names a codec, as the writer takes it;
# a codec pyarrow cannot write (LZO) leaves the writer's default.
_CODECS = {"UNCOMPRESSED": "NONE", "SNAPPY": "SNAPPY", "GZIP": "GZIP", "BROTLI": "BROTLI",
           "LZ4": "LZ4", "LZ4_RAW": "LZ4", "ZSTD": "ZSTD"}
_VERSIONS = frozenset({"1.0", "2.4", "2.6"})
_ARROW_SCHEMA = b"ARROW:schema"  # the writer makes its own from the schema it is given


class _Into:
    """The sink as the file object the Parquet writer writes to: every byte
    reaches the sink or the run fails (the sink's errors pass through the
    writer as they are). Once the run has failed it is detached, and the
    writer's own closing (even when the writer is collected) writes nothing."""

    closed = False

    def __init__(self, sink: Output) -> None:
        self._sink: Output | None = sink
        self._at = 0

    def write(self, data: Any) -> int:
        view = memoryview(data)
        if self._sink is not None:
            self._sink.write(view)
        self._at += view.nbytes
        return view.nbytes

    def tell(self) -> int:
        return self._at

    def writable(self) -> bool:
        return True

    def flush(self) -> None:
        pass

    def close(self) -> None:
        pass  # the command commits or aborts the sink

    def detach(self) -> None:
        self._sink = None


class Columns:
    """A Parquet file with the plan of what changes in it."""

    def __init__(self, source: Source, native: Any, file: Any, schema: Any, changed: list[int],
                 work: _Work) -> None:
        self._source = source
        self._native = native
        self._file = file
        self._schema = schema
        self._changed_columns = changed
        self._work = work
        meta = file.metadata
        self._groups = meta.num_row_groups
        # The bytes of each row group in the file: what progress counts.
        self.sizes = [sum(meta.row_group(g).column(c).total_compressed_size
                          for c in range(meta.num_columns)) for g in range(self._groups)]
        # The rows before each row group: where a refused value's row is counted from.
        self._starts = list(itertools.accumulate(
            (meta.row_group(g).num_rows for g in range(self._groups)), initial=0))
        self._options = _kept_options(meta)
        # Key-value metadata of the file that the Arrow schema does not hold.
        held = schema.metadata or {}
        self._extra = {k: v for k, v in (meta.metadata or {}).items()
                       if k != _ARROW_SCHEMA and k not in held}

    def close(self) -> None:
        self._native.close()

    def _read(self, group: int) -> Any:
        try:
            return self._file.read_row_group(group)
        except OSError as e:
            raise IOFailure(f"cannot read {self._source.name}: {os_error(e)}") from None
        except pa.ArrowException as e:  # a damaged file
            raise IOFailure(f"cannot read {self._source.name}: row group {group}: {e}") from None

    def _changed(self, group: int) -> Any:
        return _table_of(pa, self._read(group), self._schema, self._changed_columns, self._work,
                         self._starts[group])

    def write(self, sink: AtomicSink | FdSink, progress: Progress) -> None:
        """The whole file, changed, into the sink: the same row groups, the
        other columns as they were, the schema's metadata and the fields',
        the file's key-value metadata, each column's codec. A refused value
        raises DecryptionError naming its column and row."""
        into = _Into(sink)
        writer = pq.ParquetWriter(into, self._schema, **self._options)
        try:
            if self._extra:  # pyarrow 17 on; CPython 3.13 has no older one
                writer.add_key_value_metadata(self._extra)
            # The next row group is read and changed on a thread while this
            # one is written: reading, the cipher and the writer each let go
            # of the interpreter, so on two cores the cipher's time hides
            # behind the writer's. Two changed row groups are held at most;
            # however the run ends, the one in hand is waited for (one not
            # yet begun is dropped) before the file it reads is closed.
            ahead = ThreadPoolExecutor(1, thread_name_prefix="qulo-parquet")
            try:
                if self._groups:
                    coming = ahead.submit(self._changed, 0)
                for group in range(self._groups):
                    table = coming.result()
                    if group + 1 < self._groups:
                        coming = ahead.submit(self._changed, group + 1)
                    writer.write_table(table, row_group_size=max(table.num_rows, 1))
                    del table
                    progress(self.sizes[group])
            finally:
                ahead.shutdown(cancel_futures=True)
            writer.close()
        except BaseException as e:
            into.detach()
            with contextlib.suppress(Exception):
                writer.close()
            if isinstance(e, pa.ArrowException):  # the sink's own failures pass as they are
                raise IOFailure(f"cannot write {sink.name}: {e}") from None
            raise


def _kept_options(meta: Any) -> dict[str, Any]:
    """The writer's options that keep what the file's metadata tells:
    its format version and each column's codec."""
    options: dict[str, Any] = {}
    if meta.format_version in _VERSIONS:
        options["version"] = meta.format_version
    if meta.num_row_groups:
        group = meta.row_group(0)
        codecs = {}
        for c in range(meta.num_columns):
            chunk = group.column(c)
            if chunk.compression in _CODECS:
                codecs[chunk.path_in_schema] = _CODECS[chunk.compression]
        options["compression"] = codecs
    return options


def open_columns(source: Source, path: str, names: list[str], command: str, tea: TEA,
                 sumtable: bytes | None, **options: Any) -> Columns:
    """The input (`source`, opened from `path`) as a Parquet file whose
    named columns the command ("encrypt" or "decrypt", with the options of
    encrypt_columns or decrypt_columns) can change, or BadInput saying why
    not; nothing is read but the footer."""
    run = _batch._encrypt_arrow if command == "encrypt" else _batch._decrypt_arrow
    work = _Work(run, tea, sumtable, **options)
    # Read through a file of pyarrow's own, not a Python one: the buffers
    # read from a Python file are Python objects, and a pyarrow thread that
    # lets go of one while the interpreter shuts down (after a refusal)
    # aborts the process. It must be the file the run opened and checked
    # against the output.
    try:
        native = pa.OSFile(path)
    except OSError as e:
        raise IOFailure(f"cannot read {source.name}: {os_error(e)}") from None
    try:
        if not same_file(os.fstat(native.fileno()), source.file):
            raise IOFailure(f"cannot read {source.name}: it was replaced while being opened")
        try:
            file = pq.ParquetFile(native)
        except OSError as e:
            raise IOFailure(f"cannot read {source.name}: {os_error(e)}") from None
        except pa.ArrowException as e:
            raise BadInput(f"INPUT: {source.name} is not a Parquet file ({e}); --columns reads "
                           "Parquet files") from None
        try:
            schema, changed = _plan(pa, file.schema_arrow, names, work)
        except (ValueError, TypeError) as e:
            raise BadInput(f"--columns: {str(e).replace(' in the data;', f' in {source.name};')}") from None
    except BaseException:
        native.close()
        raise
    return Columns(source, native, file, schema, changed, work)
