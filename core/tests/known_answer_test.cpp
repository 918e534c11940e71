// Known answers from the independent pure-Python model, in all six entry points.

#include "known_answers.h"
#include "support.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

namespace qulo_test {
namespace {

// The host-order answers were computed for a little-endian host.
static_assert(std::endian::native == std::endian::little);

Cipher cipher_of(const KnownAnswer &ka) {
    const Mode &mode = ka.kind == Kind::qq          ? kQq
                       : ka.kind == Kind::table_big ? kTableBig
                                                    : kTableHost;
    const Bytes table = ka.table < 0 ? Bytes{} : from_hex(kTables[ka.table]);
    return Cipher{mode, key_from_bytes(from_hex(kKeys[ka.key])), table};
}

class KnownAnswerTest : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(KnownAnswerTest, EncryptGivesTheCiphertext) {
    const KnownAnswer &ka = GetParam();
    EXPECT_EQ(cipher_of(ka).encrypt(pattern(ka.length)), from_hex(ka.ciphertext));
}

TEST_P(KnownAnswerTest, DecryptGivesThePlaintext) {
    const KnownAnswer &ka = GetParam();
    EXPECT_EQ(cipher_of(ka).decrypt(from_hex(ka.ciphertext)), pattern(ka.length));
}

std::string known_answer_name(const ::testing::TestParamInfo<KnownAnswer> &info) {
    const KnownAnswer &ka = info.param;
    const char *kind = ka.kind == Kind::qq          ? "qq"
                       : ka.kind == Kind::table_big ? "big"
                                                    : "native";
    std::string name = std::string(kind) + "_key" + std::to_string(ka.key);
    if (ka.table >= 0) name += "_table" + std::to_string(ka.table);
    return name + "_len" + std::to_string(ka.length);
}

INSTANTIATE_TEST_SUITE_P(Oracle, KnownAnswerTest, ::testing::ValuesIn(kKnownAnswers),
                         known_answer_name);

// The tables in the known answers are what their comments say they are.
TEST(SumTables, StandardAndBigEndianWrittenTablesAreLaidOutAsDescribed) {
    EXPECT_EQ(from_hex(kTables[0]), sum_table(standard_sums()));
    EXPECT_EQ(from_hex(kTables[2]), sum_table(standard_sums(), WordOrder::big));
}

}  // namespace
}  // namespace qulo_test
