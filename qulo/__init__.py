"""TEA (16 cycles) in the padded, doubly chained qq mode."""

from ._tea import (
    TEA,
    encrypt_len,
    qulo_decrypt,
    qulo_decrypt_native_endian,
    qulo_decrypt_qq,
    qulo_encrypt,
    qulo_encrypt_len,
    qulo_encrypt_native_endian,
    qulo_encrypt_qq,
)

__all__ = [
    "TEA",
    "encrypt_len",
    "qulo_encrypt_qq",
    "qulo_decrypt_qq",
    "qulo_encrypt",
    "qulo_decrypt",
    "qulo_encrypt_native_endian",
    "qulo_decrypt_native_endian",
    "qulo_encrypt_len",
]
