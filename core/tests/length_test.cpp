// The length rule, with its truncating remainder for negative inputs.

#include "qulo/tea.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>

namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

class EncryptLenTest : public ::testing::TestWithParam<std::pair<int64_t, int64_t>> {};

TEST_P(EncryptLenTest, Matches) {
    const auto [n, expected] = GetParam();
    EXPECT_EQ(qulo_encrypt_len(n), expected) << "n = " << n;
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncryptLenTest,
    ::testing::Values(std::pair{int64_t{0}, int64_t{16}}, std::pair{int64_t{6}, int64_t{16}},
                      std::pair{int64_t{7}, int64_t{24}}, std::pair{int64_t{14}, int64_t{24}},
                      std::pair{int64_t{15}, int64_t{32}}, std::pair{int64_t{22}, int64_t{32}},
                      std::pair{int64_t{23}, int64_t{40}},
                      std::pair{int64_t{1} << 40, (int64_t{1} << 40) + 16},
                      // Truncating remainder: it takes the sign of n + 1.
                      std::pair{int64_t{-1}, int64_t{16}}, std::pair{int64_t{-2}, int64_t{16}},
                      std::pair{int64_t{-8}, int64_t{16}}, std::pair{int64_t{-9}, int64_t{8}},
                      std::pair{int64_t{-10}, int64_t{8}}, std::pair{int64_t{-17}, int64_t{0}},
                      std::pair{int64_t{-100}, int64_t{-80}}, std::pair{kMin, kMin + 24},
                      // The largest inputs whose result still fits.
                      std::pair{kMax - 18, kMax - 7}, std::pair{kMax - 17, kMax - 7}));

// For n >= 0: the smallest multiple of 8 not below n + 10.
TEST(EncryptLen, IsTheSmallestMultipleOf8NotBelowNPlus10) {
    for (int64_t n = 0; n < 1000; ++n) {
        const int64_t t = qulo_encrypt_len(n);
        EXPECT_EQ(t % 8, 0) << n;
        EXPECT_GE(t, n + 10) << n;
        EXPECT_LT(t - 8, n + 10) << n;
    }
}

}  // namespace
