// 8-word vectors, built with -mavx2 (kernel: core/batch_avx2.cpp).
#include "ceiling.hpp"

#include "batch_kernels.hpp"

#if defined(__x86_64__)

namespace bench {
namespace {

using qulo::Dir;
using qulo::batch::bare_transform;
using Words8 = uint32_t __attribute__((vector_size(32)));

template <int U>
constexpr Bare group() {
    return {"avx2", U, U * qulo::batch::kWidth<Words8>,
            {bare_transform<Words8, U, Dir::encrypt>, bare_transform<Words8, U, Dir::decrypt>}};
}

constexpr Bare kGroups[] = {group<2>(), group<4>(), group<8>()};

}  // namespace

std::span<const Bare> avx2_bare() { return kGroups; }

}  // namespace bench

#endif
