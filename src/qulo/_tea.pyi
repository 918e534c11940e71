# Types of the extension module qulo._tea.
#
# Every byte argument takes any object that exports a one-dimensional,
# contiguous buffer of bytes, or None (an empty one). `out` must in addition
# be writable (bytearray, a writable memoryview, ...); the type system cannot
# say so, and the runtime refuses a read-only buffer with BufferError.

from collections.abc import Buffer
from types import CapsuleType
from typing import Any, ClassVar, NoReturn, Self, SupportsInt, final

# One 16-byte key, ready for the twelve cipher methods.
@final
class TEA:
    # Unnamed capsule whose pointer is the type's C-level method table
    # (qulo_tea_methods in <qulo/capi.h>).
    __qulo_methods__: ClassVar[CapsuleType]

    def __new__(cls, key: Buffer | None) -> Self: ...

    # The key, 16 bytes, read back big-endian from its four words. It can be
    # replaced but not deleted: deletion raises NotImplementedError, so the
    # stub declares no deleter.
    @property
    def key(self) -> bytes: ...
    @key.setter
    def key(self, value: Buffer | None) -> None: ...

    # Standard round sums, blocks read big-endian.
    def encrypt_qq(self, text: Buffer | None) -> bytes: ...
    def encrypt_qq_into(self, text: Buffer | None, out: Buffer | None) -> int: ...
    def decrypt_qq(self, text: Buffer | None) -> bytes: ...
    def decrypt_qq_into(self, text: Buffer | None, out: Buffer | None) -> int: ...

    # A 64-byte sum table (sixteen 32-bit sums, host byte order), blocks
    # read big-endian.
    def encrypt(self, text: Buffer | None, sumtable: Buffer | None) -> bytes: ...
    def encrypt_into(
        self, text: Buffer | None, sumtable: Buffer | None, out: Buffer | None
    ) -> int: ...
    def decrypt(self, text: Buffer | None, sumtable: Buffer | None) -> bytes: ...
    def decrypt_into(
        self, text: Buffer | None, sumtable: Buffer | None, out: Buffer | None
    ) -> int: ...

    # A 64-byte sum table, blocks read in host byte order.
    def encrypt_native_endian(self, text: Buffer | None, sumtable: Buffer | None) -> bytes: ...
    def encrypt_native_endian_into(
        self, text: Buffer | None, sumtable: Buffer | None, out: Buffer | None
    ) -> int: ...
    def decrypt_native_endian(self, text: Buffer | None, sumtable: Buffer | None) -> bytes: ...
    def decrypt_native_endian_into(
        self, text: Buffer | None, sumtable: Buffer | None, out: Buffer | None
    ) -> int: ...

    # Objects cannot be pickled or copied: both always raise TypeError.
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

# Ciphertext length for a plaintext of `src` bytes (any object with __int__).
def encrypt_len(src: SupportsInt) -> int: ...

# The cipher's C entry points, for compiled callers; each capsule is named
# "qulo." followed by the attribute name.
qulo_encrypt_qq: CapsuleType
qulo_decrypt_qq: CapsuleType
qulo_encrypt: CapsuleType
qulo_decrypt: CapsuleType
qulo_encrypt_native_endian: CapsuleType
qulo_decrypt_native_endian: CapsuleType
qulo_encrypt_len: CapsuleType

__test__: dict[str, Any]
