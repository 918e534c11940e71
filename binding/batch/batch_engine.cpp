#include "batch_engine.hpp"

#include "qulo/batch.h"
#include "qulo/mode.h"

#include <cstring>

namespace qulo::batch {

bool kernel_ready() {
    if (qulo_batch_kernel() == nullptr) {
        char why[256];
        qulo_batch_kernel_error(why, sizeof why);
        PyErr_SetString(PyExc_RuntimeError, why);
        return false;
    }
    return true;
}

bool parse_errors(PyObject *errors, bool &null_errors) {
    if (!PyUnicode_Check(errors)) {
        PyErr_Format(PyExc_TypeError, "errors must be 'raise' or 'null', not %.200s",
                     Py_TYPE(errors)->tp_name);
        return false;
    }
    const bool raise = PyUnicode_CompareWithASCIIString(errors, "raise") == 0;
    null_errors = PyUnicode_CompareWithASCIIString(errors, "null") == 0;
    if (!raise && !null_errors) {
        PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'null', not %R", errors);
        return false;
    }
    return true;
}

}  // namespace qulo::batch
