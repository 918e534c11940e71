// The portable kernel: plain 32-bit words, four messages interleaved. One
// message is a single chain of dependent operations and leaves most integer
// units idle; independent chains fill them (the units, not the chains, then
// set the pace: about twice one message). Four chains rather than two,
// because the bookkeeping between blocks is shared by more work. Built for
// the baseline instruction set, so it runs on every CPU.
#include "batch_kernels.hpp"

namespace qulo::batch {

const KernelOps kScalarKernel = make_kernel<uint32_t, 4>();

}  // namespace qulo::batch
