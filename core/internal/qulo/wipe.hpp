// The one wipe, inline: qulo_wipe (mode.h, core/wipe.cpp) and Secret<T> are
// this function, so that a small secret of a known size is cleared by a few
// stores where a call would cost more than the clearing. Not installed.
#pragma once

#include <cstddef>
#include <cstring>

namespace qulo {

[[gnu::always_inline]] inline void wipe(void *p, size_t size) {
    if (size == 0) {
        return;  // p may be null then
    }
    std::memset(p, 0, size);
    // The compiler must assume the empty statement reads the cleared bytes,
    // so the clearing of memory about to die is not dropped as a dead store.
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

}  // namespace qulo
