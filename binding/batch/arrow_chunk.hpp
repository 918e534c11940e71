// The buffers of one chunk of a column made by the batch functions: built
// by a batch function, sealed, then shared by the column object
// (arrow_column.*) and every array exported from it (arrow_export.*).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow_abi.hpp"
#include "arrow_layout.hpp"

#include <atomic>
#include <cstdint>

namespace qulo::arrow {

// The buffers of one output chunk: built by a batch function, then shared
// by the column object and every array exported from it, and freed when
// the last of them lets go. Plain memory from the raw allocator, as a
// consumer may release an array on any thread without the interpreter lock.
class OutChunk {
public:
    // A chunk of `length` elements of `format`, its offsets or (zeroed)
    // views allocated; null with MemoryError set.
    static OutChunk *create(Format format, int64_t length);
    // One sealed chunk of the elements of `count` sealed chunks in order, a
    // copy of theirs; null with MemoryError, or OverflowError when a binary
    // array cannot address their data together.
    static OutChunk *concatenate(Format format, OutChunk *const *chunks, Py_ssize_t count);

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void drop() noexcept;

    // A validity bitmap with every element valid; false with MemoryError.
    bool make_validity();
    // Marks element i null, making a bitmap first if there is none.
    bool set_null(int64_t i);
    // The data block of `size` bytes (contents unset); false with MemoryError.
    bool make_data(int64_t size);
    // Gives back the end of the data block past `size` bytes.
    void shrink_data(int64_t size) noexcept;
    // Room for the sizes of `n` data buffers cut from the block (views).
    bool make_data_buffers(int64_t n);
    // The buffer pointers the C data interface hands out, from what is set;
    // false with MemoryError. Nothing may change afterwards.
    bool seal();

    // Element i of a sealed chunk: whether it is null, and its bytes.
    bool is_null(int64_t i) const { return validity != nullptr && !get_bit(validity, i); }
    Span value(int64_t i) const;

    Format format;
    int64_t length;
    int64_t null_count = 0;
    uint8_t *validity = nullptr;  // null: every element valid
    uint8_t *index = nullptr;     // the offsets, or the views
    uint8_t *data = nullptr;
    int64_t data_size = 0;
    int64_t *sizes = nullptr;  // views: the sizes of the data buffers, one after another
    int64_t n_data = 1;        // views: how many

    const void **buffers = nullptr;
    int64_t n_buffers = 0;

private:
    OutChunk(Format f, int64_t n) : format(f), length(n) {}
    ~OutChunk();
    std::atomic<int64_t> refs_{1};
};

// Owns one reference to each of a call's output chunks until they are
// handed to a column.
class OutChunks {
public:
    OutChunks() = default;
    OutChunks(const OutChunks &) = delete;
    OutChunks &operator=(const OutChunks &) = delete;
    ~OutChunks();

    // Room for n chunks, all null; false with MemoryError.
    bool allocate(Py_ssize_t n);
    OutChunk *&operator[](Py_ssize_t c) const { return chunks_[c]; }
    Py_ssize_t count() const { return count_; }
    // Hands the references over (the caller frees the array with PyMem_RawFree).
    OutChunk **release(Py_ssize_t &count);

private:
    OutChunk **chunks_ = nullptr;
    Py_ssize_t count_ = 0;
};

}  // namespace qulo::arrow

