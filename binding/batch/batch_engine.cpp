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

// Short moves go in pieces taken whole before they are written (a later piece is
// never overwritten before it is read, as the move goes down).
void move_down(uint8_t *to, const uint8_t *from, int64_t n) {
    if (n > 512) {
        std::memmove(to, from, static_cast<size_t>(n));
        return;
    }
    int64_t k = 0;
    for (; k + 16 <= n; k += 16) {
        uint8_t piece[16];
        std::memcpy(piece, from + k, sizeof piece);
        std::memcpy(to + k, piece, sizeof piece);
    }
    for (; k < n; ++k) {
        to[k] = from[k];
    }
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
