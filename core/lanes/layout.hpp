// How the lanes' blocks meet the vectors: each lane's 8-byte block, read
// where it lies in its message, becomes one word of the vector of high
// halves and one of the vector of low halves, in the operation's byte
// order, and back. Internal linkage, as everything of the kernels (see
// batch_kernels.hpp).
#pragma once

#include "transform.hpp"
#include "qulo/block.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace qulo::batch {
namespace {

// A block's 8 bytes, copied into a uint64_t as they lie, as the 64-bit value
// of the operation's byte order (and back: the same swap).
template <Order O>
[[gnu::always_inline]] inline uint64_t from_order(uint64_t raw) {
    if constexpr (O == Order::big && std::endian::native == std::endian::little) {
        return __builtin_bswap64(raw);
    } else {
        return raw;
    }
}

// Eight bytes as they lie in memory, and back.
[[gnu::always_inline]] inline uint64_t load8(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store8(uint8_t *p, uint64_t v) {
    std::memcpy(p, &v, sizeof v);
}

// ---- the blocks of W lanes, one vector's worth --------------------------------
//
// A lane's address is kept as an integer, less the offset of the step (`at`)
// at which it is used: lane l's block of a step lies at in[l] + at. Lane
// 4j + i (i < 4) of a vector is word i of its j-th group of four: its block
// is qword i of group j of `a` for i < 2, of `b` for i >= 2, so that the
// split into halves and the join stay inside each group of four words, one
// shuffle of two sources per half (shufps, unpck*, uzp/zip).

[[gnu::always_inline]] inline uint64_t load_lane(const uintptr_t *in, int l, uintptr_t at) {
    return load8(reinterpret_cast<const uint8_t *>(in[l] + at));
}

[[gnu::always_inline]] inline void store_lane(const uintptr_t *out, int l, uintptr_t at,
                                              uint64_t v) {
    store8(reinterpret_cast<uint8_t *>(out[l] + at), v);
}

// The blocks of lanes 4j + i (j < W / 4, i < 2), in that order.
template <class V, size_t... K>
[[gnu::always_inline]] inline typename QwordVector<sizeof(V)>::type gather_lanes(
    const uintptr_t *in, uintptr_t at, std::index_sequence<K...>) {
    using Qwords = typename QwordVector<sizeof(V)>::type;
    return Qwords{load_lane(in, static_cast<int>(K / 2 * 4 + K % 2), at)...};
}

// Within each group of four words: words 0 + odd and 2 + odd of a's
// group, then the same two of b's (shufps).
template <class V, size_t... I>
V pick(V a, V b, std::index_sequence<I...>, int odd) {
    constexpr size_t W = static_cast<size_t>(kWidth<V>);
    return odd == 0
               ? __builtin_shufflevector(a, b, ((I & ~3u) + 2 * (I & 1) + (I & 2) / 2 * W)...)
               : __builtin_shufflevector(a, b,
                                         ((I & ~3u) + 2 * (I & 1) + 1 + (I & 2) / 2 * W)...);
}

// Within each group of four words: first[from], second[from],
// first[from + 1], second[from + 1] (unpcklo for from 0, unpckhi for 2).
template <class V, size_t... I>
V weave(V first, V second, std::index_sequence<I...>, int from) {
    constexpr size_t W = static_cast<size_t>(kWidth<V>);
    return from == 0
               ? __builtin_shufflevector(first, second, ((I & ~3u) + (I & 3) / 2 + (I & 1) * W)...)
               : __builtin_shufflevector(first, second,
                                         ((I & ~3u) + 2 + (I & 3) / 2 + (I & 1) * W)...);
}

template <class B, size_t... I>
B swap_bytes(B b, std::index_sequence<I...>) {
    return __builtin_shufflevector(b, b, (I ^ 3)...);
}

// The four bytes of every word reversed.
template <class V>
V swap_words(V v) {
    typename ByteVector<sizeof(V)>::type b;
    std::memcpy(&b, &v, sizeof v);
    b = swap_bytes(b, std::make_index_sequence<sizeof(V)>{});
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// The blocks of lanes in[0 .. W - 1] into their two halves, in the
// operation's byte order.
template <class V, Order O>
[[gnu::always_inline]] inline void read_lanes(const uintptr_t *in, uintptr_t at, V &hi, V &lo) {
    constexpr int W = kWidth<V>;
    if constexpr (W == 1) {
        const uint64_t v = from_order<O>(load_lane(in, 0, at));
        hi = static_cast<uint32_t>(v >> 32);
        lo = static_cast<uint32_t>(v);
    } else {
        // Built whole from its loads: element by element, the compiler
        // starts from a stale copy of the vector and inserts into it.
        V pa = std::bit_cast<V>(gather_lanes<V>(in, at, std::make_index_sequence<W / 2>{}));
        V pb = std::bit_cast<V>(gather_lanes<V>(in + 2, at, std::make_index_sequence<W / 2>{}));
        if constexpr (O == Order::big) {
            pa = swap_words(pa);
            pb = swap_words(pb);
        }
        // Word 2i of a qword is the block's first four bytes.
        const V first_words = pick(pa, pb, std::make_index_sequence<W>{}, 0);
        const V second_words = pick(pa, pb, std::make_index_sequence<W>{}, 1);
        if constexpr (O == Order::big) {
            hi = first_words;
            lo = second_words;
        } else {
            hi = second_words;
            lo = first_words;
        }
    }
}

// The two halves back into the blocks of lanes out[0 .. W - 1].
template <class V, Order O>
[[gnu::always_inline]] inline void write_lanes(const uintptr_t *out, uintptr_t at, V hi, V lo) {
    constexpr int W = kWidth<V>;
    if constexpr (W == 1) {
        store_lane(out, 0, at, from_order<O>((uint64_t{hi} << 32) | lo));
    } else {
        using Qwords = typename QwordVector<sizeof(V)>::type;
        const V first_words = O == Order::big ? hi : lo;
        const V second_words = O == Order::big ? lo : hi;
        V pa = weave(first_words, second_words, std::make_index_sequence<W>{}, 0);
        V pb = weave(first_words, second_words, std::make_index_sequence<W>{}, 2);
        if constexpr (O == Order::big) {
            pa = swap_words(pa);
            pb = swap_words(pb);
        }
        const auto a = std::bit_cast<Qwords>(pa);
        const auto b = std::bit_cast<Qwords>(pb);
#pragma GCC unroll 8
        for (int k = 0; k < W / 2; ++k) {
            store_lane(out, (k / 2) * 4 + k % 2, at, a[k]);
            store_lane(out, (k / 2) * 4 + 2 + k % 2, at, b[k]);
        }
    }
}

}  // namespace
}  // namespace qulo::batch
