// The portable kernel: plain 32-bit words, two messages interleaved. One
// message leaves the integer units half idle (its chain allows about one
// dependent operation per cycle); a second, independent chain fills them.
// Built for the baseline instruction set, so it runs on every CPU.
#include "batch_kernels.hpp"

namespace qulo::batch {

const KernelOps kScalarKernel = make_kernel<uint32_t, 2>("scalar");

}  // namespace qulo::batch
