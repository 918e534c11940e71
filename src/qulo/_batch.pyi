# Types of the extension module qulo._batch. Its public names are what the
# package re-exports; the calls are fronted by qulo._many, which also takes
# pyarrow arrays.

from collections.abc import Buffer, Iterable
from types import CapsuleType
from typing import Any, Literal

from ._tea import TEA

def _encrypt_list(
    key: TEA | Buffer,
    messages: Iterable[Buffer],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
) -> list[bytes]: ...
def _decrypt_list(
    key: TEA | Buffer,
    messages: Iterable[Buffer],
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    errors: Literal["raise", "null"] = "raise",
) -> list[bytes | None]: ...

# The Arrow path: per chunk (length, offset, validity, offsets, data, offset
# width) in, (validity or None, offsets, data, null count) out.
def _encrypt_arrow(
    key: TEA | Buffer, chunks: list[tuple[Any, ...]], sumtable: Buffer | None, native_endian: bool, /
) -> list[tuple[bytes | None, bytes, bytes, int]]: ...
def _decrypt_arrow(
    key: TEA | Buffer,
    chunks: list[tuple[Any, ...]],
    sumtable: Buffer | None,
    native_endian: bool,
    errors: Literal["raise", "null"],
    /,
) -> list[tuple[bytes | None, bytes, bytes, int]]: ...

# The kernel in use ("avx512", "avx2", "neon" or "scalar"); RuntimeError when
# QULO_BATCH_KERNEL names one this CPU cannot run.
def batch_kernel() -> str: ...
def _kernels() -> tuple[str, ...]: ...
def _known_kernels() -> tuple[str, ...]: ...
def _select_kernel(name: str | None, /) -> None: ...

# The batch entry points for compiled callers (<qulo/capi.h>); each capsule
# is named "qulo." followed by the attribute name.
qulo_batch_encrypt_qq: CapsuleType
qulo_batch_decrypt_qq: CapsuleType
qulo_batch_encrypt: CapsuleType
qulo_batch_decrypt: CapsuleType
qulo_batch_encrypt_native_endian: CapsuleType
qulo_batch_decrypt_native_endian: CapsuleType
qulo_batch_kernel: CapsuleType
