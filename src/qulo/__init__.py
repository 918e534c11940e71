"""TEA (16 cycles) in the padded, doubly chained qq mode.

    >>> import qulo
    >>> t = qulo.TEA(bytes(range(16)))
    >>> t.decrypt_qq(t.encrypt_qq(b"hello"))
    b'hello'

The capsules of the extension modules (the cipher's entry points, the
batch entry points and the incremental ones, named in ``<qulo/capi.h>``) are also attributes of this
package, under the names of their entry points, because
``PyCapsule_Import("qulo.qulo_encrypt_qq", 0)`` looks them up here. C
extensions include ``<qulo/capi.h>`` from the folder that
:func:`get_include` returns.
"""

from types import CapsuleType as _CapsuleType

# First: the compiled modules raise it and take it from here.
from ._errors import DecryptionError
from . import _batch, _stream, _tea
from ._columns import ArrowStream, decrypt_columns, encrypt_columns
from ._many import ArrowColumn, batch_kernel, decrypt_many, encrypt_many
from ._stream import Decryptor, Encryptor
from ._tea import TEA, encrypt_len

# Besides the names above, the public names of the three modules are their
# capsules: re-exported as the modules publish them, not listed here.
from ._batch import *  # noqa: F403
from ._stream import *  # noqa: F403
from ._tea import *  # noqa: F403

_CAPSULES = [name for module in (_tea, _batch, _stream) for name, value in vars(module).items()
             if isinstance(value, _CapsuleType)]

__all__ = [
    "TEA",
    "encrypt_len",
    "Encryptor",
    "Decryptor",
    "DecryptionError",
    "get_include",
    "encrypt_many",
    "decrypt_many",
    "batch_kernel",
    "ArrowColumn",
    "encrypt_columns",
    "decrypt_columns",
    "ArrowStream",
    "__version__",
    *_CAPSULES,
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
