// From a negative status of the cipher core (qulo/mode.h) to the Python
// exception the modules beyond qulo._tea raise for it: one table, one row
// per status, with the sentence for a message of a batch and for a stream
// object. A refused ciphertext is a qulo.DecryptionError (a ValueError) that
// carries the status, a short reason and, in a batch, the element's index.
// (qulo._tea keeps its own fixed texts: every failure is "encrypt wrong".)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qulo {

// Where a status arose: a message of a batch (`stream` null), or a call on a
// stream object.
struct StatusPlace {
    const char *stream = nullptr;  // "Encryptor" or "Decryptor"; null: a batch message
    const char *step = "call";     // stream: "update", "finish", "set-up", "length" (asked alone)
    Py_ssize_t index = -1;         // batch: the element's index in the list or column
    int64_t length = 0;            // batch: its length; stream: the bytes given so far
    int64_t announced = 0;         // Encryptor: the plaintext length announced
};

// The binding's own refusal beside the core's statuses: a plaintext that is
// not UTF-8 where text was asked for (a DecryptionError with no status).
inline constexpr int64_t kNotText = -1000;

// Raises the exception for `status` at `where`; returns null for the caller
// to pass on. `decryption_error` is qulo.DecryptionError, from the calling
// module's state. SystemError for a status the binding should never have let
// through.
PyObject *raise_status(PyObject *decryption_error, int64_t status, const StatusPlace &where);

// For a module's execute step: qulo.DecryptionError, a new reference; null
// with an exception set.
PyObject *import_decryption_error();

}  // namespace qulo
