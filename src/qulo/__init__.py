"""TEA (16 cycles) in the padded, doubly chained qq mode.

    >>> import qulo
    >>> t = qulo.TEA(bytes(range(16)))
    >>> t.decrypt_qq(t.encrypt_qq(b"hello"))
    b'hello'

The seven capsules are also attributes of this package, under the names of
their entry points, because ``PyCapsule_Import("qulo.qulo_encrypt_qq", 0)``
looks them up here. C extensions include ``<qulo/capi.h>`` from the folder
that :func:`get_include` returns.
"""

from ._stream import Decryptor, Encryptor
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
from ._batch import (
    qulo_batch_decrypt,
    qulo_batch_decrypt_native_endian,
    qulo_batch_decrypt_qq,
    qulo_batch_encrypt,
    qulo_batch_encrypt_native_endian,
    qulo_batch_encrypt_qq,
    qulo_batch_kernel,
)
from ._many import batch_kernel, decrypt_many, encrypt_many

__all__ = [
    "TEA",
    "encrypt_len",
    "Encryptor",
    "Decryptor",
    "get_include",
    "qulo_encrypt_qq",
    "qulo_decrypt_qq",
    "qulo_encrypt",
    "qulo_decrypt",
    "qulo_encrypt_native_endian",
    "qulo_decrypt_native_endian",
    "qulo_encrypt_len",
    "encrypt_many",
    "decrypt_many",
    "batch_kernel",
    "qulo_batch_encrypt_qq",
    "qulo_batch_decrypt_qq",
    "qulo_batch_encrypt",
    "qulo_batch_decrypt",
    "qulo_batch_encrypt_native_endian",
    "qulo_batch_decrypt_native_endian",
    "qulo_batch_kernel",
    "__version__",
]


# Written by the build from pyproject.toml's version, so that importing the
# package reads no distribution metadata.
try:
    from ._version import __version__
except ImportError:  # a source tree that was never built
    __version__ = "0+unknown"


def get_include() -> str:
    """The folder to put on a C compiler's include path for qulo's headers.

    It holds all of them under ``qulo/``: ``qulo/capi.h`` (the capsule
    import helper and the ``TEA`` type's C-level method table) and the
    headers it includes, ``qulo/tea.h`` (the key record and the cipher's
    entry points) among them, so ``#include <qulo/capi.h>`` works with this
    one folder. The build installs every header into ``include/qulo``
    inside the package. An editable install spreads the package over the
    source folder and the installed files; every part is searched, and the
    first that holds the headers wins.

    Raises FileNotFoundError when no part of the package holds the headers
    (a source tree that was never installed: there they live in
    ``core/include`` and ``binding/include``, and both folders are needed).
    """
    import os

    for part in __path__:
        folder = os.path.join(part, "include")
        if os.path.isfile(os.path.join(folder, "qulo", "capi.h")):
            return folder
    raise FileNotFoundError(
        "qulo's C headers are not installed with the package "
        f"(searched {', '.join(os.path.join(p, 'include') for p in __path__)}); "
        "install qulo, or in a source tree use both core/include and binding/include"
    )
