// The memory layout of an Arrow binary or large_binary array, read and
// written as plain bytes: no Python, no Arrow library. A chunk is the three
// buffers of one array (validity bitmap, value offsets, value data) with
// the array's slice (offset, length).
#pragma once

#include <cstdint>

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

// Offset i of the slice (0 <= i <= length); the chunk must have passed check().
int64_t value_offset(const BinaryChunk &c, int64_t i);

// Whether element i of the slice is valid (not null).
bool is_valid(const BinaryChunk &c, int64_t i);

// Null when the buffers hold what the slice says: a validity bitmap that
// covers it, enough offsets, offsets that never decrease and stay inside
// the data. Otherwise a sentence saying what is wrong.
const char *check(const BinaryChunk &c);

// Writes offset i of an output offsets buffer of `width` bytes per entry.
void store_offset(uint8_t *offsets, int width, int64_t i, int64_t value);

// Sets or clears bit i of a bitmap (least significant bit first).
void set_bit(uint8_t *bits, int64_t i, bool value);

// The largest offset a `width`-byte offsets buffer can hold.
int64_t max_offset(int width);

}  // namespace qulo::arrow
