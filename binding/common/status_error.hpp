// From a negative status of the cipher core (qulo/mode.h) to the Python
// exception a module raises for it: one translator per module, each taking
// the status and what the message names of the call it came from.
// (qulo._tea keeps its own fixed texts: every failure is "encrypt wrong".)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qulo {

// One message of a batch: its index in the call and its ciphertext length.
struct BatchMessage {
    Py_ssize_t index;
    int64_t length;
};

// Raises the exception for message `m`'s status; returns null for the
// caller to pass on. ValueError "message N cannot be decrypted: ..." for a
// refused ciphertext or a failed check, SystemError for what the binding
// should never have let through.
PyObject *raise_batch_status(int64_t status, BatchMessage m);

// One call on a stream object: the type's name, the step (for statuses the
// binding should never see), and the byte counts the messages name (read
// from the core before the call where the call may finish the context).
struct StreamCall {
    const char *type_name;  // "Encryptor" or "Decryptor"
    const char *step;       // "update", "finish", "set-up"
    int64_t announced;      // Encryptor: the plaintext length announced
    int64_t given;          // bytes given so far, this call's included
};

// Raises the exception for a stream call's status; returns null.
PyObject *raise_stream_status(int64_t status, const StreamCall &call);

}  // namespace qulo
