// The extension module qulo._batch: many messages per call through the
// batch entry points of the cipher core, from a Python iterable of byte
// buffers or from the buffers of Arrow binary arrays, with the interpreter
// lock released once for the whole batch. Also publishes the batch entry
// points as capsules for compiled callers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow_layout.hpp"
#include "byte_view.hpp"
#include "capsules.hpp"
#include "cipher_args.hpp"
#include "interpreters.hpp"
#include "owned_array.hpp"
#include "pyref.hpp"
#include "qulo/batch.h"
#include "qulo/capi.h"
#include "qulo/batch_hooks.hpp"
#include "qulo/tea.h"

#include <cstdint>
#include <cstring>
#include <iterator>

namespace qulo {
namespace {

enum class Dir { encrypt, decrypt };

// ---- the module's state --------------------------------------------------------

// The flat arrays the batch entry points take, carved from one block owned
// for one call. (A block kept from one call for the next measured no
// faster: the allocator serves a block of the same size again from its
// own free memory.)
class Messages {
public:
    Messages() = default;
    Messages(const Messages &) = delete;
    Messages &operator=(const Messages &) = delete;
    ~Messages() { PyMem_RawFree(block_); }

    // Room for n messages (contents unset); false with MemoryError.
    bool allocate(Py_ssize_t n) {
        const size_t per = sizeof *src + sizeof *len + sizeof *out + sizeof *cap + sizeof *result;
        if (static_cast<size_t>(n) > (SIZE_MAX - 1) / per) {
            PyErr_NoMemory();
            return false;
        }
        block_ = PyMem_RawMalloc(static_cast<size_t>(n > 0 ? n : 1) * per);
        if (block_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        // Every array has 8-byte elements, so each starts aligned.
        auto *p = static_cast<unsigned char *>(block_);
        const auto count_of = static_cast<size_t>(n);
        src = reinterpret_cast<const uint8_t **>(p);
        len = reinterpret_cast<int64_t *>(p + count_of * 8);
        out = reinterpret_cast<uint8_t **>(p + count_of * 16);
        cap = reinterpret_cast<int64_t *>(p + count_of * 24);
        result = reinterpret_cast<int64_t *>(p + count_of * 32);
        count = n;
        return true;
    }

    Py_ssize_t count = 0;
    const uint8_t **src = nullptr;
    int64_t *len = nullptr;
    uint8_t **out = nullptr;
    int64_t *cap = nullptr;
    int64_t *result = nullptr;

private:
    void *block_ = nullptr;
};

// The kernel in use, or RuntimeError saying why there is none.
bool kernel_ready() {
    if (qulo_batch_kernel() == nullptr) {
        char why[256];
        qulo_batch_kernel_error(why, sizeof why);
        PyErr_SetString(PyExc_RuntimeError, why);
        return false;
    }
    return true;
}

// One batch call over messages [first, first + count); the interpreter
// lock must be released.
int64_t call_batch(Dir dir, const CipherSetup &setup, const Messages &m, Py_ssize_t first,
                   Py_ssize_t count) {
    const qulo_key *k = &setup.key;
    const uint8_t *t = setup.sumtable.data();
    const uint8_t *const *src = m.src + first;
    const int64_t *len = m.len + first;
    uint8_t *const *out = m.out + first;
    const int64_t *cap = m.cap + first;
    int64_t *result = m.result + first;
    switch (setup.variant) {
    case Variant::standard:
        return dir == Dir::encrypt ? qulo_batch_encrypt_qq(k, count, src, len, out, cap, result)
                                   : qulo_batch_decrypt_qq(k, count, src, len, out, cap, result);
    case Variant::table:
        return dir == Dir::encrypt ? qulo_batch_encrypt(k, t, count, src, len, out, cap, result)
                                   : qulo_batch_decrypt(k, t, count, src, len, out, cap, result);
    case Variant::table_native:
    default:
        return dir == Dir::encrypt
                   ? qulo_batch_encrypt_native_endian(k, t, count, src, len, out, cap, result)
                   : qulo_batch_decrypt_native_endian(k, t, count, src, len, out, cap, result);
    }
}

// A window of a batch: as many messages as come to about this many bytes,
// but at least enough to keep the lanes of any kernel full.
constexpr int64_t kWindowBytes = int64_t{256} << 10;
constexpr Py_ssize_t kWindowMessages = 1024;

// Runs the batch with the interpreter lock released once for all of it: the
// messages' memory is held by views or owned by this call, so nothing can
// move under it. The batch runs window by window, and after(m, first, last)
// follows each window, still without the lock, while that window's outputs
// are in the cache; it must touch no Python object.
template <class After>
bool run_windows(Dir dir, const CipherSetup &setup, const Messages &m, After after) {
    int64_t r = 0;
    {
        GilRelease unlocked;
        Py_ssize_t first = 0;
        while (first < m.count && r >= 0) {
            Py_ssize_t last = first;
            int64_t bytes = 0;
            while (last < m.count && (last - first < kWindowMessages || bytes < kWindowBytes)) {
                bytes += m.len[last++];
            }
            r = call_batch(dir, setup, m, first, last - first);
            if (r >= 0) {
                after(m, first, last);
            }
            first = last;
        }
    }
    if (r < 0) {
        return kernel_ready() && (PyErr_SetString(PyExc_SystemError, "batch call refused"), false);
    }
    return true;
}

// The same with nothing to do after a window.
bool run(Dir dir, const CipherSetup &setup, const Messages &m) {
    return run_windows(dir, setup, m, [](const Messages &, Py_ssize_t, Py_ssize_t) {});
}

// Moves n bytes from `from` down to `to` (to < from), as memmove does; short
// ones in pieces taken whole before they are written (a later piece is
// never overwritten before it is read, as the move goes down).
void move_down(uint8_t *to, const uint8_t *from, int64_t n) {
    if (n > 512) {
        std::memmove(to, from, static_cast<size_t>(n));
        return;
    }
    int64_t k = 0;
    for (; k + 16 <= n; k += 16) {
        uint8_t piece[16];
        std::memcpy(piece, from + k, sizeof piece);
        std::memcpy(to + k, piece, sizeof piece);
    }
    for (; k < n; ++k) {
        to[k] = from[k];
    }
}

// Whether a ciphertext of n bytes can be decrypted at all; the others are
// refused by the core before it looks at them, so they get no output.
bool decryptable_length(int64_t n) { return n >= 16 && n % 8 == 0; }

// Why ciphertext `index` of `n` bytes was refused.
void set_decrypt_error(Py_ssize_t index, int64_t n) {
    const auto ln = static_cast<long long>(n);
    if (n < 16) {
        PyErr_Format(PyExc_ValueError,
                     "message %zd cannot be decrypted: %lld bytes, fewer than 16", index, ln);
    } else if (n % 8 != 0) {
        PyErr_Format(PyExc_ValueError,
                     "message %zd cannot be decrypted: %lld bytes, not a multiple of 8", index,
                     ln);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "message %zd cannot be decrypted: its header claims a fill of 7 bytes, "
                     "more than %lld bytes hold",
                     index, ln);
    }
}

// The one check of `errors`, for lists and Arrow arrays alike: "raise" or
// "null"; false with TypeError for what is no str (None included) and
// ValueError for any other str.
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
               int native_endian) {
        PyTypeObject *tea = cipher_args_state(module).tea_type;
        if (!parse_cipher_setup(key, sumtable, native_endian != 0, tea, setup) || !kernel_ready()) {
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
    if (!call.begin(module, key, messages, sumtable, native_endian)) {
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
    if (!run(Dir::encrypt, setup, m)) {
        return nullptr;
    }
    return list.release();
}

PyObject *decrypt_many(PyObject *module, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"key",           "messages", "sumtable",
                                     "native_endian", "errors",   nullptr};
    PyObject *key;
    PyObject *messages;
    PyObject *sumtable = Py_None;
    int native_endian = 0;
    PyObject *errors = nullptr;
    bool null_errors = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OpO:decrypt_many",
                                     const_cast<char **>(keywords), &key, &messages, &sumtable,
                                     &native_endian, &errors) ||
        (errors != nullptr && !parse_errors(errors, null_errors))) {
        return nullptr;
    }
    ListCall call;
    if (!call.begin(module, key, messages, sumtable, native_endian)) {
        return nullptr;
    }
    const CipherSetup &setup = call.setup;
    Messages &m = call.m;
    // Each ciphertext is decrypted straight into a bytes object of its own
    // length, which is then cut to the plaintext's length: the plaintext is
    // shorter by at most 17 bytes, so the allocator mostly cuts it in place.
    // A text of a length the core refuses outright gets None. (The list
    // never holds a null: while the lock is released, other threads may
    // reach it through the collector's lists of objects.)
    Ref list = Ref::steal(PyList_New(m.count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        const int64_t n = m.len[i];
        if (!decryptable_length(n)) {
            PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
            m.out[i] = nullptr;
            m.cap[i] = 0;
            continue;
        }
        PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
        if (b == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, b);
        m.out[i] = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(b));
        m.cap[i] = n;
    }
    if (!run(Dir::decrypt, setup, m)) {
        return nullptr;
    }
    PyObject **items = PySequence_Fast_ITEMS(list.get());
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        const int64_t r = m.result[i];
        if (r < 0) {
            if (!null_errors) {
                set_decrypt_error(i, m.len[i]);
                return nullptr;
            }
            Py_SETREF(items[i], Py_NewRef(Py_None));
        } else if (r != m.len[i] && _PyBytes_Resize(&items[i], static_cast<Py_ssize_t>(r)) < 0) {
            return nullptr;  // the item is null now; the list takes that
        }
    }
    return list.release();
}

// ---- messages from Arrow buffers ------------------------------------------------
//
// qulo/_many.py hands over each chunk as (length, offset, validity, offsets,
// data, width) with the buffers as buffer-protocol objects (validity and
// data may be None), and builds the arrays back from what comes out:
// (validity or None, offsets, data, null count) per chunk.

struct ChunkIn {
    ConstView validity, offsets, data;
    arrow::BinaryChunk layout;
    Py_ssize_t first = 0;  // index of its first element in the whole array
};

// The buffers are raw memory (pyarrow describes them as signed chars, the
// offsets of a hand-made chunk may be integers), read as bytes.
bool acquire_optional(ConstView &b, PyObject *obj, arrow::Span &span) {
    if (obj == Py_None) {
        return true;
    }
    if (!b.acquire_memory(obj)) {
        return false;
    }
    span = {b.view().data, b.view().length};
    return true;
}

// Reads the chunk descriptions; false with an exception set. The chunks
// are the call's own tuple, and each chunk a tuple holding its buffers, so
// nothing run while a buffer is requested can free another.
bool read_chunks(PyObject *chunks_arg, Ref &items, OwnedArray<ChunkIn> &chunks,
                 Py_ssize_t &count, Py_ssize_t &elements) {
    items = owned_items(chunks_arg, "chunks must be a sequence");
    if (!items) {
        return false;
    }
    count = PyTuple_GET_SIZE(items.get());
    if (!chunks.allocate(count)) {
        return false;
    }
    elements = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        ChunkIn &in = chunks[c];
        PyObject *spec = PyTuple_GET_ITEM(items.get(), c);
        long long length, offset;
        PyObject *validity, *offsets, *data;
        int width;
        if (!PyTuple_Check(spec)) {
            PyErr_Format(PyExc_TypeError, "chunk %zd must be a tuple, not %.200s", c,
                         Py_TYPE(spec)->tp_name);
            return false;
        }
        if (!PyArg_ParseTuple(spec, "LLOOOi;chunk", &length, &offset, &validity, &offsets, &data,
                              &width)) {
            return false;
        }
        in.layout.length = length;
        in.layout.offset = offset;
        in.layout.width = width;
        if (!acquire_optional(in.validity, validity, in.layout.validity) ||
            !acquire_optional(in.offsets, offsets, in.layout.offsets) ||
            !acquire_optional(in.data, data, in.layout.data)) {
            return false;
        }
        if (const char *bad = arrow::check(in.layout)) {
            PyErr_Format(PyExc_ValueError, "malformed Arrow array (chunk %zd): %s", c, bad);
            return false;
        }
        in.first = elements;
        elements += static_cast<Py_ssize_t>(length);
    }
    return true;
}

uint8_t *bytes_data(const Ref &b) { return reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(b.get())); }

Ref new_bytes(int64_t size) {
    return Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

// The output of one chunk, in the shape qulo/_many.py expects.
struct ChunkOut {
    Ref validity, offsets, data;
    Py_ssize_t nulls = 0;
    // For decryption, read without the lock: the data's first byte, and the
    // message slot after the chunk's last one.
    uint8_t *base = nullptr;
    Py_ssize_t end_slot = 0;
    int64_t used = 0;  // the bytes of the data that encryption fills

    // Offsets for length + 1 entries and the input's validity re-based to
    // offset 0 (None when every element is valid).
    bool start(const arrow::BinaryChunk &in) {
        offsets = new_bytes((in.length + 1) * in.width);
        if (!offsets) {
            return false;
        }
        if (in.validity.data == nullptr || in.length == 0) {
            validity = Ref::steal(Py_NewRef(Py_None));
            nulls = 0;
            return true;
        }
        validity = new_bytes((in.length + 7) / 8);
        if (!validity) {
            return false;
        }
        nulls = static_cast<Py_ssize_t>(arrow::copy_validity(in, bytes_data(validity)));
        return true;
    }

    // Marks element i null, making a bitmap first if there is none.
    bool make_null(int64_t i, int64_t length) {
        if (validity.get() == Py_None) {
            validity = new_bytes((length + 7) / 8);
            if (!validity) {
                return false;
            }
            std::memset(bytes_data(validity), 0xFF, static_cast<size_t>((length + 7) / 8));
        }
        arrow::set_bit(bytes_data(validity), i, false);
        ++nulls;
        return true;
    }

    // Cuts the data (a new object, ours alone) to its first `size` bytes.
    bool cut_data(int64_t size) {
        if (size == PyBytes_GET_SIZE(data.get())) {
            return true;
        }
        PyObject *cut = data.release();
        if (_PyBytes_Resize(&cut, static_cast<Py_ssize_t>(size)) < 0) {
            return false;
        }
        data = Ref::steal(cut);
        return true;
    }

    PyObject *as_tuple() const {
        return Py_BuildValue("(OOOn)", validity.get(), offsets.get(), data.get(), nulls);
    }
};

PyObject *tuples_of(const OwnedArray<ChunkOut> &outs, Py_ssize_t count) {
    Ref list = Ref::steal(PyList_New(count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t c = 0; c < count; ++c) {
        PyObject *t = outs[c].as_tuple();
        if (t == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), c, t);
    }
    return list.release();
}


// What both directions of the Arrow path start from: the cipher, the chunks
// read from their buffers, one output per chunk and the message arrays.
struct ArrowCall {
    CipherSetup setup;
    Ref items;
    OwnedArray<ChunkIn> chunks;
    Py_ssize_t count = 0;
    Py_ssize_t elements = 0;
    OwnedArray<ChunkOut> outs;
    Messages m;

    // False with an exception set.
    bool begin(PyObject *module, PyObject *key, PyObject *chunks_arg, PyObject *sumtable,
               int native_endian) {
        PyTypeObject *tea = cipher_args_state(module).tea_type;
        if (!parse_cipher_setup(key, sumtable, native_endian != 0, tea, setup) || !kernel_ready() ||
            !read_chunks(chunks_arg, items, chunks, count, elements)) {
            return false;
        }
        return outs.allocate(count) && m.allocate(elements);
    }
};

PyObject *encrypt_arrow(PyObject *module, PyObject *args) {
    PyObject *key, *chunks_arg, *sumtable;
    int native_endian;
    if (!PyArg_ParseTuple(args, "OOOp:_encrypt_arrow", &key, &chunks_arg, &sumtable,
                          &native_endian)) {
        return nullptr;
    }
    ArrowCall call;
    if (!call.begin(module, key, chunks_arg, sumtable, native_endian)) {
        return nullptr;
    }
    const CipherSetup &setup = call.setup;
    const Py_ssize_t count = call.count;
    const auto &chunks = call.chunks;
    const auto &outs = call.outs;
    Messages &m = call.m;
    // Ciphertext lengths follow from plaintext lengths, so every ciphertext
    // is written straight to its place in the one output data buffer of its
    // chunk, laid out in the same pass that fills the message arrays. The
    // buffer is sized by a bound first and cut to what was used after.
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const arrow::BinaryChunk &in = chunks[c].layout;
        ChunkOut &out = outs[c];
        if (!out.start(in)) {
            return nullptr;
        }
        out.data = new_bytes(arrow::ciphertext_bound(in));
        if (!out.data) {
            return nullptr;
        }
        uint8_t *const base = bytes_data(out.data);
        const uint8_t *const values = in.data.data;
        const int64_t total = arrow::ciphertext_offsets(
            in, bytes_data(out.offsets),
            [&m, &slot, base, values](int64_t start, int64_t n, int64_t at, int64_t size) {
                m.src[slot] = values == nullptr ? nullptr : values + start;
                m.len[slot] = n;
                m.out[slot] = base + at;
                m.cap[slot] = size;
                ++slot;
            });
        if (total < 0) {
            PyErr_Format(PyExc_OverflowError,
                         "the ciphertexts of chunk %zd exceed the 2 GiB a binary array "
                         "addresses; use large_binary",
                         c);
            return nullptr;
        }
        out.used = total;
    }
    m.count = slot;
    if (!run(Dir::encrypt, setup, m)) {
        return nullptr;
    }
    for (Py_ssize_t c = 0; c < count; ++c) {
        if (!outs[c].cut_data(outs[c].used)) {
            return nullptr;
        }
    }
    return tuples_of(outs, count);
}

PyObject *decrypt_arrow(PyObject *module, PyObject *args) {
    PyObject *key, *chunks_arg, *sumtable, *errors;
    int native_endian;
    bool null_errors = false;
    if (!PyArg_ParseTuple(args, "OOOpO:_decrypt_arrow", &key, &chunks_arg, &sumtable,
                          &native_endian, &errors) ||
        !parse_errors(errors, null_errors)) {
        return nullptr;
    }
    ArrowCall call;
    if (!call.begin(module, key, chunks_arg, sumtable, native_endian)) {
        return nullptr;
    }
    const CipherSetup &setup = call.setup;
    const Py_ssize_t count = call.count;
    const auto &chunks = call.chunks;
    const auto &outs = call.outs;
    Messages &m = call.m;
    // Plaintext lengths are known only afterwards: each chunk's ciphertexts
    // are decrypted into its output data buffer laid out as the input data
    // (each text where it lies there), then the plaintexts are moved down to
    // follow one another and the buffer is cut to their total.
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const arrow::BinaryChunk &in = chunks[c].layout;
        ChunkOut &out = outs[c];
        if (!out.start(in)) {
            return nullptr;
        }
        const int64_t first = in.length > 0 ? arrow::value_offset(in, 0) : 0;
        out.data = new_bytes(in.length > 0 ? arrow::value_offset(in, in.length) - first : 0);
        if (!out.data) {
            return nullptr;
        }
        out.base = bytes_data(out.data);
        for (int64_t i = 0; i < in.length; ++i) {
            if (!arrow::is_valid(in, i)) {
                continue;
            }
            const int64_t start = arrow::value_offset(in, i);
            const int64_t n = arrow::value_offset(in, i + 1) - start;
            const bool decryptable = decryptable_length(n);
            m.src[slot] = in.data.data == nullptr ? nullptr : in.data.data + start;
            m.len[slot] = n;
            m.out[slot] = decryptable ? out.base + (start - first) : nullptr;
            m.cap[slot] = decryptable ? n : 0;
            ++slot;
        }
        out.end_slot = slot;
    }
    m.count = slot;
    // Each window's plaintexts are moved down to follow one another while
    // they are still in the cache. Never up: each plaintext is shorter than
    // its text, so it ends before its text's output does, and no later
    // text's output is touched.
    Py_ssize_t chunk = 0;
    uint8_t *at = count > 0 ? outs[0].base : nullptr;
    auto close_up = [&outs, &chunk, &at](const Messages &done, Py_ssize_t first,
                                         Py_ssize_t last) {
        for (Py_ssize_t s = first; s < last; ++s) {
            while (s >= outs[chunk].end_slot) {
                at = outs[++chunk].base;
            }
            const int64_t r = done.result[s];
            if (r > 0) {
                if (done.out[s] != at) {
                    move_down(at, done.out[s], r);
                }
                at += r;
            }
        }
    };
    if (!run_windows(Dir::decrypt, setup, m, close_up)) {
        return nullptr;
    }
    slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const arrow::BinaryChunk &in = chunks[c].layout;
        ChunkOut &out = outs[c];
        uint8_t *const offsets = bytes_data(out.offsets);
        int64_t total = 0;
        arrow::store_offset(offsets, in.width, 0, 0);
        for (int64_t i = 0; i < in.length; ++i) {
            if (arrow::is_valid(in, i)) {
                const int64_t r = m.result[slot];
                if (r < 0) {
                    if (!null_errors) {
                        set_decrypt_error(chunks[c].first + static_cast<Py_ssize_t>(i),
                                          m.len[slot]);
                        return nullptr;
                    }
                    if (!out.make_null(i, in.length)) {
                        return nullptr;
                    }
                } else {
                    total += r;
                }
                ++slot;
            }
            arrow::store_offset(offsets, in.width, i + 1, total);
        }
        if (!out.cut_data(total)) {
            return nullptr;
        }
    }
    return tuples_of(outs, count);
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
     "_decrypt_list(key, messages, *, sumtable=None, native_endian=False, errors='raise') "
     "-> list[bytes | None]\n\n"
     "Decrypts every byte buffer of the iterable `messages` (qulo.decrypt_many)."},
    {"_encrypt_arrow", encrypt_arrow, METH_VARARGS,
     "_encrypt_arrow(key, chunks, sumtable, native_endian) -> list[tuple]"},
    {"_decrypt_arrow", decrypt_arrow, METH_VARARGS,
     "_decrypt_arrow(key, chunks, sumtable, native_endian, errors) -> list[tuple]"},
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
    if (!init_cipher_args_state(module) ||
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
