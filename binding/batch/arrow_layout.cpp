#include "arrow_layout.hpp"

#include <cstring>

namespace qulo::arrow {

int64_t value_offset(const BinaryChunk &c, int64_t i) {
    const uint8_t *p = c.offsets.data + (c.offset + i) * c.width;
    if (c.width == 4) {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    int64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool is_valid(const BinaryChunk &c, int64_t i) {
    if (c.validity.data == nullptr) {
        return true;
    }
    const int64_t bit = c.offset + i;
    return ((c.validity.data[bit / 8] >> (bit % 8)) & 1) != 0;
}

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
    const int64_t end = c.offset + c.length;
    if (c.validity.data != nullptr && c.validity.size < (end + 7) / 8) {
        return "the validity bitmap is shorter than the array";
    }
    if (c.offsets.data == nullptr || c.offsets.size / c.width < end + 1) {
        return "the offsets buffer is shorter than the array";
    }
    int64_t previous = value_offset(c, 0);
    if (previous < 0) {
        return "an offset is negative";
    }
    for (int64_t i = 1; i <= c.length; ++i) {
        const int64_t next = value_offset(c, i);
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

void store_offset(uint8_t *offsets, int width, int64_t i, int64_t value) {
    if (width == 4) {
        const auto v = static_cast<int32_t>(value);
        std::memcpy(offsets + i * 4, &v, sizeof v);
    } else {
        std::memcpy(offsets + i * 8, &value, sizeof value);
    }
}

void set_bit(uint8_t *bits, int64_t i, bool value) {
    const auto mask = static_cast<uint8_t>(1u << (i % 8));
    bits[i / 8] = static_cast<uint8_t>(value ? bits[i / 8] | mask : bits[i / 8] & ~mask);
}

int64_t max_offset(int width) { return width == 4 ? INT32_MAX : INT64_MAX; }

}  // namespace qulo::arrow
