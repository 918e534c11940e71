"""Many messages per call (see _many.py): the signatures, with an overload
per kind of collection."""

from collections.abc import Buffer, Iterable
from typing import Any, Literal, Protocol, TypeVar, overload

from ._batch import ArrowColumn as ArrowColumn
from ._batch import batch_kernel as batch_kernel
from ._tea import TEA

__all__ = ["encrypt_many", "decrypt_many", "batch_kernel", "ArrowColumn"]

class _ArrowColumn(Protocol):
    """What the signatures ask of an Arrow column: the PyCapsule interface
    (a pyarrow Array has only the first, a ChunkedArray or a polars Series
    only the second)."""

    def __len__(self) -> int: ...

_ArrowT = TypeVar("_ArrowT", bound=_ArrowColumn)

# A column as the kind of object the messages were (for qulo._columns).
def _same_kind(messages: Any, column: ArrowColumn) -> Any: ...

@overload
def encrypt_many(
    key: TEA | Buffer,
    messages: Iterable[Buffer],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
) -> list[bytes]: ...
@overload
def encrypt_many(
    key: TEA | Buffer,
    messages: _ArrowT,
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
) -> _ArrowT: ...
@overload
def decrypt_many(
    key: TEA | Buffer,
    messages: Iterable[Buffer],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    errors: Literal["raise"] = "raise",
    verify: bool = False,
) -> list[bytes]: ...
@overload
def decrypt_many(
    key: TEA | Buffer,
    messages: Iterable[Buffer],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    errors: Literal["null"],
    verify: bool = False,
) -> list[bytes | None]: ...
@overload
def decrypt_many(
    key: TEA | Buffer,
    messages: _ArrowT,
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    errors: Literal["raise", "null"] = "raise",
    verify: bool = False,
) -> _ArrowT: ...
