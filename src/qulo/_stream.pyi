# Types of the extension module qulo._stream: the qq mode in chunks.
#
# `data` takes any byte buffer that TEA's methods take (one dimension of
# contiguous unsigned bytes: bytes, bytearray, memoryview, array("B"),
# mmap ...), but not None; `out` must in addition be writable, which the
# type system cannot say (the runtime refuses a read-only buffer with
# BufferError).

from collections.abc import Buffer
from types import CapsuleType
from typing import Self, SupportsIndex, final

from ._tea import TEA

# Encrypts a plaintext of exactly `length` bytes, fed in chunks.
@final
class Encryptor:
    def __new__(
        cls,
        key: TEA | Buffer,
        length: SupportsIndex,
        *,
        sumtable: Buffer | None = None,
        native_endian: bool = False,
    ) -> Self: ...
    def update(self, /, data: Buffer) -> bytes: ...
    def update_into(self, /, data: Buffer, out: Buffer) -> int: ...
    def finalize(self, /) -> bytes: ...
    @staticmethod
    def max_output(n: SupportsIndex, /) -> int: ...

# Decrypts a ciphertext of any length, fed in chunks.
@final
class Decryptor:
    def __new__(
        cls,
        key: TEA | Buffer,
        *,
        sumtable: Buffer | None = None,
        native_endian: bool = False,
        verify: bool = False,
    ) -> Self: ...
    def update(self, /, data: Buffer) -> bytes: ...
    def update_into(self, /, data: Buffer, out: Buffer) -> int: ...
    def finalize(self, /) -> bytes: ...
    @staticmethod
    def max_output(n: SupportsIndex, /) -> int: ...
    @classmethod
    def check_length(cls, n: SupportsIndex, /) -> None: ...

# The incremental entry points for compiled callers (<qulo/capi.h>); each
# capsule is named "qulo." followed by the attribute name.
qulo_encryptor_init: CapsuleType
qulo_encryptor_update_len: CapsuleType
qulo_encryptor_update: CapsuleType
qulo_encryptor_finish: CapsuleType
qulo_encryptor_length: CapsuleType
qulo_encryptor_given: CapsuleType
qulo_encryptor_wipe: CapsuleType
qulo_decryptor_init: CapsuleType
qulo_decryptor_update_len: CapsuleType
qulo_decryptor_update: CapsuleType
qulo_decryptor_finish: CapsuleType
qulo_decryptor_given: CapsuleType
qulo_decryptor_wipe: CapsuleType
