"""Many messages per call: the vector-lane batch engine from Python.

``encrypt_many`` and ``decrypt_many`` take any iterable of byte buffers and
give a list, or an Arrow column of ``binary``, ``large_binary`` or
``binary_view`` from any Arrow library (an object with ``__arrow_c_stream__``
or ``__arrow_c_array__``) and give a column of the same layout, built from
its buffers without a Python object per message: a pyarrow array or chunked
array back for one, a polars Series (same name) for one, and otherwise a
``qulo.ArrowColumn`` that any Arrow library imports. Either way the
interpreter lock is released once for the whole batch.
"""

from __future__ import annotations

# The annotations are for readers; the checkers read _many.pyi, which has
# the overloads. Nothing here imports typing: `import qulo` stays cheap.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer
    from typing import Any, Literal

from . import _batch
from ._batch import ArrowColumn, batch_kernel
from ._tea import TEA

__all__ = ["encrypt_many", "decrypt_many", "batch_kernel", "ArrowColumn"]


def _is_arrow(messages: object) -> bool:
    kind = type(messages)
    return hasattr(kind, "__arrow_c_stream__") or hasattr(kind, "__arrow_c_array__")


def _same_kind(messages: Any, column: ArrowColumn) -> Any:
    """`column` as the kind of object `messages` is: pyarrow and polars
    through their public import of the PyCapsule interface; anything else
    gets the column itself."""
    library = type(messages).__module__.partition(".")[0]
    if library == "pyarrow":
        import pyarrow as pa  # type: ignore[import-untyped]

        if isinstance(messages, pa.ChunkedArray):
            return pa.chunked_array(column)
        if isinstance(messages, pa.Array):
            return pa.array(column)
    elif library == "polars":
        import polars as pl

        if isinstance(messages, pl.Series):
            # Through the stream, so that the Series keeps its chunks and
            # shares the column's buffers (polars asks for one array first).
            return pl.Series(_Stream(column)).alias(messages.name)
    return column


class _Stream:
    """Only the stream interface of a column."""

    def __init__(self, column: ArrowColumn) -> None:
        self.column = column

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self.column.__arrow_c_stream__(requested_schema)


def encrypt_many(
    key: TEA | Buffer,
    messages: Any,
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
) -> Any:
    """Encrypts every message with one key, side by side in vector lanes.

    `key` is a TEA object or its 16 key bytes. Without `sumtable` the
    standard sums are used (what ``TEA.encrypt_qq`` does); with a 64-byte
    table, what ``TEA.encrypt`` does, or ``TEA.encrypt_native_endian`` when
    `native_endian` is true. Each result is exactly the one-message
    ciphertext. Arrow nulls stay null.
    """
    if not _is_arrow(messages):
        return _batch._encrypt_list(key, messages, sumtable=sumtable, native_endian=native_endian)
    column = _batch._encrypt_arrow(key, messages, sumtable=sumtable, native_endian=native_endian)
    return _same_kind(messages, column)


def decrypt_many(
    key: TEA | Buffer,
    messages: Any,
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    errors: Literal["raise", "null"] = "raise",
    verify: bool = False,
) -> Any:
    """Decrypts every message with one key, side by side in vector lanes.

    The counterpart of :func:`encrypt_many`. A ciphertext that cannot be
    decrypted (shorter than 16 bytes, not a multiple of 8, or a 16-byte one
    whose header claims more fill than it holds) raises ValueError naming
    its index; with ``errors="null"`` it gives None (an Arrow null) instead.

    With ``verify=True`` each plaintext's seven trailing bytes, zeros before
    encryption, are checked too: a wrong key, a changed block or a cut at a
    block boundary fails (missed with odds 2**-56 per ciphertext), reported
    as a refused ciphertext is. Without it, as for one message, a wrong key
    or an altered ciphertext decrypts to garbage without error. Neither is
    authentication against someone who can choose ciphertexts.
    """
    if not _is_arrow(messages):
        return _batch._decrypt_list(key, messages, sumtable=sumtable, native_endian=native_endian,
                                    errors=errors, verify=verify)
    column = _batch._decrypt_arrow(key, messages, sumtable=sumtable, native_endian=native_endian,
                                   errors=errors, verify=verify)
    return _same_kind(messages, column)
