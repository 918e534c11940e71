#include "arrow_layout.hpp"

#include <cstdint>
#include <cstring>

namespace qulo::arrow {

namespace {

// The slice's own checks, shared by both layouts: non-negative, and an end
// (plus one, for the offset after it) that is an int64_t.
const char *check_slice(int64_t length, int64_t offset) {
    if (length < 0 || offset < 0) {
        return "negative length or offset";
    }
    if (offset > INT64_MAX - 1 - length) {
        return "the slice ends past the largest offset";
    }
    return nullptr;
}

}  // namespace

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
    // The slice's end and the offset after it, end + 1, must be int64_t
    // values; then every size below is computed without overflow.
    if (const char *bad = check_slice(c.length, c.offset)) {
        return bad;
    }
    if (c.length == 0) {
        return nullptr;  // an empty array may come without buffers
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

int64_t copy_validity(const uint8_t *validity, int64_t offset, int64_t length, uint8_t *bits) {
    const int64_t bytes = (length + 7) / 8;
    if (offset % 8 == 0) {
        std::memcpy(bits, validity + offset / 8, static_cast<size_t>(bytes));
    } else {
        std::memset(bits, 0, static_cast<size_t>(bytes));
        for (int64_t i = 0; i < length; ++i) {
            set_bit(bits, i, get_bit(validity, offset + i));
        }
    }
    if (length % 8 != 0) {  // the input's bits past the slice are not ours
        bits[bytes - 1] = static_cast<uint8_t>(bits[bytes - 1] & ((1u << (length % 8)) - 1));
    }
    int64_t valid = 0;
    for (int64_t k = 0; k < bytes; ++k) {
        valid += bits_set(bits[k]);
    }
    return length - valid;
}


const char *check(const ViewChunk &c) {
    if (const char *bad = check_slice(c.length, c.offset)) {
        return bad;
    }
    if (c.length == 0) {
        return nullptr;
    }
    const int64_t end = c.offset + c.length;
    if (c.validity.data != nullptr && c.validity.size < end / 8 + (end % 8 != 0 ? 1 : 0)) {
        return "the validity bitmap is shorter than the array";
    }
    if (c.views == nullptr || end > INT64_MAX / kViewSize) {
        return "the views buffer is shorter than the array";
    }
    if (c.n_buffers < 0 || (c.n_buffers > 0 && (c.buffers == nullptr || c.sizes == nullptr))) {
        return "the data buffers or their sizes are missing";
    }
    for (int64_t k = 0; k < c.n_buffers; ++k) {
        if (c.sizes[k] < 0 || (c.sizes[k] > 0 && c.buffers[k] == nullptr)) {
            return "a data buffer has a negative size or none at all";
        }
    }
    for (int64_t i = 0; i < c.length; ++i) {
        if (!is_valid(c, i)) {
            continue;
        }
        const uint8_t *view = c.views + (c.offset + i) * kViewSize;
        const int64_t n = load_i32(view);
        if (n < 0) {
            return "a view's length is negative";
        }
        if (n <= kInlineMax) {
            continue;
        }
        const int64_t buffer = load_i32(view + 8);
        const int64_t at = load_i32(view + 12);  // int32 + int32: no overflow in int64_t
        if (buffer < 0 || buffer >= c.n_buffers) {
            return "a view names a data buffer that is not there";
        }
        if (at < 0 || at + n > c.sizes[buffer]) {
            return "a view points past its data buffer";
        }
    }
    return nullptr;
}

const char *format_string(ColumnType t) {
    switch (t.format) {
    case Format::binary:
        return t.text ? "u" : "z";
    case Format::large_binary:
        return t.text ? "U" : "Z";
    case Format::binary_view:
    default:
        return t.text ? "vu" : "vz";
    }
}

TypeRefusal read_type(const ArrowSchema &schema, ColumnType &out) {
    const char *f = schema.format;
    if (f == nullptr) {
        return TypeRefusal::other;
    }
    if (schema.dictionary != nullptr) {
        return TypeRefusal::dictionary;
    }
    if (std::strcmp(f, "+s") == 0) {
        return TypeRefusal::table;
    }
    if (f[0] == 'w' && f[1] == ':') {
        return TypeRefusal::fixed_size;
    }
    if (schema.n_children != 0) {
        return TypeRefusal::other;
    }
    for (const bool text : {false, true}) {
        for (const Format layout : {Format::binary, Format::large_binary, Format::binary_view}) {
            if (std::strcmp(f, format_string({layout, text})) == 0) {
                out = {layout, text};
                return TypeRefusal::none;
            }
        }
    }
    return TypeRefusal::other;
}

bool valid_utf8(const uint8_t *p, int64_t n) {
    int64_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time: most text is ASCII.
        if (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, p + i, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                i += 8;
                continue;
            }
        }
        const uint8_t b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        // The lead byte gives the length and the range of the second byte,
        // which rules out overlong forms, surrogates and values past U+10FFFF.
        int length;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            low = b == 0xE0 ? 0xA0 : 0x80;
            high = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            low = b == 0xF0 ? 0x90 : 0x80;
            high = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (n - i < length || p[i + 1] < low || p[i + 1] > high) {
            return false;
        }
        for (int k = 2; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

namespace {

// A buffer the interface hands over: unsized when present, empty when not.
Span unsized(const void *buffer) {
    return {static_cast<const uint8_t *>(buffer), buffer == nullptr ? 0 : kUnsized};
}

}  // namespace

const char *describe(Format format, const ArrowArray &array, Chunk &out) {
    out = Chunk{};
    out.format = format;
    if (array.n_children != 0 || array.dictionary != nullptr) {
        return "a binary array has no children and no dictionary";
    }
    const bool view = format == Format::binary_view;
    // Validity, offsets and data; or validity, views, the data buffers and
    // their sizes last.
    if (view ? array.n_buffers < 3 : array.n_buffers != 3) {
        return "the array has the wrong number of buffers";
    }
    if (array.buffers == nullptr) {
        return "the array's buffers are missing";
    }
    const void *const *b = array.buffers;
    if (b[0] == nullptr && array.null_count > 0) {
        return "nulls are counted but there is no validity bitmap";
    }
    if (view) {
        ViewChunk &c = out.view;
        c.length = array.length;
        c.offset = array.offset;
        c.validity = unsized(b[0]);
        c.views = static_cast<const uint8_t *>(b[1]);
        c.n_buffers = array.n_buffers - 3;
        c.buffers = reinterpret_cast<const uint8_t *const *>(b + 2);
        c.sizes = static_cast<const int64_t *>(b[array.n_buffers - 1]);
        return check(c);
    }
    BinaryChunk &c = out.binary;
    c.length = array.length;
    c.offset = array.offset;
    c.width = format == Format::binary ? 4 : 8;
    c.validity = unsized(b[0]);
    c.offsets = unsized(b[1]);
    c.data = unsized(b[2]);
    return check(c);
}

}  // namespace qulo::arrow
