// The cipher choice that the modules beyond qulo._tea take as arguments:
// `key` (a TEA object or a 16-byte buffer), `sumtable` (None or a 64-byte
// buffer), `native_endian` (only with a sum table) and, for decryption,
// `verify`; read into a key record and one operation descriptor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qulo/mode.h"
#include "qulo/secret.hpp"
#include "qulo/tea.h"

#include <array>
#include <cstdint>

namespace qulo {

// The key and the operation of one call, as every driver of the core takes
// them: `op` goes unchanged to qulo_run, the stream contexts or
// qulo_batch_run. Its sum table, when there is one, is `sumtable` below, so
// a setup is neither copied nor moved.
struct CipherSetup {
    Secret<qulo_key> key{};
    qulo_op op{QULO_ENCRYPT, QULO_BIG_ENDIAN, nullptr, 0};
    Secret<std::array<uint8_t, 64>> sumtable{};  // what op.sumtable points at, if anything

    CipherSetup() = default;
    CipherSetup(const CipherSetup &) = delete;
    CipherSetup &operator=(const CipherSetup &) = delete;
};

// The module state of a module that takes these arguments: the TEA type a
// key may be an object of, qulo._tea's own, and qulo.DecryptionError, which
// the module raises for a refused ciphertext. A module with types of its own
// keeps this first in a state of its own.
struct CipherArgsState {
    PyTypeObject *tea_type;
    PyObject *decryption_error;
};

// The state of `module`, or of the module that defined the heap type `type`.
CipherArgsState &cipher_args_state(PyObject *module);
CipherArgsState &cipher_args_state(PyTypeObject *type);

// For the module's execute step: imports the TEA type and DecryptionError
// into the state; false with an exception set (qulo._tea's ImportError in a
// second interpreter).
bool init_cipher_args_state(PyObject *module);

// The module definition's m_traverse, m_clear and m_free for that state.
int traverse_cipher_args_state(PyObject *module, visitproc visit, void *arg);
int clear_cipher_args_state(PyObject *module);
void free_cipher_args_state(void *module);

// What a call asks for beyond the key and the table.
struct OpChoice {
    int32_t direction;   // QULO_ENCRYPT or QULO_DECRYPT
    bool native_endian;  // blocks in host order (only with a sum table)
    bool verify;         // decryption: refuse a plaintext whose trailer is not zero
};

// Fills `out` from the Python arguments; false with TypeError or ValueError
// set (the messages name the lengths given). `tea_type` is the TEA type of
// the calling module's state. The key words and the table are copied, so
// nothing refers to the caller's objects afterwards.
bool parse_cipher_setup(PyObject *key, PyObject *sumtable, OpChoice choice,
                        PyTypeObject *tea_type, CipherSetup &out);


}  // namespace qulo
