// The extension module qulo._batch: many messages per call through the
// batch entry points of the cipher core, from a Python iterable of byte
// buffers (here) or from Arrow columns (arrow_cipher.cpp), with the
// interpreter lock released once for the whole batch. Also publishes the
// batch entry points as capsules for compiled callers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow_cipher.hpp"
#include "batch_engine.hpp"
#include "byte_view.hpp"
#include "capsules.hpp"
#include "cipher_args.hpp"
#include "interpreters.hpp"
#include "owned_array.hpp"
#include "pyref.hpp"
#include "status_error.hpp"
#include "qulo/batch.h"
#include "qulo/capi.h"
#include "qulo/batch_hooks.hpp"
#include "qulo/tea.h"

#include <cstdint>
#include <cstring>
#include <iterator>

namespace qulo {
namespace {

using batch::decryptable;
using batch::kernel_ready;
using batch::Messages;
using batch::parse_errors;
using batch::refused;
using batch::run;

// ---- collections owned by the call ---------------------------------------------

// A tuple of the items of `collection`, owned by the call. A list (the
// caller's, which Python code may change at any time) is copied in one pass
// that runs no Python code, before any buffer is requested: nothing the call
// runs later (an item's __buffer__, another thread while the lock is
// released) can free an item it reads. Null with TypeError(`not_iterable`)
// for what is not iterable.
Ref owned_items(PyObject *collection, const char *not_iterable) {
    Ref fast = Ref::steal(PySequence_Fast(collection, not_iterable));
    if (!fast || PyTuple_CheckExact(fast.get())) {
        return fast;  // a tuple holds its items for as long as it lives
    }
    return Ref::steal(PyList_AsTuple(fast.get()));
}

// Puts "message <index>: " before the text of the pending exception, of the
// kinds a buffer conversion raises (TypeError, ValueError, BufferError),
// keeping its type and chaining the original as the cause; any other
// exception is left as it is.
void name_message(Py_ssize_t index) {
    PyObject *original = PyErr_GetRaisedException();
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(original));
    if (type != PyExc_TypeError && type != PyExc_ValueError && type != PyExc_BufferError) {
        PyErr_SetRaisedException(original);
        return;
    }
    PyErr_Format(type, "message %zd: %S", index, original);
    PyObject *named = PyErr_GetRaisedException();
    PyException_SetCause(named, original);
    PyErr_SetRaisedException(named);
}

// ---- messages from a Python iterable -----------------------------------------

// The bytes of the messages, held until the call ends. Exact bytes objects
// (the common case) are read in place, kept alive by the call's tuple of
// the items; a view is taken only of the other exporters.
class MessageViews {
public:
    // `items` is the call's own tuple of the messages.
    bool acquire(PyObject *items, Messages &m) {
        const Py_ssize_t n = PyTuple_GET_SIZE(items);
        Py_ssize_t others = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            ConstByteView view;
            if (bytes_in_place(PyTuple_GET_ITEM(items, i), view)) {
                m.src[i] = view.data;
                m.len[i] = view.length;
            } else {
                ++others;
            }
        }
        if (others == 0) {
            return true;
        }
        if (!views_.allocate(others)) {
            return false;
        }
        Py_ssize_t v = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyTuple_GET_ITEM(items, i);
            if (PyBytes_CheckExact(item)) {
                continue;
            }
            if (!PyObject_CheckBuffer(item)) {
                PyErr_Format(PyExc_TypeError, "message %zd is not a byte buffer but %.200s", i,
                             Py_TYPE(item)->tp_name);
                return false;
            }
            ConstView &view = views_[v++];
            if (!view.acquire(item, NoneAs::refused)) {
                name_message(i);
                return false;
            }
            m.src[i] = view.view().data;
            m.len[i] = view.view().length;
        }
        return true;
    }

private:
    OwnedArray<ConstView> views_;
};

// The messages argument as the call's tuple; a lone buffer is refused
// rather than taken as an iterable of integers.
Ref message_items(PyObject *messages) {
    if (PyBytes_Check(messages) || PyByteArray_Check(messages) ||
        PyMemoryView_Check(messages) || PyUnicode_Check(messages)) {
        PyErr_Format(PyExc_TypeError,
                     "messages must be an iterable of byte buffers, not one %.200s "
                     "(wrap a single message in a list)",
                     Py_TYPE(messages)->tp_name);
        return {};
    }
    return owned_items(messages, "messages must be an iterable of byte buffers");
}

// What both directions over an iterable start from: the cipher, the items
// held by the call, their bytes and the message arrays.
struct ListCall {
    CipherSetup setup;
    Ref items;
    Messages m;
    MessageViews views;

    // False with an exception set.
    bool begin(PyObject *module, PyObject *key, PyObject *messages, PyObject *sumtable,
               OpChoice choice) {
        PyTypeObject *tea = cipher_args_state(module).tea_type;
        if (!parse_cipher_setup(key, sumtable, choice, tea, setup) || !kernel_ready()) {
            return false;
        }
        items = message_items(messages);
        return items && m.allocate(PyTuple_GET_SIZE(items.get())) &&
               views.acquire(items.get(), m);
    }
};

PyObject *encrypt_many(PyObject *module, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"key", "messages", "sumtable", "native_endian", nullptr};
    PyObject *key;
    PyObject *messages;
    PyObject *sumtable = Py_None;
    int native_endian = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$Op:encrypt_many",
                                     const_cast<char **>(keywords), &key, &messages, &sumtable,
                                     &native_endian)) {
        return nullptr;
    }
    ListCall call;
    if (!call.begin(module, key, messages, sumtable,
                    {QULO_ENCRYPT, native_endian != 0, false})) {
        return nullptr;
    }
    const CipherSetup &setup = call.setup;
    Messages &m = call.m;
    // Each ciphertext is written straight into the bytes object returned.
    Ref list = Ref::steal(PyList_New(m.count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        // Beyond the limit only for an exporter that claims more than memory holds.
        const int64_t total = m.len[i] > QULO_MAX_PLAINTEXT_LEN ? -1 : qulo_encrypt_len(m.len[i]);
        PyObject *b = total < 0 ? PyErr_NoMemory()
                                : PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
        if (b == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, b);
        m.out[i] = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(b));
        m.cap[i] = total;
    }
    if (!run(setup, m)) {
        return nullptr;
    }
    return list.release();
}

// Where decrypt_many decrypts the short ciphertexts: a block of the call's
// own, from which each plaintext is copied into a bytes object of its
// length. Decrypted in a bytes object of the ciphertext's length, a short
// plaintext would then be cut by 10 to 17 bytes, which for the small-object
// allocator mostly means another size class: a second allocation, a copy
// and a free, more than the copy alone. Past kCopiedLength bytes objects
// come from the system allocator, which cuts in place. The block takes at
// most kScratchBytes; the messages after that take the long way.
class CopiedOut {
public:
    static constexpr int64_t kCopiedLength = 512;
    static constexpr int64_t kScratchBytes = int64_t{64} << 20;

    CopiedOut() = default;
    CopiedOut(const CopiedOut &) = delete;
    CopiedOut &operator=(const CopiedOut &) = delete;
    ~CopiedOut() { PyMem_RawFree(block_); }

    // Chooses the messages of `m` decrypted here; false with MemoryError.
    bool plan(const Messages &m) {
        int64_t size = 0;
        Py_ssize_t last = 0;
        for (Py_ssize_t i = 0; i < m.count; ++i) {
            const int64_t n = m.len[i];
            if (n <= kCopiedLength && decryptable(n)) {
                if (size + n > kScratchBytes) {
                    break;
                }
                size += n;
                last = i + 1;
            }
        }
        if (size == 0) {
            return true;
        }
        block_ = static_cast<uint8_t *>(PyMem_RawMalloc(static_cast<size_t>(size)));
        if (block_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        end_ = block_ + size;
        next_ = block_;
        last_ = last;
        return true;
    }

    // Room for message i of n bytes (a decryptable length, asked in order),
    // or null when it is not decrypted here.
    uint8_t *room(Py_ssize_t i, int64_t n) {
        if (i >= last_ || n > kCopiedLength) {
            return nullptr;
        }
        uint8_t *const at = next_;
        next_ += n;
        return at;
    }

    // Whether an output lies in the block.
    bool holds(const uint8_t *out) const {
        const auto at = reinterpret_cast<uintptr_t>(out);
        return at >= reinterpret_cast<uintptr_t>(block_) && at < reinterpret_cast<uintptr_t>(end_);
    }

private:
    uint8_t *block_ = nullptr;
    uint8_t *end_ = nullptr;
    uint8_t *next_ = nullptr;
    Py_ssize_t last_ = 0;
};

PyObject *decrypt_many(PyObject *module, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"key",    "messages", "sumtable", "native_endian",
                                     "errors", "verify",   nullptr};
    PyObject *key;
    PyObject *messages;
    PyObject *sumtable = Py_None;
    int native_endian = 0;
    PyObject *errors = nullptr;
    int verify = 0;
    bool null_errors = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OpOp:decrypt_many",
                                     const_cast<char **>(keywords), &key, &messages, &sumtable,
                                     &native_endian, &errors, &verify) ||
        (errors != nullptr && !parse_errors(errors, null_errors))) {
        return nullptr;
    }
    ListCall call;
    if (!call.begin(module, key, messages, sumtable,
                    {QULO_DECRYPT, native_endian != 0, verify != 0})) {
        return nullptr;
    }
    const CipherSetup &setup = call.setup;
    Messages &m = call.m;
    // A short ciphertext is decrypted into the call's scratch block and its
    // plaintext copied into a bytes object of its own length; a long one is
    // decrypted straight into a bytes object of the ciphertext's length,
    // then cut in place (see CopiedOut). A text of a length the core
    // refuses outright gets None, and so, until it is copied out, does a
    // text decrypted in the scratch block: the list never holds a null
    // while the lock is released, when other threads may reach it through
    // the collector's lists of objects.
    CopiedOut copied;
    Ref list = Ref::steal(PyList_New(m.count));
    if (!list || !copied.plan(m)) {
        return nullptr;
    }
    PyObject **items = PySequence_Fast_ITEMS(list.get());
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        const int64_t n = m.len[i];
        const bool undecryptable = !decryptable(n);
        uint8_t *const scratch = undecryptable ? nullptr : copied.room(i, n);
        if (undecryptable || scratch != nullptr) {
            items[i] = Py_NewRef(Py_None);
            m.out[i] = scratch;
            m.cap[i] = scratch != nullptr ? n : 0;
            continue;
        }
        PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
        if (b == nullptr) {
            return nullptr;  // the list's remaining items are null, which it takes
        }
        items[i] = b;
        m.out[i] = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(b));
        m.cap[i] = n;
    }
    if (!run(setup, m)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        const int64_t r = m.result[i];
        if (r < 0) {
            if (!null_errors) {
                return refused(i, m.len[i], r);
            }
            Py_SETREF(items[i], Py_NewRef(Py_None));
        } else if (copied.holds(m.out[i])) {
            PyObject *b = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(m.out[i]),
                                                    static_cast<Py_ssize_t>(r));
            if (b == nullptr) {
                return nullptr;
            }
            Py_SETREF(items[i], b);
        } else if (r != m.len[i] && _PyBytes_Resize(&items[i], static_cast<Py_ssize_t>(r)) < 0) {
            return nullptr;  // the item is null now; the list takes that
        }
    }
    return list.release();
}

// ---- the kernel --------------------------------------------------------------------

PyObject *batch_kernel(PyObject *, PyObject *) {
    if (!kernel_ready()) {
        return nullptr;
    }
    return PyUnicode_FromString(qulo_batch_kernel());
}

// The kernels of this build, or only those this CPU runs, fastest first.
PyObject *kernel_names(bool runnable_only) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; const char *k = qulo_batch_kernel_known(i); ++i) {
        if (!runnable_only || qulo_batch_kernel_supported(k) != 0) {
            Ref name = Ref::steal(PyUnicode_FromString(k));
            if (!name || PyList_Append(list.get(), name.get()) < 0) {
                return nullptr;
            }
        }
    }
    return PyList_AsTuple(list.get());
}

PyObject *kernels(PyObject *, PyObject *) { return kernel_names(true); }

PyObject *known_kernels(PyObject *, PyObject *) { return kernel_names(false); }

PyObject *select_kernel(PyObject *, PyObject *arg) {
    const char *name = nullptr;
    if (arg != Py_None) {
        name = PyUnicode_AsUTF8(arg);
        if (name == nullptr) {
            return nullptr;
        }
    }
    if (qulo_batch_select_kernel(name) != 0) {
        PyErr_Format(PyExc_ValueError, "this CPU cannot run a kernel named %R", arg);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- the module ----------------------------------------------------------------------

PyMethodDef kMethods[] = {
    // The public names of this module are what the package re-exports (the
    // capsules and batch_kernel); qulo._many fronts the calls below.
    {"_encrypt_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encrypt_many)),
     METH_VARARGS | METH_KEYWORDS,
     "_encrypt_list(key, messages, *, sumtable=None, native_endian=False) -> list[bytes]\n\n"
     "Encrypts every byte buffer of the iterable `messages` (qulo.encrypt_many)."},
    {"_decrypt_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decrypt_many)),
     METH_VARARGS | METH_KEYWORDS,
     "_decrypt_list(key, messages, *, sumtable=None, native_endian=False, errors='raise', "
     "verify=False) -> list[bytes | None]\n\n"
     "Decrypts every byte buffer of the iterable `messages` (qulo.decrypt_many)."},
    {"_encrypt_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encrypt_arrow)),
     METH_VARARGS | METH_KEYWORDS,
     "_encrypt_arrow(key, column, *, sumtable=None, native_endian=False) -> ArrowColumn\n\n"
     "Encrypts every value of an Arrow binary, large_binary or binary_view column, any object "
     "with __arrow_c_stream__ or __arrow_c_array__ (qulo.encrypt_many)."},
    {"_decrypt_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decrypt_arrow)),
     METH_VARARGS | METH_KEYWORDS,
     "_decrypt_arrow(key, column, *, sumtable=None, native_endian=False, errors='raise', "
     "verify=False) -> ArrowColumn\n\n"
     "Decrypts every value of an Arrow column (qulo.decrypt_many)."},
    {"batch_kernel", batch_kernel, METH_NOARGS,
     "batch_kernel() -> str\n\nThe name of the batch kernel in use."},
    {"_kernels", kernels, METH_NOARGS,
     "_kernels() -> tuple[str, ...]\n\nThe kernels this CPU runs, fastest first."},
    {"_known_kernels", known_kernels, METH_NOARGS,
     "_known_kernels() -> tuple[str, ...]\n\nEvery kernel of this build, fastest first, whether "
     "or not this CPU runs it."},
    {"_select_kernel", select_kernel, METH_O,
     "_select_kernel(name) -> None\n\nUses the named kernel from now on (None: the start-up "
     "choice). For tests and benchmarks."},
    {nullptr, nullptr, 0, nullptr},
};

// The batch entry points in the order of qulo_batch_capi_names.
void *const kEntryPoints[] = {
    reinterpret_cast<void *>(qulo_batch_encrypt_qq),
    reinterpret_cast<void *>(qulo_batch_decrypt_qq),
    reinterpret_cast<void *>(qulo_batch_encrypt),
    reinterpret_cast<void *>(qulo_batch_decrypt),
    reinterpret_cast<void *>(qulo_batch_encrypt_native_endian),
    reinterpret_cast<void *>(qulo_batch_decrypt_native_endian),
    reinterpret_cast<void *>(qulo_batch_kernel),
};
static_assert(std::size(kEntryPoints) == QULO_BATCH_CAPI_COUNT);

int exec_module(PyObject *module) {
    if (!init_cipher_args_state(module) || !add_arrow_column_type(module) ||
        !add_capsules(module, qulo_batch_capi_names, kEntryPoints)) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    interpreter_slot(),  // one interpreter per process: why in interpreters.hpp
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_batch",
    "Many messages per call: the batch entry points of the cipher core.",
    sizeof(CipherArgsState),
    kMethods,
    kSlots,
    traverse_cipher_args_state,
    clear_cipher_args_state,
    free_cipher_args_state,
};

}  // namespace
}  // namespace qulo

extern "C" PyMODINIT_FUNC PyInit__batch(void) { return PyModuleDef_Init(&qulo::module_def); }
