// The list path of qulo._batch: the messages of any Python iterable of byte
// buffers, held by the call, encrypted or decrypted into bytes objects.

#include "list_cipher.hpp"

#include "batch_engine.hpp"
#include "byte_view.hpp"
#include "cipher_args.hpp"
#include "owned_array.hpp"
#include "pyref.hpp"
#include "qulo/mode.h"

#include <cstdint>

namespace qulo {
namespace {

using batch::Messages;
using batch::parse_errors;

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
        if (!parse_cipher_setup(key, sumtable, choice, tea, setup) || !batch::kernel_ready()) {
            return false;
        }
        items = message_items(messages);
        return items && m.allocate(PyTuple_GET_SIZE(items.get())) &&
               views.acquire(items.get(), m);
    }
};

// The first refused message of a batch that should have refused none (an
// encryption), raised: an output the core did not fill is never returned.
PyObject *raise_first_refused(PyObject *module, const Messages &m) {
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        if (m.result[i] < 0) {
            return batch::refused(module, i, m.len[i], m.result[i]);
        }
    }
    return PyErr_Format(PyExc_SystemError, "the batch reported a refusal it did not make");
}

}  // namespace

PyObject *encrypt_list(PyObject *module, PyObject *args, PyObject *kwargs) {
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
    Messages &m = call.m;
    // Each ciphertext is written straight into the bytes object returned.
    Ref list = Ref::steal(PyList_New(m.count));
    if (!list) {
        return nullptr;
    }
    batch::Rooms room(call.setup);
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        // Negative only for an exporter that claims more than memory holds.
        const int64_t total = room(m.len[i]);
        if (total < 0) {
            return batch::refused(module, i, m.len[i], total);
        }
        PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
        if (b == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, b);
        m.out[i] = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(b));
        m.cap[i] = total;
    }
    const int64_t refused = batch::run(call.setup, m);
    if (refused != 0) {
        return refused < 0 ? nullptr : raise_first_refused(module, m);
    }
    return list.release();
}

namespace {

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
    bool plan(const CipherSetup &setup, const Messages &m) {
        int64_t size = 0;
        Py_ssize_t last = 0;
        batch::Rooms room(setup);
        for (Py_ssize_t i = 0; i < m.count; ++i) {
            const int64_t n = room(m.len[i]);
            if (n >= 0 && n <= kCopiedLength) {
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

    // Room for message i of n bytes (its room as the core gives it, asked in
    // order), or null when it is not decrypted here.
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

}  // namespace

PyObject *decrypt_list(PyObject *module, PyObject *args, PyObject *kwargs) {
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
    Messages &m = call.m;
    // A short ciphertext is decrypted into the call's scratch block and its
    // plaintext copied into a bytes object of its own length; a long one is
    // decrypted straight into a bytes object of the ciphertext's length, its
    // plaintext moved to the front while the window is in the cache, then
    // the object cut in place (see CopiedOut). A text of a length the core
    // refuses outright gets None, and so, until it is copied out, does a
    // text decrypted in the scratch block: the list never holds a null
    // while the lock is released, when other threads may reach it through
    // the collector's lists of objects.
    CopiedOut copied;
    Ref list = Ref::steal(PyList_New(m.count));
    if (!list || !copied.plan(call.setup, m)) {
        return nullptr;
    }
    PyObject **items = PySequence_Fast_ITEMS(list.get());
    batch::Rooms room(call.setup);
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        const int64_t n = room(m.len[i]);
        uint8_t *const scratch = n < 0 ? nullptr : copied.room(i, n);
        if (n < 0 || scratch != nullptr) {
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
    auto to_front = [&copied](const Messages &done, Py_ssize_t first, Py_ssize_t last) {
        for (Py_ssize_t i = first; i < last; ++i) {
            if (done.result[i] > 0 && done.start[i] > 0 && !copied.holds(done.out[i])) {
                batch::move_down(done.out[i], done.value(i), done.result[i]);
            }
        }
    };
    if (batch::run_windows(call.setup, m, to_front) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        const int64_t r = m.result[i];
        if (r < 0) {
            if (!null_errors) {
                return batch::refused(module, i, m.len[i], r);
            }
            Py_SETREF(items[i], Py_NewRef(Py_None));
        } else if (copied.holds(m.out[i])) {
            PyObject *b = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(m.value(i)),
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

}  // namespace qulo
