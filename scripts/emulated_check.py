"""A short check of an installed qulo on a machine the test suite does not
run on (scripts/aarch64.sh runs it under emulation, where the whole suite
would take hours): the import, the one-message methods against the known
answers of core/tests/known_answers.h, and encrypt_many/decrypt_many and the
chunked contexts, on every batch kernel, against one message at a time.

    python emulated_check.py KNOWN_ANSWERS_H EXPECTED_KERNEL
"""

from __future__ import annotations

import random
import re
import sys

import qulo
from qulo import _batch


def known_answers(header: str):
    text = open(header).read()
    keys = [bytes.fromhex(k) for k in re.findall(r'"([0-9a-f]{32})"', text.split("kTables")[0])]
    tables_text = text.split("kTables")[1].split("kKnownAnswers")[0]
    tables = [bytes.fromhex("".join(pair))
              for pair in re.findall(r'"([0-9a-f]{64})"\s*"([0-9a-f]{64})"', tables_text)]
    rows = re.findall(r"\{Kind::(\w+), (\d+), (-?\d+), (\d+), \"([0-9a-f]*)\"\}", text)
    assert keys and tables and rows, f"nothing read from {header}"
    for kind, key, table, length, ciphertext in rows:
        n = int(length)
        plain = bytes((29 * i + n + 7) % 256 for i in range(n))
        sums = tables[int(table)] if int(table) >= 0 else None
        yield kind, keys[int(key)], sums, plain, bytes.fromhex(ciphertext)


METHODS = {"qq": ("encrypt_qq", "decrypt_qq", {}),
           "table_big": ("encrypt", "decrypt", {}),
           "table_host": ("encrypt_native_endian", "decrypt_native_endian", {"native_endian": True})}


def check_known_answers(header: str) -> int:
    count = 0
    for kind, key, sums, plain, ciphertext in known_answers(header):
        enc, dec, _ = METHODS[kind]
        tea = qulo.TEA(key)
        args = () if sums is None else (sums,)
        assert getattr(tea, enc)(plain, *args) == ciphertext, (kind, key.hex(), len(plain))
        assert getattr(tea, dec)(ciphertext, *args) == plain, (kind, key.hex(), len(plain))
        count += 1
    return count


def check_many_and_contexts(kernel: str) -> None:
    rng = random.Random(5)
    tea = qulo.TEA(rng.randbytes(16))
    sums = rng.randbytes(64)
    # More messages than any kernel has lanes, of mixed lengths.
    messages = [rng.randbytes(n) for n in [*range(41), 255, 1000, 4099]]
    messages += [rng.randbytes(rng.randrange(300)) for _ in range(60)]
    for kind, (enc, dec, extra) in METHODS.items():
        args = () if kind == "qq" else (sums,)
        kwargs = {} if kind == "qq" else {"sumtable": sums, **extra}
        one_by_one = [getattr(tea, enc)(m, *args) for m in messages]
        assert qulo.encrypt_many(tea, messages, **kwargs) == one_by_one, (kernel, kind)
        assert qulo.decrypt_many(tea, one_by_one, **kwargs) == messages, (kernel, kind)
        for m, c in zip(messages[::9], one_by_one[::9]):
            encryptor = qulo.Encryptor(tea, len(m), **kwargs)
            chunks = [encryptor.update(m[i:i + 7]) for i in range(0, len(m), 7)]
            assert b"".join(chunks) + encryptor.finalize() == c, (kind, len(m))
            decryptor = qulo.Decryptor(tea, **kwargs)
            chunks = [decryptor.update(c[i:i + 5]) for i in range(0, len(c), 5)]
            assert b"".join(chunks) + decryptor.finalize() == m, (kind, len(m))


def main() -> None:
    header, expected = sys.argv[1], sys.argv[2]
    assert qulo.batch_kernel() == expected, (qulo.batch_kernel(), expected)
    answers = check_known_answers(header)
    kernels = _batch._kernels()
    for kernel in kernels:
        _batch._select_kernel(kernel)
        check_many_and_contexts(kernel)
    _batch._select_kernel(None)
    print(f"qulo {qulo.__version__} ({qulo._tea.__file__}): {answers} known answers, "
          f"batch kernels {', '.join(kernels)} match one message at a time")


if __name__ == "__main__":
    main()
