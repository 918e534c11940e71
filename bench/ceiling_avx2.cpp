// 8-word vectors, built with -mavx2 (kernel: core/batch_avx2.cpp).
#include "ceiling_groups.hpp"

#if defined(__x86_64__)

namespace bench {
namespace {

using Words8 = uint32_t __attribute__((vector_size(32)));

constexpr auto kGroups = bare_groups<Words8>("avx2");

}  // namespace

std::span<const Bare> avx2_bare() { return kGroups; }

}  // namespace bench

#endif
