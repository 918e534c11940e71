#include "arrow_chunk.hpp"

#include <cstring>
#include <new>
#include <utility>

namespace qulo::arrow {

namespace {

// Raw memory of `size` bytes (at least one, so that a present buffer is
// never null); null with MemoryError set.
void *raw(int64_t size, bool zeroed) {
    const auto n = static_cast<size_t>(size > 0 ? size : 1);
    void *p = zeroed ? PyMem_RawCalloc(n, 1) : PyMem_RawMalloc(n);
    if (p == nullptr) {
        PyErr_NoMemory();
    }
    return p;
}

int64_t bitmap_bytes(int64_t length) { return length / 8 + (length % 8 != 0 ? 1 : 0); }

}  // namespace

OutChunk *OutChunk::create(Format format, int64_t length) {
    // (length + 1) offsets of 8 bytes or length views of 16: the callers'
    // lengths come from arrays in memory, far below this.
    if (length < 0 || length > INT64_MAX / kViewSize - 1) {
        PyErr_NoMemory();
        return nullptr;
    }
    void *memory = PyMem_RawMalloc(sizeof(OutChunk));
    if (memory == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto *c = new (memory) OutChunk(format, length);
    const int64_t size = format == Format::binary_view ? length * kViewSize
                         : format == Format::binary    ? (length + 1) * 4
                                                       : (length + 1) * 8;
    c->index = static_cast<uint8_t *>(raw(size, true));
    if (c->index == nullptr) {
        c->drop();
        return nullptr;
    }
    return c;
}

OutChunk::~OutChunk() {
    PyMem_RawFree(validity);
    PyMem_RawFree(index);
    PyMem_RawFree(data);
    PyMem_RawFree(sizes);
    PyMem_RawFree(buffers);
}

void OutChunk::drop() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        this->~OutChunk();
        PyMem_RawFree(this);
    }
}

bool OutChunk::make_validity() {
    const int64_t bytes = bitmap_bytes(length);
    validity = static_cast<uint8_t *>(raw(bytes, false));
    if (validity != nullptr) {
        std::memset(validity, 0xFF, static_cast<size_t>(bytes));
    }
    return validity != nullptr;
}

bool OutChunk::set_null(int64_t i) {
    if (validity == nullptr && !make_validity()) {
        return false;
    }
    set_bit(validity, i, false);
    ++null_count;
    return true;
}

bool OutChunk::make_data(int64_t size) {
    data = static_cast<uint8_t *>(raw(size, false));
    data_size = size;
    return data != nullptr;
}

void OutChunk::shrink_data(int64_t size) noexcept {
    if (size < data_size) {
        // A failed shrink keeps the larger block, which serves as well.
        if (void *p = PyMem_RawRealloc(data, static_cast<size_t>(size > 0 ? size : 1))) {
            data = static_cast<uint8_t *>(p);
        }
        data_size = size;
    }
}

bool OutChunk::make_data_buffers(int64_t n) {
    if (n > INT32_MAX) {
        PyErr_NoMemory();
        return false;
    }
    sizes = static_cast<int64_t *>(raw(n * static_cast<int64_t>(sizeof *sizes), true));
    n_data = n;
    return sizes != nullptr;
}

bool OutChunk::seal() {
    const bool view = format == Format::binary_view;
    // Validity, offsets, data; or validity, views, the data buffers, their sizes.
    n_buffers = view ? 3 + n_data : 3;
    buffers = static_cast<const void **>(raw(n_buffers * static_cast<int64_t>(sizeof *buffers), true));
    if (buffers == nullptr) {
        return false;
    }
    buffers[0] = validity;
    buffers[1] = index;
    if (!view) {
        buffers[2] = data;
        return true;
    }
    int64_t start = 0;
    for (int64_t k = 0; k < n_data; ++k) {
        buffers[2 + k] = data + start;
        start += sizes[k];
    }
    buffers[n_buffers - 1] = sizes;
    return true;
}

OutChunks::~OutChunks() {
    for (Py_ssize_t c = 0; c < count_; ++c) {
        if (chunks_[c] != nullptr) {
            chunks_[c]->drop();
        }
    }
    PyMem_RawFree(chunks_);
}

bool OutChunks::allocate(Py_ssize_t n) {
    chunks_ = static_cast<OutChunk **>(raw(n * static_cast<int64_t>(sizeof *chunks_), true));
    count_ = chunks_ == nullptr ? 0 : n;
    return chunks_ != nullptr;
}

OutChunk **OutChunks::release(Py_ssize_t &count) {
    count = count_;
    count_ = 0;
    return std::exchange(chunks_, nullptr);
}

Span OutChunk::value(int64_t i) const {
    if (format == Format::binary_view) {
        const uint8_t *view = index + i * kViewSize;
        const int32_t n = load_i32(view);
        if (n <= kInlineMax) {
            return {view + 4, n};
        }
        return {static_cast<const uint8_t *>(buffers[2 + load_i32(view + 8)]) + load_i32(view + 12),
                n};
    }
    const int width = format == Format::binary ? 4 : 8;
    const int64_t start = load_offset(index, width, i);
    return {data + start, load_offset(index, width, i + 1) - start};
}

namespace {

// The validity of `from` (length elements) into bits [at, at + length) of
// `to`, whose bits there are set; returns its nulls.
int64_t append_validity(const OutChunk &from, uint8_t *to, int64_t at) {
    if (from.validity == nullptr) {
        return 0;
    }
    for (int64_t i = 0; i < from.length; ++i) {
        set_bit(to, at + i, get_bit(from.validity, i));
    }
    return from.null_count;
}

// The offsets, data and views of `from` appended to `to`'s, whose first
// `at` elements, `data_at` data bytes and `buffer_at` data buffers are
// filled.
void append_values(const OutChunk &from, OutChunk &to, int64_t at, int64_t data_at,
                   int64_t buffer_at) {
    if (from.data_size > 0) {
        std::memcpy(to.data + data_at, from.data, static_cast<size_t>(from.data_size));
    }
    if (to.format == Format::binary_view) {
        std::memcpy(to.index + at * kViewSize, from.index,
                    static_cast<size_t>(from.length * kViewSize));
        for (int64_t i = 0; i < from.length; ++i) {
            uint8_t *view = to.index + (at + i) * kViewSize;
            if (load_i32(view) > kInlineMax) {
                const auto buffer = static_cast<int32_t>(load_i32(view + 8) + buffer_at);
                std::memcpy(view + 8, &buffer, sizeof buffer);
            }
        }
        std::memcpy(to.sizes + buffer_at, from.sizes,
                    static_cast<size_t>(from.n_data) * sizeof *to.sizes);
        return;
    }
    const int width = to.format == Format::binary ? 4 : 8;
    for (int64_t i = 1; i <= from.length; ++i) {
        store_offset(to.index, width, at + i, data_at + load_offset(from.index, width, i));
    }
}

}  // namespace

OutChunk *OutChunk::concatenate(Format format, OutChunk *const *chunks, Py_ssize_t count) {
    int64_t length = 0;
    int64_t data_size = 0;
    int64_t n_data = 0;
    bool nulls = false;
    for (Py_ssize_t k = 0; k < count; ++k) {
        length += chunks[k]->length;
        data_size += chunks[k]->data_size;
        n_data += chunks[k]->n_data;
        nulls = nulls || chunks[k]->validity != nullptr;
    }
    if (format == Format::binary && data_size > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError,
                     "the %zd chunks hold %lld bytes together, more than one binary array "
                     "addresses: read the column through __arrow_c_stream__",
                     count, static_cast<long long>(data_size));
        return nullptr;
    }
    OutChunk *c = create(format, length);
    if (c == nullptr) {
        return nullptr;
    }
    const bool view = format == Format::binary_view;
    if ((nulls && !c->make_validity()) || !c->make_data(data_size) ||
        (view && !c->make_data_buffers(n_data))) {
        c->drop();
        return nullptr;
    }
    int64_t at = 0;
    int64_t data_at = 0;
    int64_t buffer_at = 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
        const OutChunk &from = *chunks[k];
        if (nulls) {
            c->null_count += append_validity(from, c->validity, at);
        }
        append_values(from, *c, at, data_at, buffer_at);
        at += from.length;
        data_at += from.data_size;
        buffer_at += from.n_data;
    }
    if (!c->seal()) {
        c->drop();
        return nullptr;
    }
    return c;
}

}  // namespace qulo::arrow
