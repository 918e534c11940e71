// The length rule in one place, inline, for the core and for the binding
// (which sizes outputs with it on every call). Not installed.
#pragma once

#include "qulo/tea.h"

#include <cstdint>

namespace qulo {

// n - ((n + 1) rem 8) + 17 with a truncating remainder. Wrapping arithmetic
// keeps the inputs above QULO_MAX_PLAINTEXT_LEN free of undefined behaviour;
// callers that care check the limit first.
constexpr int64_t length_rule(int64_t n) {
    const auto u = static_cast<uint64_t>(n);
    const int64_t rem = (n == INT64_MAX) ? 0 : (n + 1) % 8;
    return static_cast<int64_t>(u - static_cast<uint64_t>(rem) + 17u);
}

}  // namespace qulo
