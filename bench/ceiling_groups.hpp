// The groups of one width's bare transform, for the unit built with that
// width's flags (ceiling_*.cpp): the kernels' own transform, so this header
// is never part of a unit built for the baseline.
#pragma once

#include "batch_kernels.hpp"
#include "ceiling.hpp"

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

}  // namespace bench
