// The extension module qulo._batch: many messages per call through the
// batch entry points of the cipher core, from a Python iterable of byte
// buffers or from the buffers of Arrow binary arrays, with the interpreter
// lock released once for the whole batch. Also publishes the batch entry
// points as capsules for compiled callers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow_layout.hpp"
#include "buffer.hpp"
#include "cipher_args.hpp"
#include "pyref.hpp"
#include "qulo/batch.h"
#include "qulo/tea.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace qulo {
namespace {

enum class Dir { encrypt, decrypt };

// An array owned for one call; null (with MemoryError set) when it cannot
// be had.
template <class T>
std::unique_ptr<T[]> new_array(Py_ssize_t n) {
    std::unique_ptr<T[]> a(new (std::nothrow) T[static_cast<size_t>(n > 0 ? n : 1)]());
    if (!a) {
        PyErr_NoMemory();
    }
    return a;
}

// The flat arrays the batch entry points take.
struct Messages {
    Py_ssize_t count = 0;
    std::unique_ptr<const uint8_t *[]> src;
    std::unique_ptr<int64_t[]> len;
    std::unique_ptr<uint8_t *[]> out;
    std::unique_ptr<int64_t[]> cap;
    std::unique_ptr<int64_t[]> result;

    bool allocate(Py_ssize_t n) {
        count = n;
        src = new_array<const uint8_t *>(n);
        len = src ? new_array<int64_t>(n) : nullptr;
        out = len ? new_array<uint8_t *>(n) : nullptr;
        cap = out ? new_array<int64_t>(n) : nullptr;
        result = cap ? new_array<int64_t>(n) : nullptr;
        return result != nullptr;
    }
};

// The kernel in use, or RuntimeError saying why there is none.
bool kernel_ready() {
    if (qulo_batch_kernel() == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, qulo_batch_kernel_error());
        return false;
    }
    return true;
}

// Runs the batch with the interpreter lock released: the messages' memory
// is held by views or owned by this call, so nothing can move under it.
bool run(Dir dir, const CipherSetup &setup, Messages &m) {
    int64_t r;
    {
        GilRelease unlocked;
        const qulo_key *k = &setup.key;
        const uint8_t *t = setup.sumtable.data();
        const int64_t n = m.count;
        switch (setup.variant) {
        case Variant::standard:
            r = dir == Dir::encrypt ? qulo_batch_encrypt_qq(k, n, m.src.get(), m.len.get(),
                                                            m.out.get(), m.cap.get(), m.result.get())
                                    : qulo_batch_decrypt_qq(k, n, m.src.get(), m.len.get(),
                                                            m.out.get(), m.cap.get(), m.result.get());
            break;
        case Variant::table:
            r = dir == Dir::encrypt
                    ? qulo_batch_encrypt(k, t, n, m.src.get(), m.len.get(), m.out.get(),
                                         m.cap.get(), m.result.get())
                    : qulo_batch_decrypt(k, t, n, m.src.get(), m.len.get(), m.out.get(),
                                         m.cap.get(), m.result.get());
            break;
        case Variant::table_native:
        default:
            r = dir == Dir::encrypt
                    ? qulo_batch_encrypt_native_endian(k, t, n, m.src.get(), m.len.get(),
                                                       m.out.get(), m.cap.get(), m.result.get())
                    : qulo_batch_decrypt_native_endian(k, t, n, m.src.get(), m.len.get(),
                                                       m.out.get(), m.cap.get(), m.result.get());
            break;
        }
    }
    if (r < 0) {
        return kernel_ready() && (PyErr_SetString(PyExc_SystemError, "batch call refused"), false);
    }
    return true;
}

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

// errors="raise" or errors="null"; false with ValueError for anything else.
bool parse_errors(const char *errors, bool &null_errors) {
    if (std::strcmp(errors, "raise") == 0 || std::strcmp(errors, "null") == 0) {
        null_errors = errors[0] == 'n';
        return true;
    }
    PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'null', not '%.50s'", errors);
    return false;
}

// ---- messages from a Python iterable -----------------------------------------

// The byte buffers of a sequence's items, held until the call ends. Exact
// bytes objects are read in place; other exporters are asked for a view.
class ItemViews {
public:
    bool acquire(PyObject *seq, Messages &m) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        views_ = new_array<Buffer>(n);
        if (!views_ || !m.allocate(n)) {
            return false;
        }
        PyObject **items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = items[i];
            if (PyBytes_CheckExact(item)) {
                m.src[i] = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(item));
                m.len[i] = PyBytes_GET_SIZE(item);
                continue;
            }
            if (!PyObject_CheckBuffer(item)) {
                PyErr_Format(PyExc_TypeError, "message %zd is not a byte buffer but %.200s", i,
                             Py_TYPE(item)->tp_name);
                return false;
            }
            if (!views_[i].acquire(item)) {
                return false;
            }
            m.src[i] = views_[i].data();
            m.len[i] = views_[i].size();
        }
        return true;
    }

private:
    std::unique_ptr<Buffer[]> views_;
};

// The messages argument as a sequence; a lone buffer is refused rather
// than taken as an iterable of integers.
Ref message_sequence(PyObject *messages) {
    if (PyBytes_Check(messages) || PyByteArray_Check(messages) ||
        PyMemoryView_Check(messages) || PyUnicode_Check(messages)) {
        PyErr_Format(PyExc_TypeError,
                     "messages must be an iterable of byte buffers, not one %.200s "
                     "(wrap a single message in a list)",
                     Py_TYPE(messages)->tp_name);
        return {};
    }
    return Ref::steal(PySequence_Fast(messages, "messages must be an iterable of byte buffers"));
}

PyObject *encrypt_many(PyObject *, PyObject *args, PyObject *kwargs) {
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
    CipherSetup setup;
    if (!parse_cipher_setup(key, sumtable, native_endian != 0, setup) || !kernel_ready()) {
        return nullptr;
    }
    Ref seq = message_sequence(messages);
    if (!seq) {
        return nullptr;
    }
    Messages m;
    ItemViews views;
    if (!views.acquire(seq.get(), m)) {
        return nullptr;
    }
    Ref list = Ref::steal(PyList_New(m.count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        const int64_t total = qulo_encrypt_len(m.len[i]);
        PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
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

PyObject *decrypt_many(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"key",           "messages", "sumtable",
                                     "native_endian", "errors",   nullptr};
    PyObject *key;
    PyObject *messages;
    PyObject *sumtable = Py_None;
    int native_endian = 0;
    const char *errors = "raise";
    bool null_errors = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$Ops:decrypt_many",
                                     const_cast<char **>(keywords), &key, &messages, &sumtable,
                                     &native_endian, &errors) ||
        !parse_errors(errors, null_errors)) {
        return nullptr;
    }
    CipherSetup setup;
    if (!parse_cipher_setup(key, sumtable, native_endian != 0, setup) || !kernel_ready()) {
        return nullptr;
    }
    Ref seq = message_sequence(messages);
    if (!seq) {
        return nullptr;
    }
    Messages m;
    ItemViews views;
    if (!views.acquire(seq.get(), m)) {
        return nullptr;
    }
    // One scratch area for every plaintext, each at its ciphertext's place;
    // the results are copied out of it at their exact lengths.
    int64_t total = 0;
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        total += m.len[i];
    }
    auto scratch = new_array<uint8_t>(static_cast<Py_ssize_t>(total));
    if (!scratch) {
        return nullptr;
    }
    int64_t at = 0;
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        m.out[i] = scratch.get() + at;
        m.cap[i] = m.len[i];
        at += m.len[i];
    }
    if (!run(Dir::decrypt, setup, m)) {
        return nullptr;
    }
    Ref list = Ref::steal(PyList_New(m.count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < m.count; ++i) {
        PyObject *item;
        if (m.result[i] < 0) {
            if (!null_errors) {
                set_decrypt_error(i, m.len[i]);
                return nullptr;
            }
            item = Py_NewRef(Py_None);
        } else {
            item = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(m.out[i]),
                                             static_cast<Py_ssize_t>(m.result[i]));
            if (item == nullptr) {
                return nullptr;
            }
        }
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

// ---- messages from Arrow buffers ------------------------------------------------
//
// qulo/batch.py hands over each chunk as (length, offset, validity, offsets,
// data, width) with the buffers as buffer-protocol objects (validity and
// data may be None), and builds the arrays back from what comes out:
// (validity or None, offsets, data, null count) per chunk.

struct ChunkIn {
    Buffer validity, offsets, data;
    arrow::BinaryChunk layout;
    Py_ssize_t first = 0;  // index of its first element in the whole array
};

bool acquire_optional(Buffer &b, PyObject *obj, arrow::Span &span) {
    if (obj == Py_None) {
        return true;
    }
    if (!b.acquire(obj)) {
        return false;
    }
    span = {b.data(), b.size()};
    return true;
}

// Reads the chunk descriptions; false with an exception set.
bool read_chunks(PyObject *chunks_arg, Ref &seq, std::unique_ptr<ChunkIn[]> &chunks,
                 Py_ssize_t &count, Py_ssize_t &elements) {
    seq = Ref::steal(PySequence_Fast(chunks_arg, "chunks must be a sequence"));
    if (!seq) {
        return false;
    }
    count = PySequence_Fast_GET_SIZE(seq.get());
    chunks = new_array<ChunkIn>(count);
    if (!chunks) {
        return false;
    }
    elements = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        ChunkIn &in = chunks[c];
        long long length, offset;
        PyObject *validity, *offsets, *data;
        int width;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), c), "LLOOOi;chunk", &length,
                              &offset, &validity, &offsets, &data, &width)) {
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

// The output of one chunk, in the shape qulo/batch.py expects.
struct ChunkOut {
    Ref validity, offsets, data;
    Py_ssize_t nulls = 0;

    // The input's validity re-based to offset 0, or None when all are valid.
    bool copy_validity(const arrow::BinaryChunk &in) {
        nulls = 0;
        if (in.validity.data == nullptr) {
            validity = Ref::steal(Py_NewRef(Py_None));
            return true;
        }
        validity = Ref::steal(PyBytes_FromStringAndSize(nullptr, (in.length + 7) / 8));
        if (!validity) {
            return false;
        }
        auto *bits = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(validity.get()));
        std::memset(bits, 0, static_cast<size_t>((in.length + 7) / 8));
        for (int64_t i = 0; i < in.length; ++i) {
            const bool valid = arrow::is_valid(in, i);
            arrow::set_bit(bits, i, valid);
            nulls += valid ? 0 : 1;
        }
        return true;
    }

    // Marks element i null, making a bitmap first if there is none.
    bool make_null(int64_t i, int64_t length) {
        if (validity.get() == Py_None) {
            validity = Ref::steal(PyBytes_FromStringAndSize(nullptr, (length + 7) / 8));
            if (!validity) {
                return false;
            }
            std::memset(PyBytes_AS_STRING(validity.get()), 0xFF,
                        static_cast<size_t>((length + 7) / 8));
        }
        arrow::set_bit(reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(validity.get())), i, false);
        ++nulls;
        return true;
    }

    PyObject *as_tuple() const {
        return Py_BuildValue("(OOOn)", validity.get(), offsets.get(), data.get(), nulls);
    }
};

uint8_t *bytes_data(const Ref &b) { return reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(b.get())); }

PyObject *tuples_of(std::unique_ptr<ChunkOut[]> &outs, Py_ssize_t count) {
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

// Points message slot `slot` at element i of chunk `in`.
void point_at(Messages &m, Py_ssize_t slot, const ChunkIn &in, int64_t i) {
    const int64_t start = arrow::value_offset(in.layout, i);
    m.src[slot] = in.layout.data.data == nullptr ? nullptr : in.layout.data.data + start;
    m.len[slot] = arrow::value_offset(in.layout, i + 1) - start;
}

PyObject *encrypt_arrow(PyObject *, PyObject *args) {
    PyObject *key, *chunks_arg, *sumtable;
    int native_endian;
    if (!PyArg_ParseTuple(args, "OOOp:_encrypt_arrow", &key, &chunks_arg, &sumtable,
                          &native_endian)) {
        return nullptr;
    }
    CipherSetup setup;
    if (!parse_cipher_setup(key, sumtable, native_endian != 0, setup) || !kernel_ready()) {
        return nullptr;
    }
    Ref seq;
    std::unique_ptr<ChunkIn[]> chunks;
    Py_ssize_t count, elements;
    if (!read_chunks(chunks_arg, seq, chunks, count, elements)) {
        return nullptr;
    }
    auto outs = new_array<ChunkOut>(count);
    Messages m;
    if (!outs || !m.allocate(elements)) {
        return nullptr;
    }
    // Output lengths are known up front, so every ciphertext goes straight
    // to its place in the output data buffer.
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const ChunkIn &in = chunks[c];
        ChunkOut &out = outs[c];
        const int64_t length = in.layout.length;
        const int width = in.layout.width;
        out.offsets = Ref::steal(PyBytes_FromStringAndSize(nullptr, (length + 1) * width));
        if (!out.offsets || !out.copy_validity(in.layout)) {
            return nullptr;
        }
        int64_t total = 0;
        arrow::store_offset(bytes_data(out.offsets), width, 0, 0);
        for (int64_t i = 0; i < length; ++i) {
            if (arrow::is_valid(in.layout, i)) {
                const int64_t n = arrow::value_offset(in.layout, i + 1) -
                                  arrow::value_offset(in.layout, i);
                total += qulo_encrypt_len(n);
                if (total > arrow::max_offset(width)) {
                    PyErr_Format(PyExc_OverflowError,
                                 "the ciphertexts of chunk %zd exceed the 2 GiB a binary array "
                                 "addresses; use large_binary",
                                 c);
                    return nullptr;
                }
            }
            arrow::store_offset(bytes_data(out.offsets), width, i + 1, total);
        }
        out.data = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
        if (!out.data) {
            return nullptr;
        }
        int64_t at = 0;
        for (int64_t i = 0; i < length; ++i) {
            if (!arrow::is_valid(in.layout, i)) {
                continue;
            }
            point_at(m, slot, in, i);
            m.cap[slot] = qulo_encrypt_len(m.len[slot]);
            m.out[slot] = bytes_data(out.data) + at;
            at += m.cap[slot];
            ++slot;
        }
    }
    m.count = slot;
    if (!run(Dir::encrypt, setup, m)) {
        return nullptr;
    }
    return tuples_of(outs, count);
}

PyObject *decrypt_arrow(PyObject *, PyObject *args) {
    PyObject *key, *chunks_arg, *sumtable;
    int native_endian, null_errors;
    if (!PyArg_ParseTuple(args, "OOOpp:_decrypt_arrow", &key, &chunks_arg, &sumtable,
                          &native_endian, &null_errors)) {
        return nullptr;
    }
    CipherSetup setup;
    if (!parse_cipher_setup(key, sumtable, native_endian != 0, setup) || !kernel_ready()) {
        return nullptr;
    }
    Ref seq;
    std::unique_ptr<ChunkIn[]> chunks;
    Py_ssize_t count, elements;
    if (!read_chunks(chunks_arg, seq, chunks, count, elements)) {
        return nullptr;
    }
    auto outs = new_array<ChunkOut>(count);
    Messages m;
    if (!outs || !m.allocate(elements)) {
        return nullptr;
    }
    // Plaintext lengths are known only afterwards: decrypt into scratch at
    // the ciphertexts' places, then copy out at the exact lengths.
    Py_ssize_t slot = 0;
    int64_t scratch_size = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const ChunkIn &in = chunks[c];
        for (int64_t i = 0; i < in.layout.length; ++i) {
            if (arrow::is_valid(in.layout, i)) {
                point_at(m, slot, in, i);
                m.cap[slot] = m.len[slot];
                scratch_size += m.len[slot];
                ++slot;
            }
        }
    }
    m.count = slot;
    auto scratch = new_array<uint8_t>(static_cast<Py_ssize_t>(scratch_size));
    if (!scratch) {
        return nullptr;
    }
    int64_t at = 0;
    for (Py_ssize_t s = 0; s < m.count; ++s) {
        m.out[s] = scratch.get() + at;
        at += m.len[s];
    }
    if (!run(Dir::decrypt, setup, m)) {
        return nullptr;
    }
    slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const ChunkIn &in = chunks[c];
        ChunkOut &out = outs[c];
        const int64_t length = in.layout.length;
        const int width = in.layout.width;
        out.offsets = Ref::steal(PyBytes_FromStringAndSize(nullptr, (length + 1) * width));
        if (!out.offsets || !out.copy_validity(in.layout)) {
            return nullptr;
        }
        // First the offsets (and the refusals), then the data at its size.
        const Py_ssize_t first_slot = slot;
        int64_t total = 0;
        arrow::store_offset(bytes_data(out.offsets), width, 0, 0);
        for (int64_t i = 0; i < length; ++i) {
            if (arrow::is_valid(in.layout, i)) {
                const int64_t r = m.result[slot];
                if (r < 0) {
                    if (null_errors == 0) {
                        set_decrypt_error(in.first + static_cast<Py_ssize_t>(i), m.len[slot]);
                        return nullptr;
                    }
                    if (!out.make_null(i, length)) {
                        return nullptr;
                    }
                } else {
                    total += r;
                }
                ++slot;
            }
            arrow::store_offset(bytes_data(out.offsets), width, i + 1, total);
        }
        out.data = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
        if (!out.data) {
            return nullptr;
        }
        int64_t pos = 0;
        for (Py_ssize_t s = first_slot; s < slot; ++s) {
            if (m.result[s] > 0) {
                std::memcpy(bytes_data(out.data) + pos, m.out[s], static_cast<size_t>(m.result[s]));
                pos += m.result[s];
            }
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

PyObject *kernels(PyObject *, PyObject *) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (const char *k : {"avx512", "avx2", "scalar"}) {
        if (qulo_batch_kernel_supported(k) != 0) {
            Ref name = Ref::steal(PyUnicode_FromString(k));
            if (!name || PyList_Append(list.get(), name.get()) < 0) {
                return nullptr;
            }
        }
    }
    return PyList_AsTuple(list.get());
}

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
    {"encrypt_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encrypt_many)),
     METH_VARARGS | METH_KEYWORDS,
     "encrypt_many(key, messages, *, sumtable=None, native_endian=False) -> list[bytes]\n\n"
     "Encrypts every byte buffer of the iterable `messages`."},
    {"decrypt_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decrypt_many)),
     METH_VARARGS | METH_KEYWORDS,
     "decrypt_many(key, messages, *, sumtable=None, native_endian=False, errors='raise') "
     "-> list[bytes | None]\n\n"
     "Decrypts every byte buffer of the iterable `messages`."},
    {"_encrypt_arrow", encrypt_arrow, METH_VARARGS,
     "_encrypt_arrow(key, chunks, sumtable, native_endian) -> list[tuple]"},
    {"_decrypt_arrow", decrypt_arrow, METH_VARARGS,
     "_decrypt_arrow(key, chunks, sumtable, native_endian, null_errors) -> list[tuple]"},
    {"batch_kernel", batch_kernel, METH_NOARGS,
     "batch_kernel() -> str\n\nThe name of the batch kernel in use."},
    {"_kernels", kernels, METH_NOARGS,
     "_kernels() -> tuple[str, ...]\n\nThe kernels this CPU runs, fastest first."},
    {"_select_kernel", select_kernel, METH_O,
     "_select_kernel(name) -> None\n\nUses the named kernel from now on (None: the start-up "
     "choice). For tests and benchmarks."},
    {nullptr, nullptr, 0, nullptr},
};

struct CapsuleDef {
    const char *attribute;
    const char *name;  // lives as long as the process
    void *pointer;
};

const CapsuleDef kCapsules[] = {
    {"qulo_batch_encrypt_qq", "qulo.qulo_batch_encrypt_qq",
     reinterpret_cast<void *>(qulo_batch_encrypt_qq)},
    {"qulo_batch_decrypt_qq", "qulo.qulo_batch_decrypt_qq",
     reinterpret_cast<void *>(qulo_batch_decrypt_qq)},
    {"qulo_batch_encrypt", "qulo.qulo_batch_encrypt", reinterpret_cast<void *>(qulo_batch_encrypt)},
    {"qulo_batch_decrypt", "qulo.qulo_batch_decrypt", reinterpret_cast<void *>(qulo_batch_decrypt)},
    {"qulo_batch_encrypt_native_endian", "qulo.qulo_batch_encrypt_native_endian",
     reinterpret_cast<void *>(qulo_batch_encrypt_native_endian)},
    {"qulo_batch_decrypt_native_endian", "qulo.qulo_batch_decrypt_native_endian",
     reinterpret_cast<void *>(qulo_batch_decrypt_native_endian)},
    {"qulo_batch_kernel", "qulo.qulo_batch_kernel", reinterpret_cast<void *>(qulo_batch_kernel)},
};

int exec_module(PyObject *module) {
    for (const CapsuleDef &c : kCapsules) {
        if (PyModule_Add(module, c.attribute, PyCapsule_New(c.pointer, c.name, nullptr)) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_batch",
    "Many messages per call: the batch entry points of the cipher core.",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qulo

extern "C" PyMODINIT_FUNC PyInit__batch(void) { return PyModuleDef_Init(&qulo::module_def); }
