#include "arrow_layout.hpp"

#include <cstdint>

namespace qulo::arrow {

namespace {

// The offsets of the slice as entries of their own width, so that the loops
// over them compile to plain loads.
template <class Offset>
Offset offset_at(const BinaryChunk &c, int64_t i) {
    Offset v;
    std::memcpy(&v, c.offsets.data + (c.offset + i) * static_cast<int64_t>(sizeof v), sizeof v);
    return v;
}

template <class Offset>
const char *check_offsets(const BinaryChunk &c) {
    int64_t previous = offset_at<Offset>(c, 0);
    if (previous < 0) {
        return "an offset is negative";
    }
    for (int64_t i = 1; i <= c.length; ++i) {
        const int64_t next = offset_at<Offset>(c, i);
        if (next < previous) {
            return "the offsets decrease";
        }
        previous = next;
    }
    if (previous > c.data.size) {
        return "an offset points past the data buffer";
    }
    return nullptr;
}

}  // namespace

const char *check(const BinaryChunk &c) {
    if (c.width != 4 && c.width != 8) {
        return "offsets must be 4 or 8 bytes wide";
    }
    if (c.length < 0 || c.offset < 0) {
        return "negative length or offset";
    }
    if (c.length == 0) {
        return nullptr;  // an empty array may come without buffers
    }
    // The slice's end and the offset after it, end + 1, must be int64_t
    // values; then every size below is computed without overflow.
    if (c.offset > INT64_MAX - 1 - c.length) {
        return "the slice ends past the largest offset";
    }
    const int64_t end = c.offset + c.length;
    if (c.validity.data != nullptr && c.validity.size < end / 8 + (end % 8 != 0 ? 1 : 0)) {
        return "the validity bitmap is shorter than the array";
    }
    if (c.offsets.data == nullptr || c.offsets.size / c.width < end + 1) {
        return "the offsets buffer is shorter than the array";
    }
    return c.width == 4 ? check_offsets<int32_t>(c) : check_offsets<int64_t>(c);
}

namespace {

// Set bits of a byte by table: the baseline instruction set has no popcount,
// and the compiler's fallback is a call into a runtime library the wheels do
// not depend on.
int bits_set(uint8_t b) {
    static constexpr uint8_t kNibble[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    return kNibble[b & 15u] + kNibble[b >> 4];
}

}  // namespace

int64_t copy_validity(const BinaryChunk &c, uint8_t *bits) {
    const int64_t bytes = (c.length + 7) / 8;
    if (c.offset % 8 == 0) {
        std::memcpy(bits, c.validity.data + c.offset / 8, static_cast<size_t>(bytes));
    } else {
        std::memset(bits, 0, static_cast<size_t>(bytes));
        for (int64_t i = 0; i < c.length; ++i) {
            set_bit(bits, i, get_bit(c.validity.data, c.offset + i));
        }
    }
    if (c.length % 8 != 0) {  // the input's bits past the slice are not ours
        bits[bytes - 1] = static_cast<uint8_t>(bits[bytes - 1] & ((1u << (c.length % 8)) - 1));
    }
    int64_t valid = 0;
    for (int64_t k = 0; k < bytes; ++k) {
        valid += bits_set(bits[k]);
    }
    return c.length - valid;
}

}  // namespace qulo::arrow
