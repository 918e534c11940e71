"""A plain, slow, pure-Python model of qulo's cipher.

TEA with sixteen cycles in the padded, doubly chained qq mode, written for
clarity rather than speed. The tests take their known answers from it and the
benchmarks use it as the straightforward baseline. It models a little-endian
host: "native" byte order and the sum table's word order are little-endian.

Every function is pure and works on immutable bytes.
"""

from __future__ import annotations

import struct
from typing import Literal

DELTA = 0x9E3779B9
CYCLES = 16
BLOCK = 8
MIN_CIPHERTEXT = 16
MASK32 = 0xFFFFFFFF

Key = tuple[int, int, int, int]
Sums = tuple[int, ...]


# ---- key and round sums -----------------------------------------------------


def key_words(key: bytes) -> Key:
    """The four key words k0..k3, each read big-endian from four key bytes."""
    if len(key) != 16:
        raise ValueError("a key is 16 bytes")
    k0, k1, k2, k3 = struct.unpack(">4I", key)
    return k0, k1, k2, k3


def standard_sums() -> Sums:
    """S(r) = r * DELTA mod 2**32 for the cycles r = 1..16."""
    return tuple(r * DELTA & MASK32 for r in range(1, CYCLES + 1))


def sumtable_bytes(sums: Sums, byteorder: Literal["little", "big"] = "little") -> bytes:
    """Lay sixteen round sums out as a 64-byte table (host order by default)."""
    if len(sums) != CYCLES:
        raise ValueError("a sum table holds 16 sums")
    return b"".join(s.to_bytes(4, byteorder) for s in sums)


def standard_sumtable() -> bytes:
    """The standard sums as a 64-byte table in host (little-endian) order."""
    return sumtable_bytes(standard_sums())


def table_sums(sumtable: bytes) -> Sums:
    """The sixteen round sums held in a 64-byte host-order table, used as they stand."""
    if len(sumtable) != 4 * CYCLES:
        raise ValueError("a sum table is 64 bytes")
    return struct.unpack("<16I", sumtable)


# ---- block transform --------------------------------------------------------


def encrypt_block(k: Key, sums: Sums, block: int) -> int:
    """Encrypt one 64-bit block value: hi is its high half, lo its low half."""
    k0, k1, k2, k3 = k
    hi, lo = block >> 32, block & MASK32
    for s in sums:
        hi = (hi + ((((lo << 4) + k0) ^ (lo + s) ^ ((lo >> 5) + k1)) & MASK32)) & MASK32
        lo = (lo + ((((hi << 4) + k2) ^ (hi + s) ^ ((hi >> 5) + k3)) & MASK32)) & MASK32
    return hi << 32 | lo


def decrypt_block(k: Key, sums: Sums, block: int) -> int:
    """Undo encrypt_block: the same cycles in reverse, sums from last to first."""
    k0, k1, k2, k3 = k
    hi, lo = block >> 32, block & MASK32
    for s in reversed(sums):
        lo = (lo - ((((hi << 4) + k2) ^ (hi + s) ^ ((hi >> 5) + k3)) & MASK32)) & MASK32
        hi = (hi - ((((lo << 4) + k0) ^ (lo + s) ^ ((lo >> 5) + k1)) & MASK32)) & MASK32
    return hi << 32 | lo


def read_block(chunk: bytes, native: bool) -> int:
    """8 bytes as one 64-bit value: big-endian, or host order (all 8 bytes reversed)."""
    return int.from_bytes(chunk, "little" if native else "big")


def write_block(value: int, native: bool) -> bytes:
    return value.to_bytes(BLOCK, "little" if native else "big")


# ---- qq mode ----------------------------------------------------------------


def fill_count(n: int) -> int:
    """Zero fill bytes beyond the mandatory two, for an n-byte plaintext (n >= 0)."""
    return 7 - (n + 1) % 8


def pad(text: bytes) -> bytes:
    """Header 0xF8|p, p + 2 zero bytes, the text, seven zero bytes."""
    p = fill_count(len(text))
    return bytes([0xF8 | p]) + bytes(p + 2) + text + bytes(7)


def encrypt_len(n: int) -> int:
    """n - ((n + 1) rem 8) + 17, where rem truncates toward zero like C's %."""
    m = n + 1
    rem = abs(m) % 8
    if m < 0:
        rem = -rem
    return n - rem + 17


def _sums_for(sumtable: bytes | None) -> Sums:
    return standard_sums() if sumtable is None else table_sums(sumtable)


def encrypt_padded(key: bytes, padded: bytes, sumtable: bytes | None = None,
                   native: bool = False) -> bytes:
    """Chain and encrypt already padded blocks: X = P ^ C', C = E(X) ^ X'."""
    if len(padded) % BLOCK:
        raise ValueError("padded plaintext is whole blocks")
    k, sums = key_words(key), _sums_for(sumtable)
    prev_c = prev_x = 0
    out = bytearray()
    for i in range(0, len(padded), BLOCK):
        x = read_block(padded[i:i + BLOCK], native) ^ prev_c
        c = encrypt_block(k, sums, x) ^ prev_x
        out += write_block(c, native)
        prev_c, prev_x = c, x
    return bytes(out)


def decrypt_padded(key: bytes, data: bytes, sumtable: bytes | None = None,
                   native: bool = False) -> bytes:
    """Undo the chaining block by block: X = D(C ^ X'), P = X ^ C'."""
    if len(data) % BLOCK:
        raise ValueError("ciphertext is whole blocks")
    k, sums = key_words(key), _sums_for(sumtable)
    prev_c = prev_x = 0
    out = bytearray()
    for i in range(0, len(data), BLOCK):
        c = read_block(data[i:i + BLOCK], native)
        x = decrypt_block(k, sums, c ^ prev_x)
        out += write_block(x ^ prev_c, native)
        prev_c, prev_x = c, x
    return bytes(out)


def encrypt(key: bytes, text: bytes, sumtable: bytes | None = None,
            native: bool = False) -> bytes:
    """qq-mode ciphertext of text: standard sums when sumtable is None,
    host-order blocks when native is true."""
    return encrypt_padded(key, pad(text), sumtable, native)


def decrypt(key: bytes, data: bytes, sumtable: bytes | None = None,
            native: bool = False) -> bytes | None:
    """The plaintext, or None where the cipher reports failure (-1).

    Nothing is authenticated: only the length and the 16-byte, fill-count-7
    case can fail; any other ciphertext decrypts to something.
    """
    n = len(data)
    if n < MIN_CIPHERTEXT or n % BLOCK:
        return None
    padded = decrypt_padded(key, data, sumtable, native)
    p = padded[0] & 0x07
    length = n - p - 10
    if length < 0:
        return None
    return padded[p + 3:p + 3 + length]


def decrypt_leftovers(key: bytes, data: bytes, sumtable: bytes | None = None,
                      native: bool = False) -> bytes | None:
    """All N bytes an in-place decryption leaves: plaintext moved to the
    front, then the decrypted bytes that the move did not overwrite."""
    text = decrypt(key, data, sumtable, native)
    if text is None:
        return None
    padded = decrypt_padded(key, data, sumtable, native)
    return text + padded[len(text):]
