// The one wipe of key material: contexts of the core, and the binding's
// copies of keys and sum tables, all clear their bytes through here.

#include "qulo/mode.h"

#include <cstddef>
#include <cstring>

extern "C" void qulo_wipe(void *p, size_t size) {
    if (size == 0) {
        return;  // p may be null then
    }
    std::memset(p, 0, size);
    // The compiler must assume the empty statement reads the cleared bytes,
    // so the clearing of memory about to die is not dropped as a dead store,
    // even once this is inlined into its caller.
    __asm__ __volatile__("" : : "r"(p) : "memory");
}
