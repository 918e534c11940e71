// The groups of one width's bare transform, for the unit built with that
// width's flags (ceiling_*.cpp): the kernels' own transform, so this header
// is never part of a unit built for the baseline.
#pragma once

#include "batch_kernels.hpp"
#include "ceiling.hpp"

#include <array>

namespace bench {

// The group of U blocks (scalar) or U vectors of words V, named after the
// batch kernel of the same width.
template <class V, int U>
constexpr Bare bare_group(const char *kernel) {
    using qulo::Dir;
    using qulo::batch::bare_transform;
    return {kernel, U, U * qulo::batch::kWidth<V>,
            {bare_transform<V, U, Dir::encrypt>, bare_transform<V, U, Dir::decrypt>}};
}

// The groups every width is timed with; the fastest is its ceiling.
template <class V>
constexpr std::array<Bare, 3> bare_groups(const char *kernel) {
    return {bare_group<V, 2>(kernel), bare_group<V, 4>(kernel), bare_group<V, 8>(kernel)};
}

}  // namespace bench
