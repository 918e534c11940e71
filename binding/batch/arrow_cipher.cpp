#include "arrow_cipher.hpp"

#include "arrow_reader.hpp"
#include "batch_engine.hpp"
#include "cipher_args.hpp"
#include "qulo/batch.h"
#include "qulo/mode.h"

#include <cstring>

namespace qulo {
namespace {

using arrow::BinaryChunk;
using arrow::Format;
using arrow::OutChunk;
using arrow::ViewChunk;
using batch::Messages;

// What both directions start from: the cipher, the column read and owned,
// one output chunk per input chunk, and the message arrays.
struct ArrowCall {
    CipherSetup setup;
    arrow::ImportedColumn in;
    arrow::OutChunks out;
    Messages m;

    // False with an exception set.
    bool begin(PyObject *module, PyObject *key, PyObject *column, PyObject *sumtable,
               int native_endian, int32_t direction, bool verify) {
        PyTypeObject *tea = cipher_args_state(module).tea_type;
        if (!parse_cipher_setup(key, sumtable, {direction, native_endian != 0, verify}, tea,
                                setup) ||
            !batch::kernel_ready() || !in.read(column)) {
            return false;
        }
        if (!out.allocate(in.count()) || !m.allocate(in.elements)) {
            return false;
        }
        for (Py_ssize_t c = 0; c < in.count(); ++c) {
            if ((out[c] = OutChunk::create(in.format, in.chunk(c).length())) == nullptr ||
                !start_validity(c)) {
                return false;
            }
        }
        return true;
    }

    // The input's validity re-based to offset 0, when it has any.
    bool start_validity(Py_ssize_t c) {
        const arrow::Chunk &ch = in.chunk(c);
        const bool view = ch.format == Format::binary_view;
        const uint8_t *bits = view ? ch.view.validity.data : ch.binary.validity.data;
        const int64_t length = ch.length();
        if (bits == nullptr || length == 0) {
            return true;
        }
        OutChunk &o = *out[c];
        if (!o.make_validity()) {
            return false;
        }
        o.null_count =
            arrow::copy_validity(bits, view ? ch.view.offset : ch.binary.offset, length, o.validity);
        return true;
    }

    // Message `slot`, element i of chunk c, was refused: its error raised,
    // or with errors="null" the element made null. False with an exception
    // set.
    bool refuse(Py_ssize_t c, int64_t i, Py_ssize_t slot, bool null_errors) {
        if (!null_errors) {
            batch::refused(in.first(c) + static_cast<Py_ssize_t>(i), m.len[slot], m.result[slot]);
            return false;
        }
        return out[c]->set_null(i);
    }

    // The column of the output chunks.
    PyObject *finish() {
        for (Py_ssize_t c = 0; c < out.count(); ++c) {
            if (!out[c]->seal()) {
                return nullptr;
            }
        }
        return new_arrow_column(in.format, out);
    }
};

// ---- binary and large_binary ------------------------------------------------------

// Ciphertext lengths follow from plaintext lengths, so every ciphertext is
// written straight to its place in its chunk's one output data block, laid
// out in the same pass that fills the message arrays. The block is sized
// by a bound first and cut to what was used after.
bool encrypt_offsets(ArrowCall &call) {
    Messages &m = call.m;
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < call.in.count(); ++c) {
        const BinaryChunk &in = call.in.chunk(c).binary;
        OutChunk &o = *call.out[c];
        if (!o.make_data(arrow::ciphertext_bound(in))) {
            return false;
        }
        uint8_t *const base = o.data;
        const uint8_t *const values = in.data.data;
        const int64_t total = arrow::ciphertext_offsets(
            in, o.index, [&m, &slot, base, values](int64_t start, int64_t n, int64_t at, int64_t size) {
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
            return false;
        }
        o.data_size = total;  // the rest of the block is given back below
    }
    m.count = slot;
    if (!batch::run(call.setup, call.m)) {
        return false;
    }
    for (Py_ssize_t c = 0; c < call.out.count(); ++c) {
        call.out[c]->shrink_data(call.out[c]->data_size);
    }
    return true;
}

// Plaintext lengths are known only afterwards: each chunk's ciphertexts are
// decrypted into its output data block laid out as the input data (each
// text where it lies there), then the plaintexts are moved down to follow
// one another and the block is cut to their total.
bool decrypt_offsets(ArrowCall &call, bool null_errors) {
    Messages &m = call.m;
    const Py_ssize_t count = call.in.count();
    OwnedArray<Py_ssize_t> end_slot;
    if (!end_slot.allocate(count)) {
        return false;
    }
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const BinaryChunk &in = call.in.chunk(c).binary;
        OutChunk &o = *call.out[c];
        const int64_t first = in.length > 0 ? arrow::value_offset(in, 0) : 0;
        if (!o.make_data(in.length > 0 ? arrow::value_offset(in, in.length) - first : 0)) {
            return false;
        }
        for (int64_t i = 0; i < in.length; ++i) {
            if (!arrow::is_valid(in, i)) {
                continue;
            }
            const int64_t start = arrow::value_offset(in, i);
            const int64_t n = arrow::value_offset(in, i + 1) - start;
            const bool decryptable = batch::decryptable(n);
            m.src[slot] = in.data.data == nullptr ? nullptr : in.data.data + start;
            m.len[slot] = n;
            m.out[slot] = decryptable ? o.data + (start - first) : nullptr;
            m.cap[slot] = decryptable ? n : 0;
            ++slot;
        }
        end_slot[c] = slot;
    }
    m.count = slot;
    // Each window's plaintexts are moved down to follow one another while
    // they are still in the cache. Never up: each plaintext is shorter than
    // its text, so it ends before its text's output does, and no later
    // text's output is touched.
    Py_ssize_t chunk = 0;
    uint8_t *at = count > 0 ? call.out[0]->data : nullptr;
    auto close_up = [&call, &end_slot, &chunk, &at](const Messages &done, Py_ssize_t first,
                                                    Py_ssize_t last) {
        for (Py_ssize_t s = first; s < last; ++s) {
            while (s >= end_slot[chunk]) {
                at = call.out[++chunk]->data;
            }
            const int64_t r = done.result[s];
            if (r > 0) {
                if (done.out[s] != at) {
                    batch::move_down(at, done.out[s], r);
                }
                at += r;
            }
        }
    };
    if (!batch::run_windows(call.setup, call.m, close_up)) {
        return false;
    }
    slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const BinaryChunk &in = call.in.chunk(c).binary;
        OutChunk &o = *call.out[c];
        int64_t total = 0;
        arrow::store_offset(o.index, in.width, 0, 0);
        for (int64_t i = 0; i < in.length; ++i) {
            if (arrow::is_valid(in, i)) {
                const int64_t r = m.result[slot];
                if (r < 0) {
                    if (!call.refuse(c, i, slot, null_errors)) {
                        return false;
                    }
                } else {
                    total += r;
                }
                ++slot;
            }
            arrow::store_offset(o.index, in.width, i + 1, total);
        }
        o.shrink_data(total);
    }
    return true;
}

// ---- binary_view ---------------------------------------------------------------------

// Each valid value's output takes m.cap bytes (none for a text that cannot
// be decrypted), one after another in the chunk's data block, which is cut
// into buffers of at most 2 GiB. The views are written after the batch,
// placing the same sizes again. False with an exception set.
bool place_views(ArrowCall &call, Py_ssize_t c, Py_ssize_t first_slot, Py_ssize_t end_slot) {
    Messages &m = call.m;
    OutChunk &o = *call.out[c];
    arrow::ViewPlacer placer;
    for (Py_ssize_t s = first_slot; s < end_slot; ++s) {
        if (m.cap[s] > INT32_MAX) {
            PyErr_Format(PyExc_OverflowError,
                         "message %zd: a ciphertext of %lld bytes passes the 2 GiB a view "
                         "addresses",
                         s, static_cast<long long>(m.cap[s]));
            return false;
        }
        if (m.cap[s] > 0) {
            placer.place(m.cap[s]);
        }
    }
    if (!o.make_data(placer.total()) || !o.make_data_buffers(placer.buffers())) {
        return false;
    }
    uint8_t *at = o.data;
    for (Py_ssize_t s = first_slot; s < end_slot; ++s) {
        m.out[s] = m.cap[s] > 0 ? at : nullptr;
        at += m.cap[s];
    }
    return true;
}

// The messages of a view chunk: every valid value, with the output room
// `room(n)` gives a value of n bytes.
template <class Room>
Py_ssize_t view_messages(ArrowCall &call, Py_ssize_t c, Py_ssize_t slot, Room room) {
    const ViewChunk &in = call.in.chunk(c).view;
    Messages &m = call.m;
    for (int64_t i = 0; i < in.length; ++i) {
        if (arrow::is_valid(in, i)) {
            const arrow::Span v = arrow::view_value(in, i);
            m.src[slot] = v.data;
            m.len[slot] = v.size;
            m.cap[slot] = room(v.size);
            ++slot;
        }
    }
    return slot;
}

// Writes the views of chunk c from the batch's results from `slot` on
// (refused ones null, or the error raised), moving `slot` past the chunk;
// false with an exception set.
bool write_views(ArrowCall &call, Py_ssize_t c, Py_ssize_t &slot, bool null_errors) {
    const ViewChunk &in = call.in.chunk(c).view;
    const Messages &m = call.m;
    OutChunk &o = *call.out[c];
    arrow::ViewPlacer placer;
    for (int64_t i = 0; i < in.length; ++i) {
        if (!arrow::is_valid(in, i)) {
            continue;
        }
        const int64_t r = m.result[slot];
        const arrow::ViewPlacer::Place p =
            m.cap[slot] > 0 ? placer.place(m.cap[slot]) : arrow::ViewPlacer::Place{0, 0, 0};
        if (m.cap[slot] > 0) {
            o.sizes[p.buffer] = p.at + m.cap[slot];
        }
        if (r < 0) {
            if (!call.refuse(c, i, slot, null_errors)) {
                return false;
            }
        } else {
            arrow::store_view(o.index + i * arrow::kViewSize, m.out[slot],
                              static_cast<int32_t>(r), p.buffer, p.at);
        }
        ++slot;
    }
    return true;
}

bool cipher_views(ArrowCall &call, bool encrypt, bool null_errors) {
    const Py_ssize_t count = call.in.count();
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        const Py_ssize_t first = slot;
        slot = encrypt ? view_messages(call, c, slot, [](int64_t n) { return qulo_encrypt_len(n); })
                       : view_messages(call, c, slot, [](int64_t n) {
                             return batch::decryptable(n) ? n : int64_t{0};
                         });
        if (!place_views(call, c, first, slot)) {
            return false;
        }
    }
    call.m.count = slot;
    if (!batch::run(call.setup, call.m)) {
        return false;
    }
    slot = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        if (!write_views(call, c, slot, null_errors)) {
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject *encrypt_arrow(PyObject *module, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"key", "column", "sumtable", "native_endian", nullptr};
    PyObject *key, *column, *sumtable = Py_None;
    int native_endian = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$Op:_encrypt_arrow",
                                     const_cast<char **>(keywords), &key, &column, &sumtable,
                                     &native_endian)) {
        return nullptr;
    }
    ArrowCall call;
    if (!call.begin(module, key, column, sumtable, native_endian, QULO_ENCRYPT, false)) {
        return nullptr;
    }
    const bool done = call.in.format == Format::binary_view ? cipher_views(call, true, false)
                                                            : encrypt_offsets(call);
    return done ? call.finish() : nullptr;
}

PyObject *decrypt_arrow(PyObject *module, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"key",    "column", "sumtable", "native_endian",
                                     "errors", "verify", nullptr};
    PyObject *key, *column, *sumtable = Py_None, *errors = nullptr;
    int native_endian = 0, verify = 0;
    bool null_errors = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OpOp:_decrypt_arrow",
                                     const_cast<char **>(keywords), &key, &column, &sumtable,
                                     &native_endian, &errors, &verify) ||
        (errors != nullptr && !batch::parse_errors(errors, null_errors))) {
        return nullptr;
    }
    ArrowCall call;
    if (!call.begin(module, key, column, sumtable, native_endian, QULO_DECRYPT, verify != 0)) {
        return nullptr;
    }
    const bool done = call.in.format == Format::binary_view ? cipher_views(call, false, null_errors)
                                                            : decrypt_offsets(call, null_errors);
    return done ? call.finish() : nullptr;
}

}  // namespace qulo
