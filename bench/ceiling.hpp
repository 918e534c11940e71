// The yardstick of the lane kernels: the bare block transform per
// instruction set, made from the kernels' own round function
// (core/lanes/transform.hpp) in bare_transform (ceiling_groups.hpp), each
// unit built with its kernel's target flags.
#pragma once

#include "qulo/block.hpp"

#include <cstdint>
#include <span>

namespace bench {

// `steps` transforms of every block of a group held in registers.
using BareFn = uint32_t (*)(const qulo::Words &key, int64_t steps);

// One group size of one instruction set; its ceiling is the fastest of them.
struct Bare {
    const char *kernel;  // the batch kernel of the same vector width
    int vectors;         // vectors (or, for scalar, words) per group
    int lanes;           // blocks per step of the group
    BareFn run[2];       // encrypt, decrypt
};

std::span<const Bare> scalar_bare();
#if defined(__x86_64__)
std::span<const Bare> avx2_bare();
std::span<const Bare> avx512_bare();
#endif

}  // namespace bench
