#include "arrow_cipher.hpp"

#include "arrow_column.hpp"
#include "arrow_reader.hpp"
#include "batch_engine.hpp"
#include "cipher_args.hpp"
#include "qulo/batch.h"
#include "qulo/mode.h"

#include <functional>

namespace qulo {
namespace {

using arrow::BinaryChunk;
using arrow::Format;
using arrow::OutChunk;
using arrow::ViewChunk;
using batch::Messages;

// The valid elements of an imported column in the order of their messages,
// walked in steps: at(slot) moves the walk up to the element of `slot`,
// telling `on_element(c, i, slot)` of every element on the way (slot -1 for
// a null) and `on_chunk_end(c)` of every chunk finished, so that one pass
// over the messages can also write what the nulls and chunk ends need.
class Walk {
public:
    explicit Walk(const arrow::ImportedColumn &in) : in_(in) { enter(); }

    template <class OnElement, class OnChunkEnd>
    void to(Py_ssize_t end_slot, OnElement on_element, OnChunkEnd on_chunk_end) {
        while (c_ < in_.count()) {
            for (; i_ < length_; ++i_) {
                const bool valid = bits_ == nullptr || arrow::get_bit(bits_, bit_offset_ + i_);
                if (valid && slot_ == end_slot) {
                    return;
                }
                on_element(c_, i_, valid ? slot_++ : Py_ssize_t{-1});
            }
            on_chunk_end(c_);
            ++c_;
            enter();
        }
    }

    // The rest of the column: what follows the last message.
    template <class OnElement, class OnChunkEnd>
    void to_end(OnElement on_element, OnChunkEnd on_chunk_end) {
        to(-1, on_element, on_chunk_end);
    }

private:
    // Chunk c_'s length and validity, read once.
    void enter() {
        i_ = 0;
        if (c_ >= in_.count()) {
            return;
        }
        const arrow::Chunk &chunk = in_.chunk(c_);
        const bool view = chunk.format == Format::binary_view;
        length_ = chunk.length();
        bits_ = view ? chunk.view.validity.data : chunk.binary.validity.data;
        bit_offset_ = view ? chunk.view.offset : chunk.binary.offset;
    }

    const arrow::ImportedColumn &in_;
    Py_ssize_t c_ = 0;
    int64_t i_ = 0;
    Py_ssize_t slot_ = 0;
    int64_t length_ = 0;
    const uint8_t *bits_ = nullptr;
    int64_t bit_offset_ = 0;
};

void no_chunk_end(Py_ssize_t) {}

// What a packer of results shares: after each window of the batch
// (operator(), for run_windows) and once at the end (finish), the walk over
// the column goes on, calling the packer's element() for each element and
// end_chunk() for each chunk it passes.
template <class Packer>
class Packing {
public:
    explicit Packing(const arrow::ImportedColumn &in) : walk_(in) {}

    void operator()(const Messages &m, Py_ssize_t, Py_ssize_t last) { walk(m, last); }

    // The elements after the last message, and the ends of the chunks.
    void finish(const Messages &m) { walk(m, -1); }

private:
    void walk(const Messages &m, Py_ssize_t end_slot) {
        auto &packer = static_cast<Packer &>(*this);
        walk_.to(
            end_slot,
            [&](Py_ssize_t c, int64_t i, Py_ssize_t slot) { packer.element(m, c, i, slot); },
            [&](Py_ssize_t c) { packer.end_chunk(c); });
    }

    Walk walk_;
};

// What both directions start from: the cipher, the column read and owned,
// one output chunk per input chunk, and the message arrays.
struct ArrowCall {
    explicit ArrowCall(PyObject *of) : module(of) {}

    PyObject *module;
    CipherSetup setup;
    arrow::ImportedColumn in;
    arrow::OutChunks out;
    Messages m;
    bool as_text = false;  // decryption: plaintexts must be UTF-8, the column is text
    int64_t not_text = 0;  // plaintexts refused as text (the core counts the others)

    // False with an exception set.
    bool begin(PyObject *key, PyObject *column, PyObject *sumtable, int native_endian,
               int32_t direction, bool verify) {
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

    // The room of a value of n bytes, as the core gives it.
    batch::Rooms room{setup};

    // Raises the error of element i of chunk c, whose message is `slot`
    // with `status`, naming its index in the column. Returns false.
    bool raise(Py_ssize_t c, int64_t i, Py_ssize_t slot, int64_t status) {
        batch::refused(module, in.first(c) + static_cast<Py_ssize_t>(i), m.len[slot], status);
        return false;
    }

    // After a run that refused `refused` messages: each made null
    // (null_errors), or the first raised. A refused message's output took
    // no room. False with an exception set.
    bool settle_refusals(int64_t refused, bool null_errors) {
        if (refused <= 0) {
            return refused == 0;
        }
        bool ok = true;
        Walk walk(in);
        walk.to_end(
            [&](Py_ssize_t c, int64_t i, Py_ssize_t slot) {
                if (ok && slot >= 0 && m.result[slot] < 0) {
                    ok = null_errors ? out[c]->set_null(i) : raise(c, i, slot, m.result[slot]);
                }
            },
            no_chunk_end);
        return ok;
    }

    // The column of the output chunks.
    PyObject *finish() {
        for (Py_ssize_t c = 0; c < out.count(); ++c) {
            if (!out[c]->seal()) {
                return nullptr;
            }
        }
        return new_arrow_column(module, {in.format, as_text}, out);
    }
};

// The result of message `slot` (-1 for a null), as a text column takes it: a
// plaintext that is not UTF-8 is refused (kNotText) before it takes room.
int64_t text_result(ArrowCall &call, const Messages &m, Py_ssize_t slot) {
    if (slot < 0) {
        return -1;
    }
    const int64_t r = m.result[slot];
    if (call.as_text && r >= 0 && !arrow::valid_utf8(m.value(slot), r)) {
        ++call.not_text;
        return m.result[slot] = kNotText;
    }
    return r;
}

// ---- binary and large_binary ------------------------------------------------------

// Ciphertext lengths follow from plaintext lengths, so every ciphertext is
// written straight to its place in its chunk's one output data block: the
// offsets are laid out first, from the room the core gives each value, the
// block is made of exactly their total, and each message is pointed at its
// place.
bool encrypt_offsets(ArrowCall &call) {
    Messages &m = call.m;
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < call.in.count(); ++c) {
        const BinaryChunk &in = call.in.chunk(c).binary;
        OutChunk &o = *call.out[c];
        const uint8_t *const values = in.data.data;
        const Py_ssize_t first = slot;
        // Until the block exists, a message's start holds where its
        // ciphertext goes (the core writes start only during the run).
        const int64_t total = arrow::output_offsets(
            in, o.index, [&call](int64_t n) { return call.room(n); },
            [&m, &slot, values](int64_t start, int64_t n, int64_t at, int64_t size) {
                m.src[slot] = values == nullptr ? nullptr : values + start;
                m.len[slot] = n;
                m.start[slot] = at;
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
        if (!o.make_data(total)) {
            return false;
        }
        for (Py_ssize_t s = first; s < slot; ++s) {
            m.out[s] = o.data + m.start[s];
        }
    }
    m.count = slot;
    return call.settle_refusals(batch::run(call.setup, m), false);
}

// Plaintext lengths are known only afterwards: each chunk's ciphertexts are
// decrypted into its output data block laid out as the input data (each
// text where it lies there), then, window by window while the plaintexts
// are in the cache, each is moved once to follow the one before and the
// offsets are written; the block is cut to the plaintexts' total.
class PackOffsets : public Packing<PackOffsets> {
public:
    explicit PackOffsets(ArrowCall &call) : Packing(call.in), call_(call) { begin_chunk(0); }

private:
    friend class Packing<PackOffsets>;

    void begin_chunk(Py_ssize_t c) {
        total_ = 0;
        if (c < call_.out.count()) {
            at_ = call_.out[c]->data;
            index_ = call_.out[c]->index;
            width_ = call_.in.chunk(c).binary.width;
        }
    }

    void end_chunk(Py_ssize_t c) {
        call_.out[c]->shrink_data(total_);
        begin_chunk(c + 1);
    }

    void element(const Messages &m, Py_ssize_t, int64_t i, Py_ssize_t slot) {
        const int64_t r = text_result(call_, m, slot);
        if (r > 0) {
            // Never up: each plaintext is shorter than its text, so it ends
            // before its text's output does, and no later text's output is
            // touched.
            if (at_ != m.value(slot)) {
                batch::move_down(at_, m.value(slot), r);
            }
            at_ += r;
            total_ += r;
        }
        arrow::store_offset(index_, width_, i + 1, total_);
    }

    ArrowCall &call_;
    uint8_t *at_ = nullptr;  // where the chunk's next plaintext goes
    int64_t total_ = 0;
    uint8_t *index_ = nullptr;  // the chunk's offsets
    int width_ = 4;
};

bool decrypt_offsets(ArrowCall &call, bool null_errors) {
    Messages &m = call.m;
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < call.in.count(); ++c) {
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
            const int64_t room = call.room(n);
            m.src[slot] = in.data.data == nullptr ? nullptr : in.data.data + start;
            m.len[slot] = n;
            m.out[slot] = room >= 0 ? o.data + (start - first) : nullptr;
            m.cap[slot] = room >= 0 ? room : 0;
            ++slot;
        }
    }
    m.count = slot;
    PackOffsets pack(call);
    const int64_t refused = batch::run_windows(call.setup, m, std::ref(pack));
    if (refused < 0) {
        return false;
    }
    pack.finish(m);
    return call.settle_refusals(refused + call.not_text, null_errors);
}

// ---- binary_view ---------------------------------------------------------------------

// The most data buffers values of `total` bytes can need when cut at 2 GiB:
// two neighbouring buffers always hold more than 2 GiB together.
int64_t most_buffers(int64_t total) { return 2 * (total / INT32_MAX + 1) + 1; }

// The messages of a view chunk, each valid value with the output room the
// core gives it, one after another in the chunk's data block. A room a view
// cannot address (a ciphertext past 2 GiB) is refused, naming the element.
// False with an exception set.
bool view_messages(ArrowCall &call, Py_ssize_t c, Py_ssize_t &slot) {
    const ViewChunk &in = call.in.chunk(c).view;
    Messages &m = call.m;
    OutChunk &o = *call.out[c];
    const Py_ssize_t first = slot;
    int64_t total = 0;
    for (int64_t i = 0; i < in.length; ++i) {
        if (!arrow::is_valid(in, i)) {
            continue;
        }
        const arrow::Span v = arrow::view_value(in, i);
        const int64_t room = call.room(v.size);
        if (room > INT32_MAX) {
            PyErr_Format(PyExc_OverflowError,
                         "message %zd: a ciphertext of %lld bytes passes the 2 GiB a view "
                         "addresses",
                         call.in.first(c) + static_cast<Py_ssize_t>(i),
                         static_cast<long long>(room));
            return false;
        }
        m.src[slot] = v.data;
        m.len[slot] = v.size;
        m.cap[slot] = room > 0 ? room : 0;
        total += m.cap[slot];
        ++slot;
    }
    if (!o.make_data(total) || !o.make_data_buffers(most_buffers(total))) {
        return false;
    }
    uint8_t *at = o.data;
    for (Py_ssize_t s = first; s < slot; ++s) {
        m.out[s] = m.cap[s] > 0 ? at : nullptr;
        at += m.cap[s];
    }
    return true;
}

// Writes the views of the results, window by window while they are in the
// cache: a value of up to 12 bytes inline, a longer one moved once to follow
// the one before in the data block (never up, as for offsets), the block
// cut into buffers of at most 2 GiB as it fills. A refused value takes no
// room.
class PackViews : public Packing<PackViews> {
public:
    explicit PackViews(ArrowCall &call) : Packing(call.in), call_(call) {}

private:
    friend class Packing<PackViews>;

    void end_chunk(Py_ssize_t c) {
        OutChunk &o = *call_.out[c];
        o.n_data = placer_.buffers();
        o.shrink_data(placer_.total());
        placer_ = arrow::ViewPlacer();
    }

    void element(const Messages &m, Py_ssize_t c, int64_t i, Py_ssize_t slot) {
        const int64_t r = text_result(call_, m, slot);
        if (r < 0) {
            return;  // null: its view stays zero
        }
        OutChunk &o = *call_.out[c];
        uint8_t *const view = o.index + i * arrow::kViewSize;
        const auto n = static_cast<int32_t>(r);
        if (n <= arrow::kInlineMax) {
            arrow::store_view(view, m.value(slot), n, 0, 0);
            return;
        }
        const arrow::ViewPlacer::Place p = placer_.place(n);
        uint8_t *const to = o.data + p.block;
        if (to != m.value(slot)) {  // a ciphertext is where its room was
            batch::move_down(to, m.value(slot), n);
        }
        arrow::store_view(view, to, n, p.buffer, p.at);
        o.sizes[p.buffer] = p.at + n;
    }

    ArrowCall &call_;
    arrow::ViewPlacer placer_;
};

bool cipher_views(ArrowCall &call, bool null_errors) {
    Py_ssize_t slot = 0;
    for (Py_ssize_t c = 0; c < call.in.count(); ++c) {
        if (!view_messages(call, c, slot)) {
            return false;
        }
    }
    call.m.count = slot;
    PackViews pack(call);
    const int64_t refused = batch::run_windows(call.setup, call.m, std::ref(pack));
    if (refused < 0) {
        return false;
    }
    pack.finish(call.m);
    return call.settle_refusals(refused + call.not_text, null_errors);
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
    ArrowCall call(module);
    if (!call.begin(key, column, sumtable, native_endian, QULO_ENCRYPT, false)) {
        return nullptr;
    }
    // An encryption refuses nothing the call let through: if the core ever
    // did, the error is raised rather than an unwritten output returned.
    const bool done = call.in.format == Format::binary_view ? cipher_views(call, false)
                                                            : encrypt_offsets(call);
    return done ? call.finish() : nullptr;
}

PyObject *decrypt_arrow(PyObject *module, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"key",    "column", "sumtable", "native_endian",
                                     "errors", "verify", "as_text",  nullptr};
    PyObject *key, *column, *sumtable = Py_None, *errors = nullptr;
    int native_endian = 0, verify = 0, as_text = 0;
    bool null_errors = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OpOpp:_decrypt_arrow",
                                     const_cast<char **>(keywords), &key, &column, &sumtable,
                                     &native_endian, &errors, &verify, &as_text) ||
        (errors != nullptr && !batch::parse_errors(errors, null_errors))) {
        return nullptr;
    }
    ArrowCall call(module);
    call.as_text = as_text != 0;
    if (!call.begin(key, column, sumtable, native_endian, QULO_DECRYPT, verify != 0)) {
        return nullptr;
    }
    const bool done = call.in.format == Format::binary_view ? cipher_views(call, null_errors)
                                                            : decrypt_offsets(call, null_errors);
    return done ? call.finish() : nullptr;
}

}  // namespace qulo
