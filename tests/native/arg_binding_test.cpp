// The argument-binding decision: which parameter gets which argument, or
// which refusal (and with what "given" count) the caller must raise.

#include "binding/tea/arg_binding.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <ostream>
#include <string_view>
#include <vector>

namespace {

using qulo::args::decide;
using qulo::args::Decision;
using qulo::args::KeywordMatch;
using Kind = Decision::Kind;
using MatchKind = KeywordMatch::Kind;

KeywordMatch param(int i) { return {MatchKind::parameter, i}; }
constexpr KeywordMatch kUnknown{MatchKind::unknown};
constexpr KeywordMatch kNotString{MatchKind::not_string};
constexpr KeywordMatch kError{MatchKind::error};

using Sources = std::array<std::ptrdiff_t, qulo::args::kMaxParams>;
constexpr std::ptrdiff_t P = -1;  // came by position

struct Row {
    std::string_view label;
    int nparams;
    std::ptrdiff_t nargs;
    std::vector<KeywordMatch> keywords;
    Kind kind;
    std::ptrdiff_t given = 0;     // for count
    std::ptrdiff_t keyword = -1;  // for unexpected, multiple, not_string, error
    Sources from_keyword{P, P, P};  // for ok
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.label; }

// Decides `row`, recording which keywords were looked at.
Decision run(const Row &row, std::vector<std::ptrdiff_t> &examined) {
    return decide(row.nparams, row.nargs, static_cast<std::ptrdiff_t>(row.keywords.size()),
                  [&](std::ptrdiff_t j) {
                      examined.push_back(j);
                      return row.keywords.at(static_cast<std::size_t>(j));
                  });
}

class Binding : public testing::TestWithParam<Row> {};

TEST_P(Binding, Decides) {
    const Row &row = GetParam();
    std::vector<std::ptrdiff_t> examined;
    const Decision d = run(row, examined);
    ASSERT_EQ(d.kind, row.kind);
    switch (row.kind) {
    case Kind::ok:
        for (int i = 0; i < row.nparams; ++i) {
            EXPECT_EQ(d.from_keyword[static_cast<std::size_t>(i)],
                      row.from_keyword[static_cast<std::size_t>(i)])
                << "parameter " << i;
        }
        break;
    case Kind::count:
        EXPECT_EQ(d.given, row.given);
        break;
    default:
        EXPECT_EQ(d.keyword, row.keyword);
        // The first problem wins: nothing after it is looked at.
        ASSERT_FALSE(examined.empty());
        EXPECT_EQ(examined.back(), row.keyword);
        break;
    }
    // Keywords are examined in their order, each at most once.
    for (std::size_t i = 0; i < examined.size(); ++i) {
        EXPECT_EQ(examined[i], static_cast<std::ptrdiff_t>(i));
    }
}

INSTANTIATE_TEST_SUITE_P(Positional, Binding, testing::Values(
    Row{"one_of_one", 1, 1, {}, Kind::ok},
    Row{"three_of_three", 3, 3, {}, Kind::ok},
    Row{"none_of_none", 0, 0, {}, Kind::ok},
    Row{"zero_of_one", 1, 0, {}, Kind::count, 0},
    Row{"two_of_one", 1, 2, {}, Kind::count, 2},
    Row{"one_of_two", 2, 1, {}, Kind::count, 1},
    Row{"four_of_three", 3, 4, {}, Kind::count, 4},
    Row{"one_of_none", 0, 1, {}, Kind::count, 1}));

INSTANTIATE_TEST_SUITE_P(Keywords, Binding, testing::Values(
    Row{"key_by_keyword", 1, 0, {param(0)}, Kind::ok, 0, -1, {0, P, P}},
    Row{"last_by_keyword", 2, 1, {param(1)}, Kind::ok, 0, -1, {P, 0, P}},
    Row{"all_by_keyword_reversed", 3, 0, {param(2), param(1), param(0)}, Kind::ok, 0, -1,
        {2, 1, 0}},
    Row{"mixed", 3, 1, {param(2), param(1)}, Kind::ok, 0, -1, {P, 1, 0}},
    // With keywords present, too many positionals is still a count error,
    // found before any keyword is looked at.
    Row{"two_positional_and_keyword", 1, 2, {param(0)}, Kind::count, 2},
    Row{"too_many_before_unknown", 1, 2, {kUnknown}, Kind::count, 2},
    // A parameter still missing after the keywords: the number of
    // parameters before it is reported as given.
    Row{"only_unrelated_position_missing", 1, 0, {}, Kind::count, 0},
    Row{"first_missing", 2, 0, {param(1)}, Kind::count, 0},
    Row{"middle_missing", 3, 1, {param(2)}, Kind::count, 1},
    Row{"last_missing", 3, 0, {param(0), param(1)}, Kind::count, 2}));

INSTANTIATE_TEST_SUITE_P(Refusals, Binding, testing::Values(
    Row{"unexpected", 1, 0, {kUnknown}, Kind::unexpected, 0, 0},
    Row{"unexpected_after_good", 2, 0, {param(0), kUnknown, param(1)}, Kind::unexpected, 0, 1},
    Row{"unexpected_for_no_params", 0, 0, {kUnknown}, Kind::unexpected, 0, 0},
    Row{"unexpected_beats_missing", 2, 0, {kUnknown}, Kind::unexpected, 0, 0},
    Row{"multiple_with_position", 1, 1, {param(0)}, Kind::multiple, 0, 0},
    Row{"multiple_keyword_twice", 2, 0, {param(1), param(1)}, Kind::multiple, 0, 1},
    Row{"multiple_third_by_position", 3, 3, {param(2)}, Kind::multiple, 0, 0},
    Row{"not_string", 1, 0, {kNotString}, Kind::not_string, 0, 0},
    Row{"not_string_after_good", 2, 1, {param(1), kNotString}, Kind::not_string, 0, 1},
    Row{"first_problem_wins", 1, 0, {kNotString, kUnknown}, Kind::not_string, 0, 0},
    Row{"unknown_before_multiple", 1, 1, {kUnknown, param(0)}, Kind::unexpected, 0, 0},
    Row{"match_raised", 1, 0, {kError}, Kind::error, 0, 0},
    Row{"match_raised_later", 2, 0, {param(0), kError, kUnknown}, Kind::error, 0, 1}));

}  // namespace
