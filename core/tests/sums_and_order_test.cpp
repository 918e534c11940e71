// How the sum table and the block byte order relate the three pairs.

#include "support.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

namespace qulo_test {
namespace {

const qulo_key kKey = key_from_bytes(test_key_bytes());

// Raw outputs of both decryptions, so that leftovers are compared too.
struct Decrypted {
    int64_t result;
    Bytes out;
    bool operator==(const Decrypted &) const = default;
};

template <typename Fn>
Decrypted decrypt_with(Fn fn, const Bytes &data) {
    Bytes out(data.size(), kDirt);
    const int64_t r = fn(data.data(), ssize(data), out.data(), ssize(out));
    return {r, out};
}

TEST(StandardSumTable, TableOfStandardSumsInHostOrderMatchesQq) {
    const Bytes table = sum_table(standard_sums());
    const Cipher qq{kQq, kKey, {}};
    const Cipher tabled{kTableBig, kKey, table};
    for (int64_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE(n);
        const Bytes data = qq.encrypt(pattern(n));
        EXPECT_EQ(tabled.encrypt(pattern(n)), data);

        // Decryption agrees byte for byte, also on data that is no
        // ciphertext of anything in particular.
        for (const Bytes &src : {data, pattern(ssize(data))}) {
            const auto a = decrypt_with(
                [&](auto... args) { return qq.decrypt_raw(args...); }, src);
            const auto b = decrypt_with(
                [&](auto... args) { return tabled.decrypt_raw(args...); }, src);
            EXPECT_EQ(a, b);
        }
    }
}

TEST(StandardSumTable, TheStandardSumsWithHostOrderAreTheHostOrderPairWithTheirTable) {
    const Cipher host{kTableHost, kKey, sum_table(standard_sums())};
    for (int64_t n : {0, 7, 33}) {
        SCOPED_TRACE(n);
        const Bytes text = pattern(n);
        const Bytes data = host.encrypt(text);
        Bytes out(data.size(), kDirt);
        const qulo_op enc{QULO_ENCRYPT, QULO_HOST_ORDER, nullptr, 0};
        ASSERT_EQ(qulo_run(&kKey, &enc, text.data(), n, out.data(), ssize(out)), ssize(data));
        EXPECT_EQ(out, data);
        const qulo_op dec{QULO_DECRYPT, QULO_HOST_ORDER, nullptr, 1};
        const auto want = decrypt_with([&](auto... args) { return host.decrypt_raw(args...); },
                                       data);
        const auto got = decrypt_with(
            [&](auto... args) { return qulo_run(&kKey, &dec, args...); }, data);
        EXPECT_EQ(got, want);
    }
}

TEST(StandardSumTable, StandardSumsWrittenBigEndianDoNotMatchQq) {
    const Cipher qq{kQq, kKey, {}};
    const Cipher wrong{kTableBig, kKey, sum_table(standard_sums(), WordOrder::big)};
    const Bytes text = pattern(9);
    const Bytes data = wrong.encrypt(text);
    EXPECT_NE(data, qq.encrypt(text));
    EXPECT_EQ(wrong.decrypt(data), text);
}

// On a little-endian host a block in host order is the big-endian block with
// its 8 bytes reversed. Texts of 8k + 6 bytes whose padded form, reversed
// block by block, is again a padded text let both whole messages be compared.
class HostOrderTest
    : public ::testing::TestWithParam<std::tuple<int /*table*/, int64_t /*length*/>> {};

Bytes table_by_index(int i) {
    switch (i) {
        case 0: return sum_table(standard_sums());
        case 1: return sum_table({kDelta, kDelta, kDelta, kDelta, kDelta, kDelta, kDelta,
                                  kDelta, kDelta, kDelta, kDelta, kDelta, kDelta, kDelta,
                                  kDelta, kDelta});
        case 2: return sum_table(standard_sums(), WordOrder::big);
        default: return irregular_table();
    }
}

TEST_P(HostOrderTest, IsBigEndianOnBlocksReversedAsOneUnit) {
    static_assert(std::endian::native == std::endian::little);
    const auto [table_index, n] = GetParam();
    const Bytes table = table_by_index(table_index);

    Bytes host_text = pattern(n);
    host_text[2] = host_text[3] = 0;  // lands on fill bytes once reversed
    host_text[4] = 0xF8;              // lands on the header
    host_text.back() = 0;             // lands among the trailing zeros

    const Bytes reversed = reverse_each_block(padded(host_text));
    ASSERT_EQ(slice(reversed, 0, 3), (Bytes{0xF8, 0, 0}));
    ASSERT_EQ(slice(reversed, reversed.size() - 7, reversed.size()), Bytes(7, 0));
    const Bytes big_text = slice(reversed, 3, 3 + static_cast<size_t>(n));

    const Cipher host{kTableHost, kKey, table};
    const Cipher big{kTableBig, kKey, table};
    const Bytes host_data = host.encrypt(host_text);
    EXPECT_EQ(host_data, reverse_each_block(big.encrypt(big_text)));
    EXPECT_EQ(big.decrypt(reverse_each_block(host_data)), big_text);
    EXPECT_EQ(host.decrypt(host_data), host_text);
}

INSTANTIATE_TEST_SUITE_P(TablesAndLengths, HostOrderTest,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(6, 14, 30, 62)),
                         [](const auto &p) {
                             return "table" + std::to_string(std::get<0>(p.param)) + "_len" +
                                    std::to_string(std::get<1>(p.param));
                         });

TEST(HostOrder, DiffersFromBigEndian) {
    const Cipher host{kTableHost, kKey, irregular_table()};
    const Cipher big{kTableBig, kKey, irregular_table()};
    EXPECT_NE(host.encrypt(pattern(12)), big.encrypt(pattern(12)));
}

}  // namespace
}  // namespace qulo_test
