"""ctypes access to what qulo._tea publishes for compiled callers.

The seven capsules carry the cipher's C entry points; the capsule in the
TEA type's dictionary carries the table of twelve C-level methods. These
helpers call both exactly as a C extension would, so the tests exercise the
published interface itself rather than the Python methods in front of it.
"""

from __future__ import annotations

import ctypes
import struct

_api = ctypes.pythonapi

_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyCapsule_IsValid.restype = ctypes.c_int
_api.PyCapsule_IsValid.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetContext.restype = ctypes.c_void_p
_api.PyCapsule_GetContext.argtypes = [ctypes.py_object]
_api.PyCapsule_GetDestructor.restype = ctypes.c_void_p
_api.PyCapsule_GetDestructor.argtypes = [ctypes.py_object]

ENTRY_POINTS = (
    "qulo_encrypt_qq",
    "qulo_decrypt_qq",
    "qulo_encrypt",
    "qulo_decrypt",
    "qulo_encrypt_native_endian",
    "qulo_decrypt_native_endian",
    "qulo_encrypt_len",
)

METHOD_ORDER = (
    "encrypt_qq", "encrypt_qq_into",
    "encrypt", "encrypt_into",
    "encrypt_native_endian", "encrypt_native_endian_into",
    "decrypt_qq", "decrypt_qq_into",
    "decrypt", "decrypt_into",
    "decrypt_native_endian", "decrypt_native_endian_into",
)


def capsule_name(capsule) -> bytes | None:
    return _api.PyCapsule_GetName(capsule)


def capsule_is_valid(capsule, name: bytes | None) -> bool:
    return bool(_api.PyCapsule_IsValid(capsule, name))


def capsule_pointer(capsule, name: bytes | None) -> int:
    """The capsule's pointer; ValueError when the name does not match."""
    return _api.PyCapsule_GetPointer(capsule, name)


def capsule_context(capsule) -> int | None:
    return _api.PyCapsule_GetContext(capsule)


def capsule_destructor(capsule) -> int | None:
    return _api.PyCapsule_GetDestructor(capsule)


# ---- the cipher entry points -------------------------------------------------


class KeyRecord(ctypes.Structure):
    """qulo_key: four key words in host order, each read big-endian."""
    _fields_ = [("k0", ctypes.c_uint32), ("k1", ctypes.c_uint32),
                ("k2", ctypes.c_uint32), ("k3", ctypes.c_uint32)]

    @classmethod
    def from_key(cls, key: bytes) -> KeyRecord:
        return cls(*struct.unpack(">4I", key))


_QQ = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.POINTER(KeyRecord), ctypes.c_void_p,
                       ctypes.c_int64, ctypes.c_void_p, ctypes.c_int64)
_TABLE = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.POINTER(KeyRecord), ctypes.c_void_p,
                          ctypes.c_void_p, ctypes.c_int64, ctypes.c_void_p, ctypes.c_int64)
_LEN = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.c_int64)


def entry_point(module, name: str):
    """The C function behind the capsule `name`, fetched with its exact capsule name."""
    address = capsule_pointer(getattr(module, name), b"qulo." + name.encode())
    if name == "qulo_encrypt_len":
        return _LEN(address)
    if name.endswith("_qq"):
        return _QQ(address)
    return _TABLE(address)


def address_of(buffer) -> int | None:
    """Address of the first byte of a writable buffer, or NULL for None."""
    if buffer is None:
        return None
    if len(buffer) == 0:
        # from_buffer refuses an empty buffer; any valid address will do,
        # because nothing is read or written through it.
        return ctypes.addressof(_SPARE)
    return ctypes.addressof(ctypes.c_char.from_buffer(buffer))


_SPARE = ctypes.c_char()


class Core:
    """The six entry points of one module, called with Python buffers.

    `src` is None (a null pointer), bytes (copied first) or any writable
    buffer, such as `out` itself or a memoryview slice of it; `out` is a
    writable buffer written in place. The source length and the capacity
    default to the buffers' lengths.
    """

    def __init__(self, module):
        self.functions = {n: entry_point(module, n) for n in ENTRY_POINTS}

    def call(self, name, key, src, out, sumtable=None, *, src_len=None, capacity=None):
        fn = self.functions[name]
        record = KeyRecord.from_key(key)
        if isinstance(src, bytes):
            src = bytearray(src)
        n = (0 if src is None else len(src)) if src_len is None else src_len
        c = len(out) if capacity is None else capacity
        if name.endswith("_qq"):
            return fn(ctypes.byref(record), address_of(src), n, address_of(out), c)
        table = bytearray(sumtable)
        return fn(ctypes.byref(record), address_of(table), address_of(src), n,
                  address_of(out), c)

    def encrypt_len(self, n: int) -> int:
        return self.functions["qulo_encrypt_len"](n)


# ---- the TEA type's C-level method table ---------------------------------------


class ConstByteView(ctypes.Structure):
    _fields_ = [("holder", ctypes.py_object), ("data", ctypes.c_void_p),
                ("length", ctypes.c_ssize_t), ("stride", ctypes.c_ssize_t),
                ("suboffset", ctypes.c_ssize_t)]


class ByteView(ConstByteView):
    pass


_P_CONST = ctypes.POINTER(ConstByteView)
_P_MUT = ctypes.POINTER(ByteView)

# PYFUNCTYPE: called with the GIL held, and a pending exception is raised.
_ALLOC_QQ = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, _P_CONST)
_INTO_QQ = ctypes.PYFUNCTYPE(ctypes.c_int64, ctypes.py_object, _P_CONST, _P_MUT)
_ALLOC_TABLE = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, _P_CONST, _P_CONST)
_INTO_TABLE = ctypes.PYFUNCTYPE(ctypes.c_int64, ctypes.py_object, _P_CONST, _P_CONST, _P_MUT)


class MethodTable(ctypes.Structure):
    _fields_ = [(name, _INTO_QQ if name.endswith("qq_into") else
                 _ALLOC_QQ if name.endswith("_qq") else
                 _INTO_TABLE if name.endswith("_into") else _ALLOC_TABLE)
                for name in METHOD_ORDER]


def method_table(tea_type) -> MethodTable:
    capsule = tea_type.__dict__["__qulo_methods__"]
    return MethodTable.from_address(capsule_pointer(capsule, None))


def view_of(obj, kind=ConstByteView):
    """A byte view record over a bytearray, bytes or None, as a converter would fill it.

    The record keeps the exporting object alive; the data stays valid while
    the caller holds it. No buffer is acquired: the entries never release
    the views they are given.
    """
    if obj is None:
        return kind(None, None, 0, 0, 0)
    if isinstance(obj, bytes):
        obj = bytearray(obj)
    view = kind(obj, address_of(obj), len(obj), 1, -1)
    view._keep = obj
    return view


def call_method_entry(tea_type, name, self, *args):
    """Call entry `name` of the C-level table with views of `args` (text, sumtable, out)."""
    table = method_table(tea_type)
    fn = getattr(table, name)
    views = []
    for i, arg in enumerate(args):
        is_out = name.endswith("_into") and i == len(args) - 1
        views.append(view_of(arg, ByteView if is_out else ConstByteView))
    return fn(self, *(ctypes.byref(v) for v in views))
