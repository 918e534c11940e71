// The AVX-512 kernel: four vectors of 16 words interleaved, 64 lanes, or
// eight (128 lanes) for a call with messages enough to fill them: the 32
// vector registers hold eight vectors' halves and the keys, and on a core
// that runs 512-bit operations at full width the bare transform of eight
// vectors is about 1.4 times as fast as that of four (bench/batch_bench.cpp).
// Built with -mavx512f -mavx512bw -mavx512vl on x86-64 only
// (core/CMakeLists.txt); called only when the CPU reports all three. The
// three-way XOR of each half-cycle becomes one ternary-logic instruction
// here.
#include "batch_kernels.hpp"

#if defined(__x86_64__)

namespace qulo::batch {
namespace {
using Words16 = uint32_t __attribute__((vector_size(64)));
}  // namespace

const KernelOps kAvx512Kernel = make_kernel<Words16, 4, 8>();

}  // namespace qulo::batch

#endif
