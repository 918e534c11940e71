"""Many messages per call: the vector-lane batch engine from Python.

``encrypt_many`` and ``decrypt_many`` take any iterable of byte buffers and
give a list, or a pyarrow ``binary`` / ``large_binary`` array (or a chunked
array of them) and give the same Arrow type, built from the array's buffers
without a Python object per message. Either way the interpreter lock is
released once for the whole batch.
"""

from __future__ import annotations

import sys
from collections.abc import Buffer, Iterable
from typing import Any, Literal, Protocol, TypeVar, overload

from . import _batch
from ._batch import batch_kernel
from ._tea import TEA

__all__ = ["encrypt_many", "decrypt_many", "batch_kernel"]


class _ArrowArray(Protocol):
    """What the signatures ask of a pyarrow Array or ChunkedArray (pyarrow
    itself ships no types)."""

    @property
    def type(self) -> Any: ...
    def __len__(self) -> int: ...


_ArrowT = TypeVar("_ArrowT", bound=_ArrowArray)


def _arrow_module(messages: object) -> Any:
    """pyarrow, when `messages` is one of its arrays; None otherwise.

    pyarrow is imported only by whoever made the array, so an array can only
    exist once it is in sys.modules.
    """
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(messages, (pa.Array, pa.ChunkedArray)):
        return pa
    return None


def _chunk_spec(pa: Any, chunk: Any, large: bool) -> tuple[Any, ...]:
    validity, offsets, data = chunk.buffers()
    return (len(chunk), chunk.offset, validity, offsets, data, 8 if large else 4)


def _through_arrow(pa: Any, messages: Any, call: Any, *args: Any) -> Any:
    kind = messages.type
    if kind != pa.binary() and kind != pa.large_binary():
        raise TypeError(f"an Arrow array of binary or large_binary is needed, not {kind}")
    large = kind == pa.large_binary()
    chunked = isinstance(messages, pa.ChunkedArray)
    chunks = messages.chunks if chunked else [messages]
    results = call(args[0], [_chunk_spec(pa, c, large) for c in chunks], *args[1:])
    arrays = [
        pa.Array.from_buffers(
            kind,
            len(chunk),
            [None if validity is None else pa.py_buffer(validity),
             pa.py_buffer(offsets), pa.py_buffer(data)],
            null_count=nulls,
        )
        for chunk, (validity, offsets, data, nulls) in zip(chunks, results)
    ]
    return pa.chunked_array(arrays, type=kind) if chunked else arrays[0]


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
    pa = _arrow_module(messages)
    if pa is None:
        return _batch._encrypt_list(key, messages, sumtable=sumtable, native_endian=native_endian)
    return _through_arrow(pa, messages, _batch._encrypt_arrow, key, sumtable, native_endian)


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
    pa = _arrow_module(messages)
    if pa is None:
        return _batch._decrypt_list(key, messages, sumtable=sumtable, native_endian=native_endian,
                                    errors=errors, verify=verify)
    return _through_arrow(pa, messages, _batch._decrypt_arrow, key, sumtable, native_endian, errors,
                          verify)
