// How the lanes' blocks meet the vectors: each lane's 8-byte block, staged
// as it lies in its message, becomes one word of the vector of high halves
// and one of the vector of low halves, in the operation's byte order, and
// back. Internal linkage, as everything of the kernels (see
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

// ---- the blocks of W lanes, one vector's worth -------------------------------
//
// The lanes' blocks are staged in memory as they lie in the messages, lane
// after lane: the W blocks of one vector are W consecutive 64-bit words.
// Split into halves, the first W / 2 blocks are `a`, the others `b`; word I
// of a half vector then belongs to lane lane_of_word(I), so that the split
// and the join stay inside each group of four words, one shuffle of two
// sources per half (shufps, unpck*, uzp/zip).

// The lane (0 .. W - 1) whose half is word I of a half vector.
template <int W>
constexpr int lane_of_word(int i) {
    return W == 1 ? 0 : ((i & 2) != 0 ? W / 2 : 0) + 2 * (i / 4) + (i & 1);
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

// The W blocks at `blocks` (as they lie in memory) into their two halves,
// in the operation's byte order.
template <class V, Order O>
[[gnu::always_inline]] inline void split_blocks(const uint64_t *blocks, V &hi, V &lo) {
    constexpr int W = kWidth<V>;
    if constexpr (W == 1) {
        const uint64_t v = from_order<O>(blocks[0]);
        hi = static_cast<uint32_t>(v >> 32);
        lo = static_cast<uint32_t>(v);
    } else {
        V a;
        V b;
        std::memcpy(&a, blocks, sizeof a);
        std::memcpy(&b, blocks + W / 2, sizeof b);
        if constexpr (O == Order::big) {
            a = swap_words(a);
            b = swap_words(b);
        }
        // Word 2i of a block is its first four bytes.
        const V first_words = pick(a, b, std::make_index_sequence<W>{}, 0);
        const V second_words = pick(a, b, std::make_index_sequence<W>{}, 1);
        if constexpr (O == Order::big) {
            hi = first_words;
            lo = second_words;
        } else {
            hi = second_words;
            lo = first_words;
        }
    }
}

// The two halves back into W blocks as they lie in memory.
template <class V, Order O>
[[gnu::always_inline]] inline void join_blocks(uint64_t *blocks, V hi, V lo) {
    constexpr int W = kWidth<V>;
    if constexpr (W == 1) {
        blocks[0] = from_order<O>((uint64_t{hi} << 32) | lo);
    } else {
        const V first_words = O == Order::big ? hi : lo;
        const V second_words = O == Order::big ? lo : hi;
        V a = weave(first_words, second_words, std::make_index_sequence<W>{}, 0);
        V b = weave(first_words, second_words, std::make_index_sequence<W>{}, 2);
        if constexpr (O == Order::big) {
            a = swap_words(a);
            b = swap_words(b);
        }
        std::memcpy(blocks, &a, sizeof a);
        std::memcpy(blocks + W / 2, &b, sizeof b);
    }
}

// The same memory holding two half vectors as they are (the blocks' place
// serves as the chained value's between its uses).
template <class V>
[[gnu::always_inline]] inline void store_halves(uint64_t *blocks, V hi, V lo) {
    std::memcpy(blocks, &hi, sizeof hi);
    std::memcpy(reinterpret_cast<unsigned char *>(blocks) + sizeof hi, &lo, sizeof lo);
}

template <class V>
[[gnu::always_inline]] inline void load_halves(const uint64_t *blocks, V &hi, V &lo) {
    std::memcpy(&hi, blocks, sizeof hi);
    std::memcpy(&lo, reinterpret_cast<const unsigned char *>(blocks) + sizeof hi, sizeof lo);
}

}  // namespace
}  // namespace qulo::batch
