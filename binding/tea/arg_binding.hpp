// Argument binding of the module's functions: every parameter is required
// and may come by position or by keyword.
//
// The decision (which parameter gets which argument, or which error) is a
// pure function over counts and keyword matches, testable without Python;
// binder.hpp applies it to real arguments and raises the messages.
#pragma once

#include <array>
#include <cstddef>

namespace qulo::args {

inline constexpr int kMaxParams = 3;

// What a keyword name refers to.
struct KeywordMatch {
    enum class Kind { parameter, unknown, not_string, error };
    Kind kind;
    int parameter = -1;  // for Kind::parameter
};

struct Decision {
    enum class Kind {
        ok,
        count,       // "takes exactly k positional argument(s) (given given)"
        unexpected,  // keyword names no parameter
        multiple,    // keyword repeats a parameter already bound
        not_string,  // keyword is not a str
        error,       // matching the keyword raised; its exception stands
    };
    Kind kind = Kind::ok;
    std::ptrdiff_t given = 0;    // for count
    std::ptrdiff_t keyword = -1;  // offending keyword's index
    // For ok: per parameter, the index of the keyword that supplied it, or
    // -1 when it came by position.
    std::array<std::ptrdiff_t, kMaxParams> from_keyword{-1, -1, -1};
};

// `match(j)` classifies keyword j. Keywords are examined in order and the
// first problem wins; a parameter still missing after them is reported
// with the number of parameters before it as "given".
template <class Match>
Decision decide(int nparams, std::ptrdiff_t nargs, std::ptrdiff_t nkeywords, Match &&match) {
    Decision d;
    if (nkeywords == 0 ? nargs != nparams : nargs > nparams) {
        d.kind = Decision::Kind::count;
        d.given = nargs;
        return d;
    }
    std::array<bool, kMaxParams> bound{};
    for (int i = 0; i < nparams && i < nargs; ++i) {
        bound[static_cast<size_t>(i)] = true;
    }
    for (std::ptrdiff_t j = 0; j < nkeywords; ++j) {
        const KeywordMatch m = match(j);
        switch (m.kind) {
        case KeywordMatch::Kind::error:
            d.kind = Decision::Kind::error;
            d.keyword = j;
            return d;
        case KeywordMatch::Kind::not_string:
            d.kind = Decision::Kind::not_string;
            d.keyword = j;
            return d;
        case KeywordMatch::Kind::unknown:
            d.kind = Decision::Kind::unexpected;
            d.keyword = j;
            return d;
        case KeywordMatch::Kind::parameter:
            break;
        }
        const auto p = static_cast<size_t>(m.parameter);
        if (bound[p]) {
            d.kind = Decision::Kind::multiple;
            d.keyword = j;
            return d;
        }
        bound[p] = true;
        d.from_keyword[p] = j;
    }
    for (int i = 0; i < nparams; ++i) {
        if (!bound[static_cast<size_t>(i)]) {
            d.kind = Decision::Kind::count;
            d.given = i;
            return d;
        }
    }
    return d;
}

}  // namespace qulo::args
