// Scalar words, several blocks interleaved (kernel: core/batch_scalar.cpp).
#include "ceiling.hpp"

#include "batch_kernels.hpp"

namespace bench {
namespace {

using qulo::Dir;
using qulo::batch::bare_transform;

template <int U>
constexpr Bare group() {
    return {"scalar", U, U * qulo::batch::kWidth<uint32_t>,
            {bare_transform<uint32_t, U, Dir::encrypt>, bare_transform<uint32_t, U, Dir::decrypt>}};
}

constexpr Bare kGroups[] = {group<2>(), group<4>(), group<8>()};

}  // namespace

std::span<const Bare> scalar_bare() { return kGroups; }

}  // namespace bench
