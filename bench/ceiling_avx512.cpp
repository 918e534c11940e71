// 16-word vectors, built with the AVX-512 flags (kernel: core/batch_avx512.cpp).
#include "ceiling_groups.hpp"

#if defined(__x86_64__)

namespace bench {
namespace {

using Words16 = uint32_t __attribute__((vector_size(64)));

constexpr auto kGroups = bare_groups<Words16>("avx512");

}  // namespace

std::span<const Bare> avx512_bare() { return kGroups; }

}  // namespace bench

#endif
