"""Hand-made Arrow C data interface structs in PyCapsules, through ctypes:
columns no Arrow library would build, and a count of the release callbacks
the consumer runs."""

from __future__ import annotations

import ctypes
from ctypes import POINTER, Structure, c_char_p, c_int64, c_void_p


class ArrowSchema(Structure):
    pass


class ArrowArray(Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, POINTER(ArrowSchema))
ArrayRelease = ctypes.CFUNCTYPE(None, POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p), ("flags", c_int64),
    ("n_children", c_int64), ("children", c_void_p), ("dictionary", c_void_p),
    ("release", SchemaRelease), ("private_data", c_void_p),
]
ArrowArray._fields_ = [
    ("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
    ("n_children", c_int64), ("buffers", POINTER(c_void_p)), ("children", c_void_p),
    ("dictionary", c_void_p), ("release", ArrayRelease), ("private_data", c_void_p),
]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [c_void_p, c_char_p, c_void_p]
_NAMES = {"schema": b"arrow_schema", "array": b"arrow_array"}  # live as long as the capsules


class HandMade:
    """A producer of one array (`__arrow_c_array__`) from raw parts:
    `buffers` are bytes (None: a null pointer). `released` counts the
    release callbacks run on the structs it handed out."""

    def __init__(self, fmt, length, buffers, *, offset=0, null_count=0, n_children=0):
        self.released = 0
        self._keep = [ctypes.create_string_buffer(b, len(b)) if b is not None else None
                      for b in buffers]
        pointers = (c_void_p * max(len(buffers), 1))(
            *[None if b is None else ctypes.addressof(b) for b in self._keep])
        self._schema_release = SchemaRelease(self._release)
        self._array_release = ArrayRelease(self._release)
        self.schema = ArrowSchema(fmt.encode(), b"", None, 2, 0, None, None,
                                  self._schema_release, None)
        self.array = ArrowArray(length, null_count, offset, len(buffers), n_children,
                                ctypes.cast(pointers, POINTER(c_void_p)), None, None,
                                self._array_release, None)
        self._pointers = pointers

    def _release(self, struct):
        self.released += 1
        struct.contents.release = type(struct.contents.release)()

    def __arrow_c_array__(self, requested_schema=None):
        return (_capsule_new(ctypes.addressof(self.schema), _NAMES["schema"], None),
                _capsule_new(ctypes.addressof(self.array), _NAMES["array"], None))
