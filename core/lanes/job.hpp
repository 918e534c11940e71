// What the many-messages driver (batch.cpp) and the lane kernels share: the
// job a kernel is handed and the table of one instruction set's kernels.
// Not installed.
#pragma once

#include "qulo/block.hpp"
#include "qulo/operation.hpp"

#include <cstdint>

namespace qulo::batch {

// What the driver hands a kernel: the messages and the cipher choice. The
// kernel runs the messages whose result is kPending and sets their results;
// the driver has already settled every other one.
struct Job {
    Words key;
    Sums sums;
    int64_t count;
    const uint8_t *const *src;
    const int64_t *src_len;
    uint8_t *const *out;
    const int64_t *out_capacity;
    int64_t *result;
    int64_t *start;  // decryption: where each plaintext is left, or null: moved to out[i][0]
    bool verify;     // decryption: refuse a plaintext whose trailer is not zero
    bool named;      // for a named entry point: every refusal is -1
    int64_t pending = 0;  // how many messages the kernel is to run
    bool wide = false;    // a kernel with a wider form may use it

    // The result of a refused message.
    int64_t refusal(int64_t status) const { return named ? -1 : status; }
};

inline constexpr int64_t kPending = INT64_MIN;

// The longest source the lanes take (4 GiB); a longer one, a single chain
// of blocks that other lanes could only run beside, goes to the one-message
// entry point, so that the lanes' step counts stay within 32 bits.
inline constexpr int64_t kLaneMaxLength = int64_t{1} << 32;

// Runs the pending messages of a job; returns how many of them it refused.
using KernelFn = int64_t (*)(const Job &);

// One instruction set's kernels: the standard sums (big-endian blocks)
// [direction], and a sum table [direction][byte order].
struct KernelOps {
    KernelFn standard[2];
    KernelFn table[2][2];

    // The kernel of one compiled form of an operation (qulo/operation.hpp).
    template <Dir D, Order O, bool Std>
    KernelFn get() const {
        constexpr int d = D == Dir::encrypt ? 0 : 1;
        if constexpr (Std) {
            return standard[d];
        } else {
            return table[d][O == Order::big ? 0 : 1];
        }
    }
};

extern const KernelOps kScalarKernel;
#if defined(__x86_64__)
extern const KernelOps kAvx2Kernel;
extern const KernelOps kAvx512Kernel;
#elif defined(__aarch64__)
extern const KernelOps kNeonKernel;
#endif

}  // namespace qulo::batch
