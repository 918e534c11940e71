// The NEON kernel: four vectors of 4 words interleaved, 16 lanes. Advanced
// SIMD is part of every AArch64 CPU, so this unit needs no flag and batch.cpp
// no feature check before calling it. Empty on every other architecture.
#include "batch_kernels.hpp"

#if defined(__aarch64__)

namespace qulo::batch {
namespace {
using Words4 = uint32_t __attribute__((vector_size(16)));
}  // namespace

const KernelOps kNeonKernel = make_kernel<Words4, 4>();

}  // namespace qulo::batch

#endif
