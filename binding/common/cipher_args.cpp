#include "cipher_args.hpp"

#include "byte_view.hpp"
#include "key_words.hpp"
#include "pyref.hpp"
#include "status_error.hpp"
#include "tea_key.hpp"
#include "qulo/mode.h"

#include <cstring>

namespace qulo {

namespace {

constexpr Py_ssize_t kKeyBytes = 16;
constexpr Py_ssize_t kSumTableBytes = 64;

bool load_key(PyObject *key, PyTypeObject *tea_type, qulo_key &out) {
    if (Py_IS_TYPE(key, tea_type)) {
        out = tea_key(key);
        return true;
    }
    if (!PyObject_CheckBuffer(key)) {
        PyErr_Format(PyExc_TypeError, "key must be a TEA object or a 16-byte buffer, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    ConstView bytes;
    if (!bytes.acquire(key, NoneAs::refused)) {
        return false;
    }
    if (bytes.view().length != kKeyBytes) {
        PyErr_Format(PyExc_ValueError, "key must be 16 bytes, got %zd", bytes.view().length);
        return false;
    }
    out = key_from_bytes(bytes.view().data);
    return true;
}

}  // namespace

CipherArgsState &cipher_args_state(PyObject *module) {
    return *static_cast<CipherArgsState *>(PyModule_GetState(module));
}

CipherArgsState &cipher_args_state(PyTypeObject *type) {
    return *static_cast<CipherArgsState *>(PyType_GetModuleState(type));
}

bool init_cipher_args_state(PyObject *module) {
    Ref tea = Ref::steal(PyImport_ImportModule("qulo._tea"));
    if (!tea) {
        return false;
    }
    Ref type = Ref::steal(PyObject_GetAttrString(tea.get(), "TEA"));
    if (!type) {
        return false;
    }
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_ImportError, "qulo._tea.TEA is not a type");
        return false;
    }
    CipherArgsState &state = cipher_args_state(module);
    state.tea_type = reinterpret_cast<PyTypeObject *>(type.release());
    state.decryption_error = import_decryption_error();
    return state.decryption_error != nullptr;
}

int traverse_cipher_args_state(PyObject *module, visitproc visit, void *arg) {
    Py_VISIT(cipher_args_state(module).tea_type);
    Py_VISIT(cipher_args_state(module).decryption_error);
    return 0;
}

int clear_cipher_args_state(PyObject *module) {
    Py_CLEAR(cipher_args_state(module).tea_type);
    Py_CLEAR(cipher_args_state(module).decryption_error);
    return 0;
}

void free_cipher_args_state(void *module) {
    if (PyModule_GetState(static_cast<PyObject *>(module)) != nullptr) {
        clear_cipher_args_state(static_cast<PyObject *>(module));
    }
}

bool parse_cipher_setup(PyObject *key, PyObject *sumtable, OpChoice choice,
                        PyTypeObject *tea_type, CipherSetup &out) {
    if (!load_key(key, tea_type, *out.key)) {
        return false;
    }
    out.op = {choice.direction, choice.native_endian ? QULO_HOST_ORDER : QULO_BIG_ENDIAN,
              nullptr, choice.verify ? 1 : 0};
    if (sumtable == nullptr || sumtable == Py_None) {
        if (choice.native_endian) {
            PyErr_SetString(PyExc_ValueError, "native_endian=True needs a sum table");
            return false;
        }
        return true;
    }
    ConstView table;
    if (!table.acquire(sumtable, NoneAs::refused)) {
        return false;
    }
    if (table.view().length != kSumTableBytes) {
        PyErr_Format(PyExc_ValueError, "sum table must be 64 bytes, got %zd", table.view().length);
        return false;
    }
    std::memcpy(out.sumtable->data(), table.view().data, out.sumtable->size());
    out.op.sumtable = out.sumtable->data();
    return true;
}

}  // namespace qulo
