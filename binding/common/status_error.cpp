#include "status_error.hpp"

#include "qulo/mode.h"

namespace qulo {

namespace {

// Why a failed check fails, in the words both modules use.
constexpr const char kCheckCauses[] =
    "its last 7 plaintext bytes are not zero: a wrong key, sum table or byte order, "
    "or a damaged or cut ciphertext";

}  // namespace

PyObject *raise_batch_status(int64_t status, BatchMessage m) {
    const auto n = static_cast<long long>(m.length);
    switch (status) {
    case QULO_E_SHORT:
        return PyErr_Format(PyExc_ValueError,
                            "message %zd cannot be decrypted: %lld bytes, fewer than 16", m.index,
                            n);
    case QULO_E_BLOCKS:
        return PyErr_Format(PyExc_ValueError,
                            "message %zd cannot be decrypted: %lld bytes, not a multiple of 8",
                            m.index, n);
    case QULO_E_FILL:
        return PyErr_Format(PyExc_ValueError,
                            "message %zd cannot be decrypted: its header claims a fill of 7 "
                            "bytes, more than %lld bytes hold",
                            m.index, n);
    case QULO_E_CHECK:
        return PyErr_Format(PyExc_ValueError, "message %zd cannot be decrypted: %s", m.index,
                            kCheckCauses);
    default:
        return PyErr_Format(PyExc_SystemError, "message %zd: the cipher refused it (status %lld)",
                            m.index, static_cast<long long>(status));
    }
}

PyObject *raise_stream_status(int64_t status, const StreamCall &call) {
    const auto announced = static_cast<long long>(call.announced);
    const auto given = static_cast<long long>(call.given);
    switch (status) {
    case QULO_E_STATE:
        return PyErr_Format(PyExc_ValueError, "this %s is finalized", call.type_name);
    case QULO_E_TOO_MUCH:
        return PyErr_Format(PyExc_ValueError,
                            "data runs past the announced length: %lld bytes announced, %lld "
                            "given",
                            announced, given);
    case QULO_E_TOO_LITTLE:
        return PyErr_Format(PyExc_ValueError,
                            "finalize() before the end of the data: %lld bytes announced, %lld "
                            "given",
                            announced, given);
    case QULO_E_OVERLAP:
        PyErr_SetString(PyExc_ValueError, "data and out overlap");
        return nullptr;
    case QULO_E_SHORT:
    case QULO_E_BLOCKS:
        return PyErr_Format(PyExc_ValueError,
                            "not a ciphertext: %lld bytes given, a ciphertext is a multiple of 8 "
                            "and at least 16 bytes; discard what update() returned",
                            given);
    case QULO_E_FILL:
        PyErr_SetString(PyExc_ValueError,
                        "not a ciphertext under this key: its 16 bytes decrypt to fill count 7, "
                        "which leaves no room for the plaintext");
        return nullptr;
    case QULO_E_CHECK:
        return PyErr_Format(PyExc_ValueError,
                            "the ciphertext failed the check: %s; discard what update() returned",
                            kCheckCauses);
    default:
        return PyErr_Format(PyExc_SystemError, "qulo stream %s refused (code %lld)", call.step,
                            static_cast<long long>(status));
    }
}

}  // namespace qulo
