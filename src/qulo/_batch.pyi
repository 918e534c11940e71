# Types of the extension module qulo._batch. Its public names are what the
# package re-exports; the calls are fronted by qulo._many.

from collections.abc import Buffer, Iterable
from types import CapsuleType
from typing import Any, Literal, final

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
    verify: bool = False,
) -> list[bytes | None]: ...

# The Arrow path: any Arrow column of binary, large_binary or binary_view, or
# of text of those layouts (an object with __arrow_c_stream__ or
# __arrow_c_array__) in, a binary column of the same layout out (text with
# as_text=True: the plaintexts checked as UTF-8).
@final
class ArrowColumn:
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> bytes | str | None: ...
    def to_pylist(self) -> list[bytes | str | None]: ...
    def __arrow_c_schema__(self) -> CapsuleType: ...
    def __arrow_c_array__(
        self, requested_schema: object | None = None
    ) -> tuple[CapsuleType, CapsuleType]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> CapsuleType: ...

def _encrypt_arrow(
    key: TEA | Buffer, column: Any, *, sumtable: Buffer | None = None, native_endian: bool = False
) -> ArrowColumn: ...
def _decrypt_arrow(
    key: TEA | Buffer,
    column: Any,
    *,
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    errors: Literal["raise", "null"] = "raise",
    verify: bool = False,
    as_text: bool = False,
) -> ArrowColumn: ...

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
