// The lane kernels' word type (a plain uint32_t or a GCC/Clang vector of
// them) and the block transform over U such vectors at once. Internal
// linkage, as everything of the kernels (see batch_kernels.hpp).
#pragma once

#include "qulo/block.hpp"
#include "qulo/operation.hpp"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qulo::batch {
namespace {

// ---- the word type ---------------------------------------------------------

template <class V>
inline constexpr int kWidth = static_cast<int>(sizeof(V) / sizeof(uint32_t));

template <class V>
[[gnu::always_inline]] inline V splat(uint32_t x) {
    if constexpr (std::is_same_v<V, uint32_t>) {
        return x;
    } else {
        return V{} + x;  // the scalar operand is broadcast to every word
    }
}

// The bytes of a vector of N bytes, as a vector of its own, and its 64-bit
// words likewise.
template <size_t N>
struct ByteVector {
    typedef uint8_t type __attribute__((vector_size(N)));
};

template <size_t N>
struct QwordVector {
    typedef uint64_t type __attribute__((vector_size(N < 8 ? 8 : N)));
};

// ---- the block transform over U vectors at once ----------------------------
//
// The half-cycles of qulo/block.hpp applied to U independent vectors in
// lockstep, so that their operations interleave. The one-message transform
// carries (x << 4) + k beside each half to shorten its single chain; here
// the chains of the other vectors hide that latency, so the terms are
// recomputed instead: the same operation count, half the live registers.

// The key words in every word of a vector.
template <class V>
struct KeyVectors {
    V k0, k1, k2, k3;
};

// The key as vectors, and the round sums as plain words: a sum is broadcast
// where it is used, straight from memory (a load, no vector operation), so
// the sums take 64 bytes of the state rather than sixteen vectors.
template <class V>
struct Consts {
    KeyVectors<V> key;
    uint32_t sum[kCycles];
};

// The vector registers of the unit's target: 32 with AVX-512 and on
// AArch64, 16 with AVX2.
inline constexpr int kVectorRegisters =
#if defined(__AVX512F__) || defined(__aarch64__)
    32;
#else
    16;
#endif

template <class V, bool Std>
inline Consts<V> make_consts(const Words &key, const Sums &sums) {
    Consts<V> c;
    c.key.k0 = splat<V>(key.k0);
    c.key.k1 = splat<V>(key.k1);
    c.key.k2 = splat<V>(key.k2);
    c.key.k3 = splat<V>(key.k3);
    for (int r = 0; r < kCycles; ++r) {
        c.sum[r] = (Std ? kStandardSums : sums)[static_cast<size_t>(r)];
    }
    return c;
}

// The sum of cycle r: for plain words with the standard sums a compile-time
// constant (an immediate operand), otherwise a word kept in memory. A
// constant vector would be built afresh in every step (a move and a
// broadcast, both on the vector units) where a broadcast from memory costs
// a load.
template <class V, bool Std>
[[gnu::always_inline]] inline V sum_of(const uint32_t (&sums)[kCycles], int r) {
    if constexpr (Std && std::is_same_v<V, uint32_t>) {
        return splat<V>(kStandardSums[static_cast<size_t>(r)]);
    } else {
        return splat<V>(sums[r]);
    }
}

// F(x) = ((x << 4) + ka) ^ (x + sum) ^ ((x >> 5) + kb)
template <class V>
[[gnu::always_inline]] inline V round_function(V x, V sum, V ka, V kb) {
    return ((x << 4) + ka) ^ (x + sum) ^ ((x >> 5) + kb);
}

// Cycles [from, to) of the transform; the whole of it is [0, kCycles). A
// decryption runs its cycles in reverse: its cycle k is the cipher's cycle
// kCycles - 1 - k.
template <class V, int U, bool Std>
[[gnu::always_inline]] inline void encrypt_cycles(const KeyVectors<V> &key,
                                                  const uint32_t (&sums)[kCycles], V (&hi)[U],
                                                  V (&lo)[U], int from, int to) {
#pragma GCC unroll 16
    for (int r = from; r < to; ++r) {
        const V sum = sum_of<V, Std>(sums, r);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            hi[u] += round_function(lo[u], sum, key.k0, key.k1);
        }
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            lo[u] += round_function(hi[u], sum, key.k2, key.k3);
        }
    }
}

template <class V, int U, bool Std>
[[gnu::always_inline]] inline void decrypt_cycles(const KeyVectors<V> &key,
                                                  const uint32_t (&sums)[kCycles], V (&hi)[U],
                                                  V (&lo)[U], int from, int to) {
#pragma GCC unroll 16
    for (int k = from; k < to; ++k) {
        const V sum = sum_of<V, Std>(sums, kCycles - 1 - k);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            lo[u] -= round_function(hi[u], sum, key.k2, key.k3);
        }
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            hi[u] -= round_function(lo[u], sum, key.k0, key.k1);
        }
    }
}

template <class V, int U, Dir D, bool Std>
[[gnu::always_inline]] inline void transform_cycles(const KeyVectors<V> &key,
                                                    const uint32_t (&sums)[kCycles], V (&hi)[U],
                                                    V (&lo)[U], int from, int to) {
    if constexpr (D == Dir::encrypt) {
        encrypt_cycles<V, U, Std>(key, sums, hi, lo, from, to);
    } else {
        decrypt_cycles<V, U, Std>(key, sums, hi, lo, from, to);
    }
}

}  // namespace
}  // namespace qulo::batch
