// Whether two byte ranges share a byte: the mode drivers decide by it how
// to treat a source that overlaps its output. Not installed.
#pragma once

#include <cstdint>

namespace qulo {

// Whether [a, a + a_len) and [b, b + b_len) share a byte. Compared as
// integers: the ranges may come from unrelated objects.
inline bool overlaps(const uint8_t *a, int64_t a_len, const uint8_t *b, int64_t b_len) {
    const auto pa = reinterpret_cast<uintptr_t>(a);
    const auto pb = reinterpret_cast<uintptr_t>(b);
    return a_len > 0 && b_len > 0 && pa < pb + static_cast<uint64_t>(b_len) &&
           pb < pa + static_cast<uint64_t>(a_len);
}

}  // namespace qulo
