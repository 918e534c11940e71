// The kernel functions of qulo._batch: which lane kernel runs, which this
// CPU and this build have, and the test hook that selects one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qulo {

PyObject *batch_kernel(PyObject *, PyObject *);     // batch_kernel()
PyObject *kernels(PyObject *, PyObject *);          // _kernels()
PyObject *known_kernels(PyObject *, PyObject *);    // _known_kernels()
PyObject *select_kernel(PyObject *, PyObject *arg);  // _select_kernel(name)

}  // namespace qulo
