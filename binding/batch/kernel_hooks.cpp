#include "kernel_hooks.hpp"

#include "batch_engine.hpp"
#include "pyref.hpp"
#include "qulo/batch.h"
#include "qulo/batch_hooks.hpp"

namespace qulo {

using batch::kernel_ready;

PyObject *batch_kernel(PyObject *, PyObject *) {
    if (!kernel_ready()) {
        return nullptr;
    }
    return PyUnicode_FromString(qulo_batch_kernel());
}

namespace {

// The kernels of this build, or only those this CPU runs, fastest first.
PyObject *kernel_names(bool runnable_only) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; const char *k = qulo_batch_kernel_known(i); ++i) {
        if (!runnable_only || qulo_batch_kernel_supported(k) != 0) {
            Ref name = Ref::steal(PyUnicode_FromString(k));
            if (!name || PyList_Append(list.get(), name.get()) < 0) {
                return nullptr;
            }
        }
    }
    return PyList_AsTuple(list.get());
}

}  // namespace

PyObject *kernels(PyObject *, PyObject *) { return kernel_names(true); }

PyObject *known_kernels(PyObject *, PyObject *) { return kernel_names(false); }

PyObject *select_kernel(PyObject *, PyObject *arg) {
    const char *name = nullptr;
    if (arg != Py_None) {
        name = PyUnicode_AsUTF8(arg);
        if (name == nullptr) {
            return nullptr;
        }
    }
    if (qulo_batch_select_kernel(name) != 0) {
        PyErr_Format(PyExc_ValueError, "this CPU cannot run a kernel named %R", arg);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace qulo
