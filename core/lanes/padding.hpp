// The padded plaintext of an encryption, put together for the lanes: a
// short message laid out whole in its output, a long one's edge blocks (the
// header and fill, the plaintext's ends, the trailing zeros). Internal linkage, as everything of the kernels (see
// batch_kernels.hpp).
#pragma once

#include "layout.hpp"
#include "qulo/operation.hpp"

#include <cstdint>
#include <cstring>

namespace qulo::batch {
namespace {

// The padded length of n plaintext bytes: length_rule without the guard
// it needs near INT64_MAX, for the lengths a lane takes (below
// kLaneMaxLength), on the hot path; n may be a vector of lengths.
template <class T>
[[gnu::always_inline]] inline T padded_length(T n) {
    return n + 17 - ((n + 1) & 7);
}

// Plaintexts up to this length are laid out whole in their output first.
constexpr int64_t kStagedLength = 512;

// The header byte: the marker bits and the fill count, the plaintext
// starting at `body` (3 + fill).
[[gnu::always_inline]] inline uint8_t header_byte(int64_t body) {
    return static_cast<uint8_t>(0xF8u | static_cast<uint32_t>(body - 3));
}

// Sixteen bytes at once (one vector move where the target has them).
[[gnu::always_inline]] inline void copy16(uint8_t *to, const uint8_t *from) {
    std::memcpy(to, from, 16);
}
inline constexpr uint8_t kZeros[16] = {};

// The whole padded plaintext of a short message, laid out in its output
// in a few wide moves, no library call: the head (header and fill, body
// <= 10) and the last word cleared, the header set, then the plaintext
// over them in pieces of 32, 16 or 8 bytes, the last pieces overlapping
// the ones before. Up to 128 bytes the pieces are a fixed few for each
// range of lengths, no loop: with lengths that differ from message to
// message, a loop's count is a branch mispredicted as often as not. Each
// piece counts: 65 to 96 bytes in three pieces of 32 rather than four are
// 2 to 6% faster (10,000 messages of 70 bytes, AVX2). The
// source does not overlap the output (the driver sends such messages to
// the one-message entry point), so no byte is read after it is written.
inline void stage_padded(const uint8_t *src, uint8_t *out, int64_t body, int64_t n,
                         int64_t total) {
    copy16(out, kZeros);
    store8(out + total - kBlock, 0);
    out[0] = header_byte(body);
    uint8_t *const dst = out + body;
    if (n >= 32) {
        if (n > 64) {
            if (n > 128) {
                for (int64_t k = 64; k < n - 64; k += 32) {
                    std::memcpy(dst + k, src + k, 32);
                }
            }
            std::memcpy(dst + 32, src + 32, 32);
            if (n > 96) {
                std::memcpy(dst + n - 64, src + n - 64, 32);
            }
        }
        std::memcpy(dst, src, 32);
        std::memcpy(dst + n - 32, src + n - 32, 32);
    } else if (n >= 16) {
        copy16(dst, src);
        copy16(dst + n - 16, src + n - 16);
    } else if (n >= kBlock) {
        store8(dst, load8(src));
        store8(dst + n - kBlock, load8(src + n - kBlock));
    } else {
        for (int64_t k = 0; k < n; ++k) {
            dst[k] = src[k];
        }
    }
}

// The blocks of a long plaintext (more than kStagedLength bytes) laid out
// in its output before the lanes read it: the first two (the header, the
// fill, the plaintext's first bytes) and the last one or two (its last
// bytes and the trailing zeros), in four 16-byte moves. The rest of the
// plaintext is read where it lies; the moves' overlap into the blocks
// between lands where the lanes neither read nor have written yet.
inline void lay_out_edges(const uint8_t *src, uint8_t *out, int64_t body, int64_t n,
                          int64_t total) {
    copy16(out, kZeros);
    out[0] = header_byte(body);
    copy16(out + body, src);
    copy16(out + total - 16, kZeros);
    copy16(out + body + n - 16, src + n - 16);
}

// The blocks lay_out_edges lays out at the front.
inline constexpr int64_t kHeadBlocks = 2;

}  // namespace
}  // namespace qulo::batch
