// Closing a plaintext up to a lower address: the batch kernels move each
// decrypted plaintext to the front of its output, and the batch module
// moves plaintexts to follow one another in an Arrow column's data. Not
// installed.
#pragma once

#include <cstdint>
#include <cstring>

namespace qulo {

// Up to this many bytes a move goes in pieces: a library call would cost
// more than the copy (and, in a kernel, its vector registers).
inline constexpr int64_t kMoveInPieces = 512;

// Moves n bytes from `from` down to `to` (to < from; the ranges may
// overlap), as memmove does. Each piece is taken whole before it is
// written, and the move goes down, so no byte is overwritten before it is
// read.
inline void move_down(uint8_t *to, const uint8_t *from, int64_t n) {
    if (n > kMoveInPieces) {
        std::memmove(to, from, static_cast<size_t>(n));
        return;
    }
    int64_t k = 0;
    for (; k + 32 <= n; k += 32) {
        uint8_t piece[32];
        std::memcpy(piece, from + k, sizeof piece);
        std::memcpy(to + k, piece, sizeof piece);
    }
    for (; k + 8 <= n; k += 8) {
        uint64_t word;
        std::memcpy(&word, from + k, sizeof word);
        std::memcpy(to + k, &word, sizeof word);
    }
    for (; k < n; ++k) {
        to[k] = from[k];
    }
}

}  // namespace qulo
