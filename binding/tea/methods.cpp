// One template serves all twelve methods; a MethodSpec says which entry
// point, which direction and which arguments.
#include "methods.hpp"

#include "binder.hpp"
#include "byte_view.hpp"
#include "function.hpp"
#include "pyref.hpp"
#include "tea_type.hpp"
#include "traceback.hpp"
#include "qulo/mode.h"
#include "qulo/secret.hpp"

#include <span>

namespace qulo {

namespace {

constexpr Py_ssize_t kSumTableBytes = 64;
// Ciphertexts up to this size are decrypted into a stack buffer.
constexpr int64_t kStackCiphertext = 1024;

struct MethodSpec {
    const char *name;       // "encrypt_qq": argument errors name it
    const char *qualname;   // "TEA.encrypt_qq"
    const char *traceback;  // "qulo._tea.TEA.encrypt_qq"
    const char *doc;
    int32_t direction;  // QULO_ENCRYPT or QULO_DECRYPT
    bool into;
    bool sumtable;   // takes a sum table (otherwise the standard sums)
    int32_t order;   // QULO_BIG_ENDIAN or QULO_HOST_ORDER

    // The operation, as the core's one-message driver takes it. These
    // methods check nothing beyond the ciphertext's shape (no verify).
    qulo_op op(const ConstByteView *sums) const {
        return {direction, order, sumtable ? sums->data : nullptr, 0};
    }
};

// Output size the method demands: the room the core says the result needs,
// or -1 when it can have none. A ciphertext of a shape the core refuses
// still demands its own length; the core then refuses it ("encrypt wrong").
int64_t required_size(const qulo_op &op, int64_t n) {
    const int64_t room = qulo_output_capacity(&op, n);
    if (room >= 0) {
        return room;
    }
    return op.direction == QULO_DECRYPT ? n : -1;
}

bool check_sumtable(const ConstByteView &sums) {
    if (g_state.assertions) {
        if (sums.length != kSumTableBytes) {
            PyErr_SetString(PyExc_AssertionError, "sum table must be 64 bytes len");
            return false;
        }
    } else if (sums.length < kSumTableBytes) {
        // Under -O a longer table is cut to 64 bytes; a shorter one has
        // nothing to read and is still refused.
        PyErr_SetString(PyExc_ValueError, "sum table must be 64 bytes len");
        return false;
    }
    return true;
}

template <const MethodSpec &S>
int64_t run_core(PyObject *self, const ConstByteView *sums, const ConstByteView *text,
                 uint8_t *out, int64_t capacity) {
    // Another thread may assign the key once the lock is released: the
    // cipher works on a copy taken under the lock.
    const Secret<qulo_key> key(copy_key(self));
    const qulo_op op = S.op(sums);
    GilRelease unlocked;
    return qulo_run(&*key, &op, text->data, text->length, out, capacity);
}

// Checks shared by both forms, after the arguments are converted.
template <const MethodSpec &S>
bool precheck(PyObject *self, const ConstByteView *sums) {
    if (!is_tea(self)) {
        raise_not_tea(S.name, self);
        return false;
    }
    if constexpr (S.sumtable) {
        return check_sumtable(*sums);
    }
    return true;
}

// ---- the C-level entries ------------------------------------------------

// Every failure of an entry point, decryption included, has this one text.
template <const MethodSpec &S>
void raise_entry_failure() {
    PyErr_SetString(PyExc_ValueError, "encrypt wrong");
    add_traceback(S.traceback);
}

// Plaintext of a decryption: one copy of the first r bytes of what the core
// wrote.
template <const MethodSpec &S>
PyObject *plaintext_copy(const uint8_t *data, int64_t r) {
    PyObject *plain =
        PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(r));
    if (plain == nullptr) {
        add_traceback(S.traceback);
    }
    return plain;
}

template <const MethodSpec &S>
PyObject *allocating(PyObject *self, const ConstByteView *text, const ConstByteView *sums) {
    if (!precheck<S>(self, sums)) {
        add_traceback(S.traceback);
        return nullptr;
    }
    const int64_t size = required_size(S.op(sums), text->length);
    if constexpr (S.direction == QULO_DECRYPT) {
        // A short ciphertext is decrypted on the stack: the plaintext is
        // copied out once either way, and this spares an allocation per call.
        if (size <= kStackCiphertext) {
            uint8_t scratch[kStackCiphertext];
            const int64_t r = run_core<S>(self, sums, text, scratch, size);
            if (r < 0) {
                raise_entry_failure<S>();
                return nullptr;
            }
            return plaintext_copy<S>(scratch, r);
        }
    }
    Ref out = Ref::steal(size < 0 ? PyErr_NoMemory()
                                  : PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) {
        add_traceback(S.traceback);
        return nullptr;
    }
    auto *data = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out.get()));
    const int64_t r = run_core<S>(self, sums, text, data, size);
    if (r < 0) {
        raise_entry_failure<S>();
        return nullptr;
    }
    if constexpr (S.direction == QULO_ENCRYPT) {
        return out.release();  // the very object the core wrote
    } else {
        return plaintext_copy<S>(data, r);
    }
}

template <const MethodSpec &S>
int64_t writing(PyObject *self, const ConstByteView *text, const ConstByteView *sums,
                const MutableByteView *out) {
    if (!precheck<S>(self, sums)) {
        add_traceback(S.traceback);
        return -1;
    }
    const int64_t need = required_size(S.op(sums), text->length);
    if (need < 0 || out->length < need) {
        PyErr_SetString(PyExc_ValueError, "output buffer is too small");
        add_traceback(S.traceback);
        return -1;
    }
    const int64_t r = run_core<S>(self, sums, text, out->data, out->length);
    if (r < 0) {
        raise_entry_failure<S>();
        return -1;
    }
    return r;
}

// Table-shaped signatures of the entries (no sum table for the qq ones).
template <const MethodSpec &S>
PyObject *alloc_qq(PyObject *self, const ConstByteView *text) {
    return allocating<S>(self, text, nullptr);
}
template <const MethodSpec &S>
int64_t into_qq(PyObject *self, const ConstByteView *text, const MutableByteView *out) {
    return writing<S>(self, text, nullptr, out);
}
template <const MethodSpec &S>
PyObject *alloc_table(PyObject *self, const ConstByteView *text, const ConstByteView *sums) {
    return allocating<S>(self, text, sums);
}
template <const MethodSpec &S>
int64_t into_table(PyObject *self, const ConstByteView *text, const ConstByteView *sums,
                   const MutableByteView *out) {
    return writing<S>(self, text, sums, out);
}

// ---- the Python-level methods -------------------------------------------

// The views of one call, released in argument order on every path.
struct CallViews {
    ConstView text;
    ConstView sums;
    MutableView out;
    CallViews() = default;
    CallViews(const CallViews &) = delete;
    CallViews &operator=(const CallViews &) = delete;
    ~CallViews() { release_in_order(text, sums, out); }
};

template <const MethodSpec &S>
PyObject *bind_and_run(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs < 1 || !is_tea(args[0])) {
        raise_not_tea(S.name, nargs < 1 ? nullptr : args[0]);
        return nullptr;
    }
    constexpr bool table = S.sumtable;
    constexpr int nparams = 1 + (table ? 1 : 0) + (S.into ? 1 : 0);
    PyObject *const names[] = {g_names.text, table ? g_names.sumtable : g_names.out, g_names.out};
    PyObject *values[3];
    if (!args::bind_fastcall(S.name, std::span(names, nparams), args + 1, nargs - 1, kwnames,
                             values)) {
        return nullptr;
    }
    CallViews v;
    // None is an empty buffer in every role.
    if (!v.text.acquire(values[0], NoneAs::empty)) {
        return nullptr;
    }
    if constexpr (table) {
        if (!v.sums.acquire(values[1], NoneAs::empty)) {
            return nullptr;
        }
    }
    if constexpr (S.into) {
        if (!v.out.acquire(values[nparams - 1], NoneAs::empty)) {
            return nullptr;
        }
        const int64_t r = writing<S>(args[0], &v.text.view(), &v.sums.view(), &v.out.view());
        return r < 0 ? nullptr : PyLong_FromLongLong(r);
    } else {
        return allocating<S>(args[0], &v.text.view(), &v.sums.view());
    }
}

template <const MethodSpec &S>
PyObject *method(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *result = bind_and_run<S>(args, PyVectorcall_NARGS(nargsf), kwnames);
    if (result == nullptr) {
        add_traceback(S.traceback);
    }
    return result;
}

// ---- the twelve ---------------------------------------------------------

constexpr MethodSpec kEncryptQq{"encrypt_qq", "TEA.encrypt_qq", "qulo._tea.TEA.encrypt_qq",
    "TEA.encrypt_qq(self, const uint8_t[::1] text) -> bytes",
    QULO_ENCRYPT, false, false, QULO_BIG_ENDIAN};
constexpr MethodSpec kEncryptQqInto{"encrypt_qq_into", "TEA.encrypt_qq_into",
    "qulo._tea.TEA.encrypt_qq_into",
    "TEA.encrypt_qq_into(self, const uint8_t[::1] text, uint8_t[::1] out) -> int64_t",
    QULO_ENCRYPT, true, false, QULO_BIG_ENDIAN};
constexpr MethodSpec kEncrypt{"encrypt", "TEA.encrypt", "qulo._tea.TEA.encrypt",
    "TEA.encrypt(self, const uint8_t[::1] text, const uint8_t[::1] sumtable) -> bytes",
    QULO_ENCRYPT, false, true, QULO_BIG_ENDIAN};
constexpr MethodSpec kEncryptInto{"encrypt_into", "TEA.encrypt_into", "qulo._tea.TEA.encrypt_into",
    "TEA.encrypt_into(self, const uint8_t[::1] text, const uint8_t[::1] sumtable, "
    "uint8_t[::1] out) -> int64_t",
    QULO_ENCRYPT, true, true, QULO_BIG_ENDIAN};
constexpr MethodSpec kEncryptNative{"encrypt_native_endian", "TEA.encrypt_native_endian",
    "qulo._tea.TEA.encrypt_native_endian",
    "TEA.encrypt_native_endian(self, const uint8_t[::1] text, const uint8_t[::1] sumtable) "
    "-> bytes",
    QULO_ENCRYPT, false, true, QULO_HOST_ORDER};
constexpr MethodSpec kEncryptNativeInto{"encrypt_native_endian_into",
    "TEA.encrypt_native_endian_into", "qulo._tea.TEA.encrypt_native_endian_into",
    "TEA.encrypt_native_endian_into(self, const uint8_t[::1] text, const uint8_t[::1] "
    "sumtable, uint8_t[::1] out) -> int64_t",
    QULO_ENCRYPT, true, true, QULO_HOST_ORDER};
constexpr MethodSpec kDecryptQq{"decrypt_qq", "TEA.decrypt_qq", "qulo._tea.TEA.decrypt_qq",
    "TEA.decrypt_qq(self, const uint8_t[::1] text) -> bytes",
    QULO_DECRYPT, false, false, QULO_BIG_ENDIAN};
constexpr MethodSpec kDecryptQqInto{"decrypt_qq_into", "TEA.decrypt_qq_into",
    "qulo._tea.TEA.decrypt_qq_into",
    "TEA.decrypt_qq_into(self, const uint8_t[::1] text, uint8_t[::1] out) -> int64_t",
    QULO_DECRYPT, true, false, QULO_BIG_ENDIAN};
constexpr MethodSpec kDecrypt{"decrypt", "TEA.decrypt", "qulo._tea.TEA.decrypt",
    "TEA.decrypt(self, const uint8_t[::1] text, const uint8_t[::1] sumtable) -> bytes",
    QULO_DECRYPT, false, true, QULO_BIG_ENDIAN};
constexpr MethodSpec kDecryptInto{"decrypt_into", "TEA.decrypt_into", "qulo._tea.TEA.decrypt_into",
    "TEA.decrypt_into(self, const uint8_t[::1] text, const uint8_t[::1] sumtable, "
    "uint8_t[::1] out) -> int64_t",
    QULO_DECRYPT, true, true, QULO_BIG_ENDIAN};
constexpr MethodSpec kDecryptNative{"decrypt_native_endian", "TEA.decrypt_native_endian",
    "qulo._tea.TEA.decrypt_native_endian",
    "TEA.decrypt_native_endian(self, const uint8_t[::1] text, const uint8_t[::1] sumtable) "
    "-> bytes",
    QULO_DECRYPT, false, true, QULO_HOST_ORDER};
constexpr MethodSpec kDecryptNativeInto{"decrypt_native_endian_into",
    "TEA.decrypt_native_endian_into", "qulo._tea.TEA.decrypt_native_endian_into",
    "TEA.decrypt_native_endian_into(self, const uint8_t[::1] text, const uint8_t[::1] "
    "sumtable, uint8_t[::1] out) -> int64_t",
    QULO_DECRYPT, true, true, QULO_HOST_ORDER};

template <const MethodSpec &S>
constexpr FunctionDef function_def() {
    return {S.name, S.qualname, S.doc, method<S>};
}

// Table order: encrypt_qq, encrypt_qq_into, encrypt, ..., decrypt_native_endian_into.
constexpr FunctionDef kMethodDefs[] = {
    function_def<kEncryptQq>(),     function_def<kEncryptQqInto>(),
    function_def<kEncrypt>(),       function_def<kEncryptInto>(),
    function_def<kEncryptNative>(), function_def<kEncryptNativeInto>(),
    function_def<kDecryptQq>(),     function_def<kDecryptQqInto>(),
    function_def<kDecrypt>(),       function_def<kDecryptInto>(),
    function_def<kDecryptNative>(), function_def<kDecryptNativeInto>(),
};

}  // namespace

const qulo_tea_methods kTeaMethods = {
    alloc_qq<kEncryptQq>,           into_qq<kEncryptQqInto>,
    alloc_table<kEncrypt>,          into_table<kEncryptInto>,
    alloc_table<kEncryptNative>,    into_table<kEncryptNativeInto>,
    alloc_qq<kDecryptQq>,           into_qq<kDecryptQqInto>,
    alloc_table<kDecrypt>,          into_table<kDecryptInto>,
    alloc_table<kDecryptNative>,    into_table<kDecryptNativeInto>,
};

bool add_cipher_methods(PyTypeObject *type) { return add_functions(type, kMethodDefs); }

}  // namespace qulo
