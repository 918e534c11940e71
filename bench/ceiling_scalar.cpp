// Scalar words, several blocks interleaved (kernel: core/batch_scalar.cpp).
#include "ceiling_groups.hpp"

namespace bench {
namespace {

constexpr Bare kGroups[] = {bare_group<uint32_t, 2>("scalar"), bare_group<uint32_t, 4>("scalar"),
                             bare_group<uint32_t, 8>("scalar")};

}  // namespace

std::span<const Bare> scalar_bare() { return kGroups; }

}  // namespace bench
