// The TEA block transform (16 cycles), the round sums and the two byte
// orders of a block, shared by every mode driver of the core (one message,
// incremental, many messages). Not installed.
#pragma once

#include "qulo/tea.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace qulo {

static_assert(sizeof(qulo_key) == 16, "key record is exactly four 32-bit words");

inline constexpr int kCycles = 16;
inline constexpr uint32_t kDelta = 0x9E3779B9u;

using Sums = std::array<uint32_t, kCycles>;

constexpr Sums standard_sums() {
    Sums s{};
    for (int r = 0; r < kCycles; ++r) {
        s[r] = static_cast<uint32_t>(r + 1) * kDelta;
    }
    return s;
}

// Table words are host order; memcpy keeps the load alignment-free.
inline Sums load_sums(const uint8_t *table) {
    Sums s;
    std::memcpy(s.data(), table, sizeof s);
    return s;
}

// ---- byte order of a block -------------------------------------------------

// The two 32-bit halves of a block. The mode chains them half by half, so
// that no 64-bit split and join sits on the loop-carried path.
struct Block {
    uint32_t hi, lo;
};

constexpr Block operator^(Block a, Block b) { return {a.hi ^ b.hi, a.lo ^ b.lo}; }

enum class Order { big, host };

template <Order O>
inline Block load_block(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (O == Order::big && std::endian::native == std::endian::little) {
        v = __builtin_bswap64(v);
    }
    return {static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)};
}

template <Order O>
inline void store_block(uint8_t *p, Block b) {
    auto v = (static_cast<uint64_t>(b.hi) << 32) | b.lo;
    if constexpr (O == Order::big && std::endian::native == std::endian::little) {
        v = __builtin_bswap64(v);
    }
    std::memcpy(p, &v, sizeof v);
}

// ---- block transform -------------------------------------------------------
//
// A half-cycle is  y += F(x),  F(x) = ((x << 4) + ka) ^ (x + sum) ^ ((x >> 5) + kb),
// and each x is the half that the previous half-cycle just updated. Written
// out as it stands, the path from one update to the next is shift, add key,
// xor, xor, add: five dependent operations. But a left shift distributes
// over the wrapping add, so after x += d the term (x << 4) + ka is just the
// old term plus (d << 4), which is ready as early as x itself. Carrying that
// term next to each half leaves  add, shift right, add key, xor  on the path:
// four operations per half-cycle.

struct Words {
    uint32_t k0, k1, k2, k3;
};

inline Words words_of(const qulo_key *key) { return {key->k0, key->k1, key->k2, key->k3}; }

[[gnu::always_inline]] inline Block encrypt_block(const Words &k, const Sums &s, Block b) {
    uint32_t hi = b.hi;
    uint32_t lo = b.lo;
    uint32_t hi_term = (hi << 4) + k.k2;  // always (hi << 4) + k2
    uint32_t lo_term = (lo << 4) + k.k0;  // always (lo << 4) + k0
#pragma GCC unroll 16
    for (int r = 0; r < kCycles; ++r) {
        const uint32_t sum = s[r];
        // The right-shift term comes last: it is the one ready last.
        const uint32_t dh = (lo_term ^ (lo + sum)) ^ ((lo >> 5) + k.k1);
        hi += dh;
        hi_term += dh << 4;
        const uint32_t dl = (hi_term ^ (hi + sum)) ^ ((hi >> 5) + k.k3);
        lo += dl;
        lo_term += dl << 4;
    }
    return {hi, lo};
}

[[gnu::always_inline]] inline Block decrypt_block(const Words &k, const Sums &s, Block b) {
    uint32_t hi = b.hi;
    uint32_t lo = b.lo;
    uint32_t hi_term = (hi << 4) + k.k2;  // always (hi << 4) + k2
    uint32_t lo_term = (lo << 4) + k.k0;  // always (lo << 4) + k0
#pragma GCC unroll 16
    for (int r = kCycles - 1; r >= 0; --r) {
        const uint32_t sum = s[r];
        const uint32_t dl = (hi_term ^ (hi + sum)) ^ ((hi >> 5) + k.k3);
        lo -= dl;
        lo_term -= dl << 4;
        const uint32_t dh = (lo_term ^ (lo + sum)) ^ ((lo >> 5) + k.k1);
        hi -= dh;
        hi_term -= dh << 4;
    }
    return {hi, lo};
}

inline constexpr Sums kStandardSums = standard_sums();

}  // namespace qulo
