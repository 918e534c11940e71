#include "cipher_args.hpp"

#include "buffer.hpp"
#include "key_words.hpp"
#include "pyref.hpp"
#include "qulo/mode.h"

#include <cstring>

namespace qulo {

namespace {

constexpr Py_ssize_t kKeyBytes = 16;
constexpr Py_ssize_t kSumTableBytes = 64;

// The TEA type of qulo._tea, looked up once; null with an exception set
// when the module cannot be imported.
PyObject *tea_type() {
    static PyObject *type = nullptr;  // kept for the life of the process
    if (type == nullptr) {
        Ref module = Ref::steal(PyImport_ImportModule("qulo._tea"));
        if (!module) {
            return nullptr;
        }
        type = PyObject_GetAttrString(module.get(), "TEA");
    }
    return type;
}

bool load_key(PyObject *key, qulo_key &out) {
    PyObject *tea = tea_type();
    if (tea == nullptr) {
        return false;
    }
    // A TEA object gives its key bytes back through its property; reading
    // it keeps this module independent of the object's layout.
    Ref from_tea;
    if (Py_IS_TYPE(key, reinterpret_cast<PyTypeObject *>(tea))) {
        from_tea = Ref::steal(PyObject_GetAttrString(key, "key"));
        if (!from_tea) {
            return false;
        }
        key = from_tea.get();
    } else if (!PyObject_CheckBuffer(key)) {
        PyErr_Format(PyExc_TypeError, "key must be a TEA object or a 16-byte buffer, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    Buffer bytes;
    if (!bytes.acquire(key)) {
        return false;
    }
    if (bytes.size() != kKeyBytes) {
        PyErr_Format(PyExc_ValueError, "key must be 16 bytes, got %zd", bytes.size());
        return false;
    }
    out = key_from_bytes(bytes.data());
    return true;
}

}  // namespace

void secure_wipe(void *p, std::size_t size) noexcept { qulo_wipe(p, size); }

void CipherSetup::wipe() noexcept {
    secure_wipe(&key, sizeof key);
    secure_wipe(sumtable.data(), sumtable.size());
}

bool parse_cipher_setup(PyObject *key, PyObject *sumtable, bool native_endian,
                        CipherSetup &out) {
    if (!load_key(key, out.key)) {
        return false;
    }
    if (sumtable == nullptr || sumtable == Py_None) {
        if (native_endian) {
            PyErr_SetString(PyExc_ValueError, "native_endian=True needs a sum table");
            return false;
        }
        out.variant = Variant::standard;
        return true;
    }
    Buffer table;
    if (!table.acquire(sumtable)) {
        return false;
    }
    if (table.size() != kSumTableBytes) {
        PyErr_Format(PyExc_ValueError, "sum table must be 64 bytes, got %zd", table.size());
        return false;
    }
    std::memcpy(out.sumtable.data(), table.data(), out.sumtable.size());
    out.variant = native_endian ? Variant::table_native : Variant::table;
    return true;
}

}  // namespace qulo
