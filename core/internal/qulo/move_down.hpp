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

// The n bytes (N <= n <= 2N) at `from` to `to` as two pieces of N, the
// second ending where the move ends, both read before either is written.
template <int64_t N>
[[gnu::always_inline]] inline void move_two(uint8_t *to, const uint8_t *from, int64_t n) {
    uint8_t head[N];
    uint8_t tail[N];
    std::memcpy(head, from, N);
    std::memcpy(tail, from + n - N, N);
    std::memcpy(to, head, N);
    std::memcpy(to + n - N, tail, N);
}

// Moves n bytes from `from` down to `to` (to < from; the ranges may
// overlap), as memmove does. Each piece is taken whole before it is
// written, and the pieces go up, so no byte is overwritten before it is
// read. A short move is two pieces of one size, the second ending where
// the move ends (both read before either is written); a longer one goes
// in pieces of 32 bytes, its last 32 bytes read first and written last.
// Either way a move has about one branch that depends on its length.
// Always inlined: the lane kernels' units are built for other instruction
// sets, and an out-of-line copy of theirs could be the one the linker keeps.
[[gnu::always_inline]] inline void move_down(uint8_t *to, const uint8_t *from, int64_t n) {
    if (n > kMoveInPieces) {
        std::memmove(to, from, static_cast<size_t>(n));
        return;
    }
    if (n >= 32) {
        uint8_t last[32];
        std::memcpy(last, from + n - 32, sizeof last);
        for (int64_t k = 0; k + 32 <= n; k += 32) {
            uint8_t piece[32];
            std::memcpy(piece, from + k, sizeof piece);
            std::memcpy(to + k, piece, sizeof piece);
        }
        std::memcpy(to + n - 32, last, sizeof last);
    } else if (n >= 16) {
        move_two<16>(to, from, n);
    } else if (n >= 8) {
        move_two<8>(to, from, n);
    } else if (n >= 4) {
        move_two<4>(to, from, n);
    } else {
        for (int64_t k = 0; k < n; ++k) {
            to[k] = from[k];
        }
    }
}

}  // namespace qulo
