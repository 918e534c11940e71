"""SQL functions of qulo for a DuckDB connection.

    import duckdb
    import qulo.duckdb

    con = duckdb.connect()
    qulo.duckdb.register(con, tea)
    con.sql("SELECT id, qq_encrypt(payload) AS payload FROM 'data.parquet'")

The functions are vectorised: DuckDB hands each one a batch of values as
Arrow (about 2048 rows at a time), and qulo's Arrow path encrypts the batch
in one call, with no Python object per row. NULL stays NULL. Needs duckdb,
pyarrow (DuckDB passes the batches as pyarrow arrays) and numpy (DuckDB's
Python functions need it): ``pip install 'qulo[duckdb]'``.
"""

from __future__ import annotations

import duckdb
from duckdb.func import ARROW, SPECIAL

from . import _batch
from ._columns import _empty, _pyarrow, _Work

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer, Callable
    from typing import Any, Literal

    from ._tea import TEA

__all__ = ["register"]


def _function(pa: Any, work: _Work, name: str) -> Any:
    # No annotations: DuckDB evaluates them, and Any is not there at run time.
    # DuckDB does not tell where its batch starts: a refusal names no row.
    def run(values):  # type: ignore[no-untyped-def]
        return pa.chunked_array(work.column(values, f"{name}()", None))
    run.__name__ = name
    return run


def register(
    connection: duckdb.DuckDBPyConnection,
    tea: TEA | Buffer,
    *,
    encrypt: str | None = "qq_encrypt",
    decrypt: str | None = "qq_decrypt",
    encrypt_text: str | None = "qq_encrypt_text",
    decrypt_text: str | None = "qq_decrypt_text",
    sumtable: Buffer | None = None,
    native_endian: bool = False,
    verify: bool = False,
    errors: Literal["raise", "null"] = "raise",
) -> None:
    """Creates qulo's SQL functions on `connection`, all with one key.

    - ``qq_encrypt(BLOB) -> BLOB`` and ``qq_decrypt(BLOB) -> BLOB``;
    - ``qq_encrypt_text(VARCHAR) -> BLOB``, which encrypts the text's UTF-8
      bytes, and ``qq_decrypt_text(BLOB) -> VARCHAR``, which checks each
      plaintext as UTF-8 (a DuckDB function has one signature per name, and
      a VARCHAR cast to BLOB reads escapes such as ``\\xAA``, so text has
      functions of its own).

    Each name may be changed, or None to leave that function out. `tea`,
    `sumtable` and `native_endian` are as for ``qulo.encrypt_many``, and
    `verify` and `errors` as for ``qulo.decrypt_many``; they are checked,
    and the key and the table copied, now. A ciphertext that cannot be
    decrypted fails the query with the DecryptionError's message, which
    names no row (DuckDB does not tell where its batch of values starts),
    or gives NULL with ``errors="null"``.
    """
    pa = _pyarrow()
    decrypting: dict[str, Any] = {"native_endian": native_endian, "verify": verify,
                                  "errors": errors}
    functions: list[tuple[str | None, Callable[..., Any], dict[str, Any], str, str]] = [
        (encrypt, _batch._encrypt_arrow, {"native_endian": native_endian}, "BLOB", "BLOB"),
        (decrypt, _batch._decrypt_arrow, decrypting, "BLOB", "BLOB"),
        (encrypt_text, _batch._encrypt_arrow, {"native_endian": native_endian}, "VARCHAR",
         "BLOB"),
        (decrypt_text, _batch._decrypt_arrow, {**decrypting, "as_text": True}, "BLOB", "VARCHAR"),
    ]
    made = []
    for name, run, options, parameter, result in functions:
        if name is None:
            continue
        work = _Work(run, tea, sumtable, **options)
        work.check(_empty(pa, pa.binary()))
        made.append((name, _function(pa, work, name), parameter, result))
    for name, function, parameter, result in made:
        # "special": the batch comes with its NULLs, which qulo keeps, rather
        # than filtered out and put back by DuckDB.
        connection.create_function(name, function, [parameter], result, type=ARROW,
                                   null_handling=SPECIAL)
