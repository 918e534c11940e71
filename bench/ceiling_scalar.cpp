// Scalar words, several blocks interleaved (kernel: core/batch_scalar.cpp).
#include "ceiling_groups.hpp"

namespace bench {
namespace {

constexpr auto kGroups = bare_groups<uint32_t>("scalar");

}  // namespace

std::span<const Bare> scalar_bare() { return kGroups; }

}  // namespace bench
