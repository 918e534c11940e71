// qulo_run and qulo_ciphertext_status: each refusal has its own status and
// writes nothing, the named entry points give -1 for every one of them, and
// a verified decryption refuses a plaintext whose trailer is not zero after
// writing it.

#include "support.h"

#include "qulo/mode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace qulo_test {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(CiphertextStatus, KnowsTheShapeOfACiphertext) {
    const std::pair<int64_t, int64_t> cases[] = {
        {kMin, QULO_E_SHORT}, {-16, QULO_E_SHORT},  {0, QULO_E_SHORT},
        {8, QULO_E_SHORT},    {15, QULO_E_SHORT},   {16, 0},
        {17, QULO_E_BLOCKS},  {23, QULO_E_BLOCKS},  {24, 0},
        {kMax - 7, 0},        {kMax, QULO_E_BLOCKS},
    };
    for (const auto &[n, status] : cases) {
        EXPECT_EQ(qulo_ciphertext_status(n), status) << n;
    }
}

TEST(OutputCapacity, IsTheRoomEveryDriverAsksFor) {
    const qulo_op enc{QULO_ENCRYPT, QULO_BIG_ENDIAN, nullptr, 0};
    const qulo_op dec{QULO_DECRYPT, QULO_HOST_ORDER, nullptr, 1};
    const qulo_op bad{7, QULO_BIG_ENDIAN, nullptr, 0};
    struct Row {
        const qulo_op *op;
        int64_t n;
        int64_t room;
    };
    const Row rows[] = {
        {&enc, 0, 16},          {&enc, 7, 24},       {&enc, kMax - 17, kMax - 7},
        {&enc, kMax - 16, QULO_E_ARGUMENT},          {&enc, -1, QULO_E_ARGUMENT},
        {&dec, 16, 16},         {&dec, 1024, 1024},  {&dec, 15, QULO_E_SHORT},
        {&dec, -8, QULO_E_SHORT}, {&dec, 20, QULO_E_BLOCKS},
        {&bad, 16, QULO_E_ARGUMENT},                 {nullptr, 16, QULO_E_NULL},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(qulo_output_capacity(r.op, r.n), r.room) << r.n;
    }
}

class RunTest : public ::testing::TestWithParam<Mode> {
  protected:
    Cipher c = cipher_for(GetParam());
};

INSTANTIATE_TEST_SUITE_P(AllPairs, RunTest, ::testing::ValuesIn(kModes),
                         [](const auto &p) { return std::string(p.param.name); });

// The first ciphertext block of any 7-byte text decrypts to fill count 7.
Bytes sixteen_bytes_with_fill_count_7(const Cipher &c) {
    Bytes data = slice(c.encrypt(pattern(7)), 0, 8);
    data.insert(data.end(), 8, 0x5A);
    return data;
}

TEST_P(RunTest, EachRefusalHasItsStatusAndWritesNothing) {
    const Bytes text = pattern(40);
    const Bytes sealed = c.encrypt(pattern(20));  // 32 bytes
    struct Case {
        const char *what;
        int32_t direction;
        Bytes src;
        int64_t n;    // passed as the source length
        int64_t cap;  // passed as the capacity (the buffer has 64 bytes)
        int64_t status;
    };
    const Case cases[] = {
        {"negative length", QULO_ENCRYPT, text, -1, 64, QULO_E_ARGUMENT},
        {"most negative length", QULO_ENCRYPT, text, kMin, 64, QULO_E_ARGUMENT},
        {"length above the largest", QULO_ENCRYPT, text, QULO_MAX_PLAINTEXT_LEN + 1, 64,
         QULO_E_ARGUMENT},
        {"one byte short", QULO_ENCRYPT, text, 20, 31, QULO_E_SPACE},
        {"negative capacity", QULO_ENCRYPT, text, 20, -1, QULO_E_SPACE},
        {"empty ciphertext", QULO_DECRYPT, sealed, 0, 64, QULO_E_SHORT},
        {"one block", QULO_DECRYPT, sealed, 8, 0, QULO_E_SHORT},
        {"15 bytes", QULO_DECRYPT, sealed, 15, 64, QULO_E_SHORT},
        {"negative length", QULO_DECRYPT, sealed, -16, 64, QULO_E_SHORT},
        {"17 bytes", QULO_DECRYPT, sealed, 17, 64, QULO_E_BLOCKS},
        {"31 bytes, no room either", QULO_DECRYPT, sealed, 31, 0, QULO_E_BLOCKS},
        {"capacity one short", QULO_DECRYPT, sealed, 32, 31, QULO_E_SPACE},
        {"fill count 7", QULO_DECRYPT, sixteen_bytes_with_fill_count_7(c), 16, 64, QULO_E_FILL},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        for (const bool verify : {false, true}) {
            const qulo_op op = c.op(k.direction, verify);
            Bytes out(64, kDirt);
            EXPECT_EQ(qulo_run(&c.key, &op, k.src.data(), k.n, out.data(), k.cap), k.status);
            EXPECT_EQ(out, Bytes(64, kDirt));
        }
        const auto named = k.direction == QULO_ENCRYPT ? c.mode.encrypt : c.mode.decrypt;
        Bytes out(64, kDirt);
        EXPECT_EQ(named(&c.key, c.table.data(), k.src.data(), k.n, out.data(), k.cap), -1);
    }
}

TEST_P(RunTest, AnUnknownOperationIsRefusedBeforeAnything) {
    const Bytes text = pattern(5);
    Bytes out(64, kDirt);
    for (const auto &[direction, order] : {std::pair{2, 0}, {-1, 0}, {1, 2}, {0, -1}}) {
        const qulo_op op{direction, order, c.op(0).sumtable, 1};
        EXPECT_EQ(qulo_run(&c.key, &op, text.data(), 5, out.data(), 64), QULO_E_ARGUMENT);
    }
    EXPECT_EQ(qulo_run(&c.key, nullptr, text.data(), 5, out.data(), 64), QULO_E_NULL);
    EXPECT_EQ(out, Bytes(64, kDirt));
}

TEST_P(RunTest, VerifiedDecryptionRefusesATrailerThatIsNotZeroAfterWritingIt) {
    const Bytes sealed = c.encrypt(pattern(30));  // 40 bytes
    Cipher other_key = c;
    other_key.key.k3 ^= 0x100;
    Bytes damaged = sealed;
    damaged[damaged.size() - 3] ^= 0x08;
    // The same bytes under the other byte order: a block read backwards.
    const qulo_op plain = c.op(QULO_DECRYPT);
    const qulo_op other_order{QULO_DECRYPT, 1 - plain.order, plain.sumtable, 1};
    struct Case {
        const char *what;
        const Cipher &cipher;
        Bytes data;
        bool other_order;
        int64_t status;
    };
    const Case cases[] = {
        {"a ciphertext", c, sealed, false, 30},
        {"another key", other_key, sealed, false, QULO_E_CHECK},
        {"cut at a block boundary", c, slice(sealed, 0, 32), false, QULO_E_CHECK},
        {"a damaged last block", c, damaged, false, QULO_E_CHECK},
        {"the other byte order", c, sealed, true, QULO_E_CHECK},
        {"fill count 7 comes first", c, sixteen_bytes_with_fill_count_7(c), false, QULO_E_FILL},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        const int64_t n = ssize(k.data);
        qulo_op op = k.other_order ? other_order : k.cipher.op(QULO_DECRYPT, true);
        Bytes verified(k.data.size() + 8, kDirt);
        EXPECT_EQ(qulo_run(&k.cipher.key, &op, k.data.data(), n, verified.data(), n + 8),
                  k.status);
        // Unverified, the same call writes the same bytes and succeeds.
        op.verify = 0;
        Bytes unverified(k.data.size() + 8, kDirt);
        const int64_t r =
            qulo_run(&k.cipher.key, &op, k.data.data(), n, unverified.data(), n + 8);
        if (k.status == QULO_E_CHECK) {
            EXPECT_GE(r, 0);
        } else {
            EXPECT_EQ(r, k.status);
        }
        EXPECT_EQ(verified, unverified);
    }
}

}  // namespace
}  // namespace qulo_test
