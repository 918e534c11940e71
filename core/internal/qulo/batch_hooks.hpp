// Hooks into the batch kernel choice for tests and benchmarks that compare
// kernels in one process, and for the Python module's private test hooks.
// Not installed: no caller of the library needs them. Do not select while
// batch calls run on other threads if those must all use one kernel.
#pragma once

#include <cstddef>

namespace qulo::batch {

// The name of the i-th kernel this build knows, fastest first, whether or
// not this CPU runs it; null past the last.
const char *known(size_t i);

// Whether this CPU runs the named kernel (false for an unknown name or
// null).
bool supported(const char *name);

// Uses the named kernel from now on, for every thread: true, or false (and
// the choice unchanged) when the name is unknown or this CPU cannot run it.
// Null goes back to the start-up choice of qulo/batch.h.
bool select(const char *name);

// Whether a kernel with a wider form (AVX-512: 128 lanes) uses it for calls
// with messages enough: by default where the CPU gains by it (batch.cpp);
// select_wide(1) or (0) forces it either way, (-1) goes back to the CPU's.
void select_wide(int wide);

}  // namespace qulo::batch

// The same three with C linkage, for the Python module.
extern "C" {
const char *qulo_batch_kernel_known(size_t i);
int qulo_batch_kernel_supported(const char *name);  // 1 or 0
int qulo_batch_select_kernel(const char *name);     // 0 or -1
}
