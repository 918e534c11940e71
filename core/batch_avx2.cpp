// The AVX2 kernel: four vectors of 8 words interleaved, 32 lanes. Built with
// -mavx2 on x86-64 only (core/CMakeLists.txt); called only when the CPU
// reports AVX2.
#include "batch_kernels.hpp"

#if defined(__x86_64__)

namespace qulo::batch {
namespace {
using Words8 = uint32_t __attribute__((vector_size(32)));
}  // namespace

const KernelOps kAvx2Kernel = make_kernel<Words8, 4>();

}  // namespace qulo::batch

#endif
