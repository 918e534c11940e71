// The memory layout of an Arrow binary, large_binary or binary_view array,
// read and written as plain bytes: no Python, no Arrow library. A binary
// chunk is the three buffers of one array (validity bitmap, value offsets,
// value data) with the array's slice (offset, length); a view chunk holds
// 16-byte views instead of offsets, each naming its value's bytes inline
// (up to 12) or in one of several data buffers.
//
// The accessors are inline: the batch functions call them once or twice per
// message, which at 64-byte messages is a measurable share of the work.
#pragma once

#include "arrow_abi.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace qulo::arrow {

struct Span {
    const uint8_t *data = nullptr;
    int64_t size = 0;
};

// The size of a buffer handed over through the C data interface, which
// carries no sizes: as large as the array's own description says.
inline constexpr int64_t kUnsized = INT64_MAX;

struct BinaryChunk {
    int64_t length = 0;
    int64_t offset = 0;  // the slice's first element in the buffers
    Span validity;       // may be empty: every element valid
    Span offsets;        // length + 1 (after `offset`) offsets of `width` bytes
    Span data;
    int width = 4;       // 4 for binary, 8 for large_binary
};

// Entry i of an offsets buffer of `width`-byte entries.
inline int64_t load_offset(const uint8_t *offsets, int width, int64_t i) {
    if (width == 4) {
        int32_t v;
        std::memcpy(&v, offsets + i * 4, sizeof v);
        return v;
    }
    int64_t v;
    std::memcpy(&v, offsets + i * 8, sizeof v);
    return v;
}

// Writes entry i of an offsets buffer of `width`-byte entries.
inline void store_offset(uint8_t *offsets, int width, int64_t i, int64_t value) {
    if (width == 4) {
        const auto v = static_cast<int32_t>(value);
        std::memcpy(offsets + i * 4, &v, sizeof v);
    } else {
        std::memcpy(offsets + i * 8, &value, sizeof value);
    }
}

// Offset i of the slice (0 <= i <= length); the chunk must have passed check().
inline int64_t value_offset(const BinaryChunk &c, int64_t i) {
    return load_offset(c.offsets.data, c.width, c.offset + i);
}

// Bit i of a bitmap (least significant bit first).
inline bool get_bit(const uint8_t *bits, int64_t i) { return ((bits[i / 8] >> (i % 8)) & 1) != 0; }

// Sets or clears bit i of a bitmap (least significant bit first).
inline void set_bit(uint8_t *bits, int64_t i, bool value) {
    const auto mask = static_cast<uint8_t>(1u << (i % 8));
    bits[i / 8] = static_cast<uint8_t>(value ? bits[i / 8] | mask : bits[i / 8] & ~mask);
}

// Whether element i of the slice is valid (not null).
inline bool is_valid(const BinaryChunk &c, int64_t i) {
    return c.validity.data == nullptr || get_bit(c.validity.data, c.offset + i);
}

// The largest offset a `width`-byte offsets buffer can hold.
inline int64_t max_offset(int width) { return width == 4 ? INT32_MAX : INT64_MAX; }

// Null when the buffers hold what the slice says: a slice whose end is an
// int64_t, a validity bitmap that covers it, enough offsets, offsets that
// never decrease and stay inside the data. Otherwise a sentence saying what
// is wrong. Any length and offset may be given: the ranges are checked
// without overflow.
const char *check(const BinaryChunk &c);

// The validity of the slice [offset, offset + length) re-based to bit 0 in
// `bits` ((length + 7) / 8 bytes; the bits past the end are cleared).
// Returns the number of nulls.
int64_t copy_validity(const uint8_t *validity, int64_t offset, int64_t length, uint8_t *bits);

// The same for a chunk, which must have a validity bitmap.
inline int64_t copy_validity(const BinaryChunk &c, uint8_t *bits) {
    return copy_validity(c.validity.data, c.offset, c.length, bits);
}

namespace detail {

template <class Offset, class Room, class Visit>
int64_t output_offsets_of(const BinaryChunk &c, uint8_t *offsets, Room &room, Visit &visit) {
    const auto *in = c.offsets.data + c.offset * static_cast<int64_t>(sizeof(Offset));
    Offset entry = 0;
    std::memcpy(offsets, &entry, sizeof entry);
    std::memcpy(&entry, in, sizeof entry);
    int64_t start = entry;
    int64_t total = 0;
    for (int64_t i = 0; i < c.length; ++i) {
        std::memcpy(&entry, in + (i + 1) * static_cast<int64_t>(sizeof entry), sizeof entry);
        const int64_t end = entry;
        if (is_valid(c, i)) {
            // A value the core will refuse (room is its status) takes none.
            const int64_t size = std::max<int64_t>(room(end - start), 0);
            visit(start, end - start, total, size);
            total += size;
        }
        start = end;
        entry = static_cast<Offset>(total);  // past the limit only when refused below
        std::memcpy(offsets + (i + 1) * static_cast<int64_t>(sizeof entry), &entry, sizeof entry);
    }
    return total > std::numeric_limits<Offset>::max() ? -1 : total;
}

}  // namespace detail

// Lays the chunk's outputs out one after another from 0, a value of n bytes
// taking room(n) as the core gives it (none when that is a status: a value
// the core refuses) and a null none: writes
// their offsets to `offsets` (length + 1 entries of the chunk's width) and
// calls visit(start, n, at, size) for each valid value, `start` being where
// it lies in the input data and `at` where its `size` bytes go. Returns the
// size of the data the offsets address, or -1 when that passes
// max_offset(width) (the offsets written are then meaningless). The chunk
// must have passed check(); with length 0 it needs no offsets buffer.
template <class Room, class Visit>
int64_t output_offsets(const BinaryChunk &c, uint8_t *offsets, Room room, Visit visit) {
    if (c.length == 0) {
        std::memset(offsets, 0, static_cast<size_t>(c.width));
        return 0;
    }
    return c.width == 4 ? detail::output_offsets_of<int32_t>(c, offsets, room, visit)
                        : detail::output_offsets_of<int64_t>(c, offsets, room, visit);
}

// ---- binary_view ----------------------------------------------------------

// A view: the value's length (int32), then up to 12 bytes inline, or its
// first 4 bytes, the index of its data buffer and its offset there (int32).
inline constexpr int64_t kViewSize = 16;
inline constexpr int32_t kInlineMax = 12;

struct ViewChunk {
    int64_t length = 0;
    int64_t offset = 0;
    Span validity;
    const uint8_t *views = nullptr;              // offset + length views
    const uint8_t *const *buffers = nullptr;     // the data buffers
    const int64_t *sizes = nullptr;              // and their sizes
    int64_t n_buffers = 0;
};

inline int32_t load_i32(const uint8_t *p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline bool is_valid(const ViewChunk &c, int64_t i) {
    return c.validity.data == nullptr || get_bit(c.validity.data, c.offset + i);
}

// The bytes of valid element i of the slice; the chunk must have passed check().
inline Span view_value(const ViewChunk &c, int64_t i) {
    const uint8_t *view = c.views + (c.offset + i) * kViewSize;
    const int32_t n = load_i32(view);
    if (n <= kInlineMax) {
        return {view + 4, n};
    }
    return {c.buffers[load_i32(view + 8)] + load_i32(view + 12), n};
}

// Null when every valid element's view points inside what the chunk holds:
// no negative length, a data buffer that exists, a value that ends inside
// it. Otherwise a sentence saying what is wrong. Null elements are never
// read, so their views are not looked at.
const char *check(const ViewChunk &c);

// Writes a view of `n` bytes: inline from `value` when n <= 12 (the rest
// zero), otherwise its first 4 bytes from `value` and where it lies.
inline void store_view(uint8_t *view, const uint8_t *value, int32_t n, int32_t buffer,
                       int32_t at) {
    std::memset(view, 0, kViewSize);
    std::memcpy(view, &n, sizeof n);
    if (n <= kInlineMax) {
        if (n > 0) {
            std::memcpy(view + 4, value, static_cast<size_t>(n));
        }
        return;
    }
    std::memcpy(view + 4, value, 4);
    std::memcpy(view + 8, &buffer, sizeof buffer);
    std::memcpy(view + 12, &at, sizeof at);
}

// Where values go when they are laid out one after another in one block
// that is cut into data buffers of at most 2 GiB each (a view's offset is an
// int32): place(size) gives the value's buffer and offset there, starting a
// new buffer when the value would pass the limit.
class ViewPlacer {
public:
    struct Place {
        int32_t buffer;  // index of the data buffer
        int32_t at;      // offset in that buffer
        int64_t block;   // offset in the whole block
    };
    // Each size at most INT32_MAX.
    Place place(int64_t size) {
        if (total_ - start_ + size > INT32_MAX && total_ > start_) {
            start_ = total_;
            ++buffers_;
        }
        const Place p{static_cast<int32_t>(buffers_ - 1), static_cast<int32_t>(total_ - start_),
                      total_};
        total_ += size;
        return p;
    }
    // The number of buffers begun (at least 1) and the bytes placed.
    int64_t buffers() const { return buffers_; }
    int64_t total() const { return total_; }

private:
    int64_t start_ = 0;
    int64_t total_ = 0;
    int64_t buffers_ = 1;
};

// ---- what the C data interface hands over -----------------------------------

enum class Format { binary, large_binary, binary_view };

// A column's type: its layout, and whether its values are UTF-8 text
// (string, large_string, string_view share the binary layouts).
struct ColumnType {
    Format format = Format::binary;
    bool text = false;
};

// The format string of each ("z", "Z", "vz"; as text "u", "U", "vu").
const char *format_string(ColumnType t);

// Why a schema is no column qulo reads.
enum class TypeRefusal {
    none,        // a binary or string column of one of the three layouts
    table,       // a struct: a table or record batch, columns in it
    dictionary,  // dictionary-encoded values
    fixed_size,  // fixed_size_binary ("w:N")
    other,       // any other type, or a nested one
};

// The type of a schema's column, or why there is none.
TypeRefusal read_type(const ArrowSchema &schema, ColumnType &out);

// Whether n bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF), as a string column's values must be.
bool valid_utf8(const uint8_t *p, int64_t n);

// One chunk of any of the formats.
struct Chunk {
    Format format = Format::binary;
    BinaryChunk binary;
    ViewChunk view;

    int64_t length() const { return format == Format::binary_view ? view.length : binary.length; }
};

// Reads `array` as a chunk of `format` into `out` and checks it as above
// (the buffer count, the buffers a non-empty chunk needs, then the values).
// Null when it may be read; otherwise a sentence saying what is wrong.
const char *describe(Format format, const ArrowArray &array, Chunk &out);

}  // namespace qulo::arrow
