// The groups of one width's bare transform, for the unit built with that
// width's flags (ceiling_*.cpp): the kernels' own transform, so this header
// is never part of a unit built for the baseline. Internal linkage, as the
// kernels' code itself (core/batch_kernels.hpp).
#pragma once

#include "ceiling.hpp"
#include "lanes/transform.hpp"

#include <array>
#include <type_traits>

namespace bench {
namespace {

// The bare transform, the yardstick of a kernel: U vectors of blocks held in
// registers, each transformed `steps` times over (each time on its own
// result, a chain as long as a lane's), with the standard sums; no mode, no
// memory. Returns the XOR of every word, so that no lane's work is dropped.
template <class V, int U, qulo::Dir D>
uint32_t bare_transform(const qulo::Words &key, int64_t steps) {
    using namespace qulo::batch;
    const Consts<V> c = make_consts<V, true>(key, qulo::kStandardSums);
    V hi[U];
    V lo[U];
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        hi[u] = c.key.k0 + splat<V>(static_cast<uint32_t>(u));
        lo[u] = c.key.k1;
    }
    for (int64_t s = 0; s < steps; ++s) {
        transform_cycles<V, U, D, true>(c.key, c.sum, hi, lo, 0, qulo::kCycles);
    }
    V all = hi[0] ^ lo[0];
    for (int u = 1; u < U; ++u) {
        all ^= hi[u] ^ lo[u];
    }
    uint32_t folded = 0;
    for (int w = 0; w < kWidth<V>; ++w) {
        if constexpr (std::is_same_v<V, uint32_t>) {
            folded ^= all;
        } else {
            folded ^= all[w];
        }
    }
    return folded;
}

// The group of U blocks (scalar) or U vectors of words V, named after the
// batch kernel of the same width.
template <class V, int U>
constexpr Bare bare_group(const char *kernel) {
    using qulo::Dir;
    return {kernel, U, U * qulo::batch::kWidth<V>,
            {bare_transform<V, U, Dir::encrypt>, bare_transform<V, U, Dir::decrypt>}};
}

// The groups every width is timed with; the fastest is its ceiling.
template <class V>
constexpr std::array<Bare, 3> bare_groups(const char *kernel) {
    return {bare_group<V, 2>(kernel), bare_group<V, 4>(kernel), bare_group<V, 8>(kernel)};
}

}  // namespace
}  // namespace bench
