// 16-word vectors, built with the AVX-512 flags (kernel: core/batch_avx512.cpp).
#include "ceiling.hpp"

#include "batch_kernels.hpp"

#if defined(__x86_64__)

namespace bench {
namespace {

using qulo::Dir;
using qulo::batch::bare_transform;
using Words16 = uint32_t __attribute__((vector_size(64)));

template <int U>
constexpr Bare group() {
    return {"avx512", U, U * qulo::batch::kWidth<Words16>,
            {bare_transform<Words16, U, Dir::encrypt>, bare_transform<Words16, U, Dir::decrypt>}};
}

constexpr Bare kGroups[] = {group<2>(), group<4>(), group<8>()};

}  // namespace

std::span<const Bare> avx512_bare() { return kGroups; }

}  // namespace bench

#endif
