// The memory layout of an Arrow binary or large_binary array, read and
// written as plain bytes: no Python, no Arrow library. A chunk is the three
// buffers of one array (validity bitmap, value offsets, value data) with
// the array's slice (offset, length).
//
// The accessors are inline: the batch functions call them once or twice per
// message, which at 64-byte messages is a measurable share of the work.
#pragma once

#include <cstdint>
#include <cstring>

namespace qulo::arrow {

struct Span {
    const uint8_t *data = nullptr;
    int64_t size = 0;
};

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

// Null when the buffers hold what the slice says: a validity bitmap that
// covers it, enough offsets, offsets that never decrease and stay inside
// the data. Otherwise a sentence saying what is wrong.
const char *check(const BinaryChunk &c);

// The slice's validity re-based to bit 0 in `bits` ((length + 7) / 8
// bytes; the bits past the end are cleared). Returns the number of nulls.
// The chunk must have a validity bitmap.
int64_t copy_validity(const BinaryChunk &c, uint8_t *bits);

// The offsets of the chunk's ciphertexts, a value of n bytes taking
// encrypt_len(n) and a null none, into `offsets` (length + 1 entries of the
// chunk's width, starting at 0). Returns the size of the data they address,
// or -1 when that passes max_offset(width). The chunk must have passed
// check().
int64_t ciphertext_offsets(const BinaryChunk &c, uint8_t *offsets);

}  // namespace qulo::arrow
