// The batch functions of qulo._batch over a Python iterable of byte
// buffers: a list of bytes objects out, one per message.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qulo {

// _encrypt_list(key, messages, *, sumtable=None, native_endian=False)
PyObject *encrypt_list(PyObject *module, PyObject *args, PyObject *kwargs);
// _decrypt_list(key, messages, *, sumtable=None, native_endian=False,
//               errors="raise", verify=False)
PyObject *decrypt_list(PyObject *module, PyObject *args, PyObject *kwargs);

}  // namespace qulo
