// The batch functions of qulo._batch over Arrow columns: a column read
// from any producer of the Arrow PyCapsule interface in, a column of the
// same layout out, built without a Python object per message.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qulo {

// _encrypt_arrow(key, column, *, sumtable=None, native_endian=False)
PyObject *encrypt_arrow(PyObject *module, PyObject *args, PyObject *kwargs);
// _decrypt_arrow(key, column, *, sumtable=None, native_endian=False,
//                errors="raise", verify=False)
PyObject *decrypt_arrow(PyObject *module, PyObject *args, PyObject *kwargs);

}  // namespace qulo
