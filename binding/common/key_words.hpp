// The one conversion between a key's 16 bytes and the key record the core
// reads: key word ki is bytes 4i to 4i+3 read big-endian, whatever the
// operation's block byte order.
#pragma once

#include "qulo/tea.h"

#include <cstdint>

namespace qulo {

inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void store_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The key record of the 16 bytes at `b`.
inline qulo_key key_from_bytes(const uint8_t *b) {
    return {load_be32(b), load_be32(b + 4), load_be32(b + 8), load_be32(b + 12)};
}

// The 16 key bytes of `k`, written at `b`.
inline void key_to_bytes(const qulo_key &k, uint8_t *b) {
    store_be32(b, k.k0);
    store_be32(b + 4, k.k1);
    store_be32(b + 8, k.k2);
    store_be32(b + 12, k.k3);
}

}  // namespace qulo
