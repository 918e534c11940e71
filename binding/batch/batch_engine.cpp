#include "batch_engine.hpp"

#include "qulo/batch.h"
#include "qulo/mode.h"


namespace qulo::batch {

bool Messages::allocate(Py_ssize_t n) {
    // Six arrays of 8-byte elements, so each starts aligned.
    constexpr size_t kArrays = 6;
    if (n < 0 || static_cast<size_t>(n) > (SIZE_MAX - 1) / (kArrays * 8)) {
        PyErr_NoMemory();
        return false;
    }
    const auto count_of = static_cast<size_t>(n);
    block_ = PyMem_RawMalloc((count_of > 0 ? count_of : 1) * kArrays * 8);
    if (block_ == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    auto *p = static_cast<unsigned char *>(block_);
    src = reinterpret_cast<const uint8_t **>(p);
    len = reinterpret_cast<int64_t *>(p + count_of * 8);
    out = reinterpret_cast<uint8_t **>(p + count_of * 16);
    cap = reinterpret_cast<int64_t *>(p + count_of * 24);
    result = reinterpret_cast<int64_t *>(p + count_of * 32);
    start = reinterpret_cast<int64_t *>(p + count_of * 40);
    count = n;
    return true;
}

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
