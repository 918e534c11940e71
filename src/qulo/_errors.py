"""The exception of qulo's batch and incremental interfaces."""

from __future__ import annotations


class DecryptionError(ValueError):
    """A ciphertext that cannot be decrypted, or failed verification.

    ``reason`` says why: ``"short"`` (fewer than 16 bytes), ``"blocks"``
    (not a multiple of 8), ``"fill"`` (a 16-byte ciphertext whose header
    claims a fill of 7: no room for a plaintext), ``"check"`` (verified
    decryption: the last 7 plaintext bytes are not zero, so a wrong key or a
    damaged ciphertext), ``"text"`` (text was asked for and the plaintext is
    not valid UTF-8). ``status`` is the cipher core's status code for it
    (``None`` for ``"text"``, which qulo decides itself), ``index`` the
    element's index in a batch (``None`` for a stream).
    A ``ValueError``, so ``except ValueError`` still catches it. Made from
    its message alone (as polars does when it raises again what a function
    of a plan raised), ``status`` and ``reason`` are ``None``.
    """

    def __init__(self, message: str, status: int | None = None, reason: str | None = None,
                 index: int | None = None):
        super().__init__(message)
        self.status = status
        self.reason = reason
        self.index = index

    def __reduce__(
        self,
    ) -> tuple[type[DecryptionError], tuple[object, int | None, str | None, int | None]]:
        # Pickled with what __init__ takes, not only the message.
        return type(self), (self.args[0], self.status, self.reason, self.index)
