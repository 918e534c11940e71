"""The ``qulo`` namespace of polars expressions, registered on import.

    import qulo.polars  # noqa: F401 - registers pl.Expr.qulo

    frame.with_columns(pl.col("payload").qulo.encrypt(tea))
    frame.with_columns(pl.col("payload").qulo.decrypt(tea, as_text=True))

Each expression runs qulo's Arrow path over whole batches of values (no
Python object per row), in eager and lazy frames, in either engine and in
group contexts: it maps value to value, so it is declared elementwise.
Binary or String in; Binary out (String when decrypting with
``as_text=True``); nulls stay null. Needs polars, not pyarrow.
"""

from __future__ import annotations

import polars as pl

from . import _batch
from ._columns import _polars_check_work, _polars_expression, _Work

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer
    from typing import Literal

    from ._tea import TEA

__all__ = ["QuloExpressions"]


@pl.api.register_expr_namespace("qulo")
class QuloExpressions:
    """``expr.qulo``: encryption and decryption of a Binary or String
    expression with one key."""

    def __init__(self, expression: pl.Expr) -> None:
        self._expression = expression

    def _build(self, work: _Work) -> pl.Expr:
        # The arguments are checked now, not when a plan runs.
        _polars_check_work(pl, work)
        return _polars_expression(pl, self._expression, work)

    def encrypt(self, tea: TEA | Buffer, *, sumtable: Buffer | None = None,
                native_endian: bool = False) -> pl.Expr:
        """Each value encrypted as ``qulo.encrypt_many`` does (text as its
        UTF-8 bytes): a Binary expression."""
        return self._build(_Work(_batch._encrypt_arrow, tea, sumtable,
                                 native_endian=native_endian))

    def decrypt(self, tea: TEA | Buffer, *, sumtable: Buffer | None = None,
                native_endian: bool = False, verify: bool = False,
                errors: Literal["raise", "null"] = "raise", as_text: bool = False) -> pl.Expr:
        """Each value decrypted as ``qulo.decrypt_many`` does: a Binary
        expression, or String with ``as_text=True`` (each plaintext checked
        as UTF-8). A refused ciphertext raises DecryptionError when the
        expression runs, or becomes null with ``errors="null"``."""
        return self._build(_Work(_batch._decrypt_arrow, tea, sumtable,
                                 native_endian=native_endian, errors=errors, verify=verify,
                                 as_text=as_text))
