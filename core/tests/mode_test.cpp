// The qq mode's contracts, run against each of the three encrypt/decrypt pairs.

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace qulo_test {
namespace {

class ModeTest : public ::testing::TestWithParam<Mode> {
  protected:
    Cipher c = cipher_for(GetParam());
};

INSTANTIATE_TEST_SUITE_P(AllPairs, ModeTest, ::testing::ValuesIn(kModes),
                         [](const auto &p) { return std::string(p.param.name); });

// Lengths on both sides of each block boundary of the padded text.
constexpr int64_t kContractLengths[] = {0, 1, 5, 6, 7, 8, 13, 14, 15, 22, 23, 57, 100};

// ---- round trips -------------------------------------------------------------

TEST_P(ModeTest, RoundTripsEveryLengthUpTo200) {
    for (int64_t n = 0; n <= 200; ++n) {
        SCOPED_TRACE(n);
        const Bytes text = pattern(n);
        const Bytes data = c.encrypt(text);
        ASSERT_EQ(ssize(data), qulo_encrypt_len(n));
        EXPECT_EQ(data.size() % 8, 0u);
        EXPECT_EQ(c.decrypt(data), text);
    }
}

TEST_P(ModeTest, EmptyTextGivesTwoBlocksThatDecryptToNothing) {
    const Bytes data = c.encrypt({});
    ASSERT_EQ(data.size(), 16u);
    EXPECT_EQ(c.decrypt(data), Bytes{});
}

// ---- encryption's output contract -----------------------------------------------

TEST_P(ModeTest, EncryptIntoExactCapacitySucceeds) {
    for (int64_t n : kContractLengths) {
        SCOPED_TRACE(n);
        const Bytes text = pattern(n);
        const int64_t total = qulo_encrypt_len(n);
        Bytes out(static_cast<size_t>(total), kDirt);
        EXPECT_EQ(c.encrypt_raw(text.data(), n, out.data(), total), total);
        EXPECT_EQ(c.decrypt(out), text);
    }
}

TEST_P(ModeTest, EncryptIntoOneByteTooFewRefusesAndWritesNothing) {
    for (int64_t n : kContractLengths) {
        SCOPED_TRACE(n);
        const Bytes text = pattern(n);
        const int64_t cap = qulo_encrypt_len(n) - 1;
        Bytes out(static_cast<size_t>(cap), kDirt);
        EXPECT_EQ(c.encrypt_raw(text.data(), n, out.data(), cap), -1);
        EXPECT_EQ(out, Bytes(out.size(), kDirt));
    }
}

TEST_P(ModeTest, EncryptRefusesZeroAndNegativeCapacity) {
    const Bytes text = pattern(3);
    Bytes out(16, kDirt);
    for (int64_t cap : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::min()}) {
        SCOPED_TRACE(cap);
        EXPECT_EQ(c.encrypt_raw(text.data(), 3, out.data(), cap), -1);
    }
    EXPECT_EQ(out, Bytes(16, kDirt));
}

TEST_P(ModeTest, EncryptClearsTheWholeCapacityBeyondTheCiphertext) {
    for (int64_t n : kContractLengths) {
        SCOPED_TRACE(n);
        const Bytes text = pattern(n);
        const Bytes expected = c.encrypt(text);
        Bytes out(expected.size() + 13, kDirt);
        ASSERT_EQ(c.encrypt_raw(text.data(), n, out.data(), ssize(out)), ssize(expected));
        EXPECT_EQ(slice(out, 0, expected.size()), expected);
        EXPECT_EQ(slice(out, expected.size(), out.size()), Bytes(13, 0));
    }
}

TEST_P(ModeTest, EncryptAcceptsANullSourceOfLengthZero) {
    Bytes out(20, kDirt);
    ASSERT_EQ(c.encrypt_raw(nullptr, 0, out.data(), ssize(out)), 16);
    EXPECT_EQ(slice(out, 0, 16), c.encrypt({}));
    EXPECT_EQ(slice(out, 16, 20), Bytes(4, 0));
}

TEST_P(ModeTest, EncryptRefusesANegativeSourceLength) {
    const Bytes text = pattern(8);
    Bytes out(64, kDirt);
    for (int64_t n : {int64_t{-1}, int64_t{-8}, int64_t{-9}, int64_t{-17},
                      std::numeric_limits<int64_t>::min()}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(c.encrypt_raw(text.data(), n, out.data(), ssize(out)), -1);
    }
    EXPECT_EQ(out, Bytes(64, kDirt));
}

// A source lying inside (or straddling the start of) the output is moved into
// place before anything is cleared, so it still encrypts the source's bytes,
// wherever the two overlap.
TEST_P(ModeTest, EncryptOfASourceOverlappingTheOutputEncryptsTheSource) {
    constexpr int64_t kLead = 64;  // room for sources that start before `out`
    for (int64_t n : {1, 6, 7, 8, 20, 50}) {
        const Bytes text = pattern(n);
        const Bytes expected = c.encrypt(text);
        const int64_t cap = ssize(expected) + 8;
        for (int64_t offset = -n + 1; offset <= cap - n; ++offset) {
            SCOPED_TRACE("n=" + std::to_string(n) + " offset=" + std::to_string(offset));
            Bytes buf(static_cast<size_t>(kLead + cap), kDirt);
            uint8_t *out = buf.data() + kLead;
            std::memcpy(out + offset, text.data(), text.size());
            ASSERT_EQ(c.encrypt_raw(out + offset, n, out, cap), ssize(expected));
            EXPECT_EQ(slice(buf, kLead, kLead + expected.size()), expected);
            EXPECT_EQ(slice(buf, kLead + expected.size(), buf.size()), Bytes(8, 0));
        }
    }
}

TEST_P(ModeTest, EncryptionIsDeterministic) {
    const Bytes text = pattern(33);
    EXPECT_EQ(c.encrypt(text), c.encrypt(text));
}

// ---- decryption's output contract ------------------------------------------------

TEST_P(ModeTest, DecryptLeavesLeftoversBeforeTheSourceLengthAndNothingAfter) {
    for (int64_t n : kContractLengths) {
        SCOPED_TRACE(n);
        const Bytes text = pattern(n);
        const Bytes data = c.encrypt(text);
        const size_t big_n = data.size();
        Bytes out(big_n + 9, kDirt);
        ASSERT_EQ(c.decrypt_raw(data.data(), ssize(data), out.data(), ssize(out)), n);
        const auto len = static_cast<size_t>(n);
        EXPECT_EQ(slice(out, 0, len), text);
        // The move to the front leaves the decrypted padded text behind it.
        EXPECT_EQ(slice(out, len, big_n), slice(padded(text), len, big_n));
        EXPECT_EQ(slice(out, big_n, out.size()), Bytes(9, kDirt));
    }
}

TEST_P(ModeTest, DecryptIntoExactlyTheSourceLengthSucceeds) {
    const Bytes data = c.encrypt(pattern(11));
    Bytes out(data.size(), kDirt);
    EXPECT_EQ(c.decrypt_raw(data.data(), ssize(data), out.data(), ssize(out)), 11);
    EXPECT_EQ(slice(out, 0, 11), pattern(11));
}

TEST_P(ModeTest, DecryptInPlaceEqualsDecryptIntoAnotherArray) {
    for (int64_t n : kContractLengths) {
        SCOPED_TRACE(n);
        const Bytes data = c.encrypt(pattern(n));
        Bytes separate(data.size(), kDirt);
        const int64_t expected =
            c.decrypt_raw(data.data(), ssize(data), separate.data(), ssize(separate));
        ASSERT_EQ(expected, n);

        Bytes buf = data;
        buf.insert(buf.end(), 5, kDirt);
        EXPECT_EQ(c.decrypt_raw(buf.data(), ssize(data), buf.data(), ssize(buf)), expected);
        EXPECT_EQ(slice(buf, 0, data.size()), separate);
        EXPECT_EQ(slice(buf, data.size(), buf.size()), Bytes(5, kDirt));
    }
}

// The first ciphertext block of any 7-byte text decrypts to the header 0xFF
// (fill count 7); as the first half of a 16-byte source there is no room for
// the text that fill count promises.
Bytes sixteen_bytes_with_fill_count_7(const Cipher &c) {
    Bytes data = slice(c.encrypt(pattern(7)), 0, 8);
    data.insert(data.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    return data;
}

struct Refusal {
    const char *what;
    Bytes data;
    int64_t capacity_short_by;
};

std::vector<Refusal> refusals(const Cipher &c) {
    const Bytes ok = c.encrypt(pattern(20));
    return {
        {"empty", {}, 0},
        {"one block", slice(ok, 0, 8), 0},
        {"15 bytes", slice(ok, 0, 15), 0},
        {"17 bytes", slice(ok, 0, 17), 0},
        {"31 bytes", slice(ok, 0, 31), 0},
        {"capacity one short", ok, 1},
        {"16 bytes with fill count 7", sixteen_bytes_with_fill_count_7(c), 0},
    };
}

TEST_P(ModeTest, DecryptRefusalsWriteNothing) {
    for (const Refusal &r : refusals(c)) {
        SCOPED_TRACE(r.what);
        const int64_t cap = ssize(r.data) - r.capacity_short_by;
        Bytes out(r.data.size() + 8, kDirt);
        EXPECT_EQ(c.decrypt_raw(r.data.data(), ssize(r.data), out.data(), cap), -1);
        EXPECT_EQ(out, Bytes(out.size(), kDirt));
    }
}

// Any overlap decrypts as separate arrays do: out may start before or after
// the source, anywhere within it; a refusal writes nothing there either.
TEST_P(ModeTest, DecryptIntoAnOutputOverlappingTheSourceAtEveryShift) {
    std::vector<Bytes> sources;
    for (int64_t n : kContractLengths) {
        sources.push_back(c.encrypt(pattern(n)));
    }
    sources.push_back(sixteen_bytes_with_fill_count_7(c));
    for (const Bytes &data : sources) {
        const int64_t n = ssize(data);
        Bytes separate(data.size(), kDirt);
        const int64_t r = c.decrypt_raw(data.data(), n, separate.data(), n);
        for (int64_t shift = -n; shift <= n; ++shift) {  // out starts `shift` after src
            SCOPED_TRACE("n=" + std::to_string(n) + " shift=" + std::to_string(shift));
            const int64_t src_at = shift < 0 ? -shift : 0;
            Bytes buf(static_cast<size_t>(n + (shift < 0 ? -shift : shift)), kDirt);
            std::copy(data.begin(), data.end(), buf.begin() + src_at);
            Bytes expected = buf;
            if (r >= 0) {
                std::copy(separate.begin(), separate.end(), expected.begin() + src_at + shift);
            }
            uint8_t *src = buf.data() + src_at;
            EXPECT_EQ(c.decrypt_raw(src, n, src + shift, n), r);
            EXPECT_EQ(buf, expected);
        }
    }
}

TEST_P(ModeTest, DecryptRefusalsInPlaceLeaveTheCiphertextIntact) {
    for (const Refusal &r : refusals(c)) {
        SCOPED_TRACE(r.what);
        Bytes buf = r.data;
        buf.insert(buf.end(), 8, kDirt);
        const int64_t cap = ssize(r.data) - r.capacity_short_by;
        EXPECT_EQ(c.decrypt_raw(buf.data(), ssize(r.data), buf.data(), cap), -1);
        EXPECT_EQ(slice(buf, 0, r.data.size()), r.data);
    }
}

TEST_P(ModeTest, FillCount7IsFineWithRoomForTheText) {
    Bytes data = sixteen_bytes_with_fill_count_7(c);
    data.insert(data.end(), 8, 0x33);
    const auto plain = c.decrypt(data);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->size(), 7u);
}

TEST_P(ModeTest, DecryptRefusesANullSourceOfLengthZero) {
    Bytes out(16, kDirt);
    EXPECT_EQ(c.decrypt_raw(nullptr, 0, out.data(), ssize(out)), -1);
    EXPECT_EQ(out, Bytes(16, kDirt));
}

// ---- no integrity check ----------------------------------------------------------

TEST_P(ModeTest, TamperedLastByteCorruptsOnlyTheLastBlock) {
    for (int64_t n : {0, 1, 6, 7, 15, 40}) {
        SCOPED_TRACE(n);
        const Bytes text = pattern(n);
        Bytes data = c.encrypt(text);
        data.back() ^= 0x40;
        const size_t big_n = data.size();
        Bytes out(big_n, kDirt);
        ASSERT_EQ(c.decrypt_raw(data.data(), ssize(data), out.data(), ssize(out)), n);
        // Only the text's last byte comes from the last block.
        const auto untouched = static_cast<size_t>(n > 0 ? n - 1 : 0);
        EXPECT_EQ(slice(out, 0, untouched), slice(text, 0, untouched));
        EXPECT_NE(slice(out, big_n - 8, big_n), slice(padded(text), big_n - 8, big_n));
    }
}

TEST_P(ModeTest, WrongKeyDecryptsToSomethingWithoutComplaint) {
    const Bytes data = c.encrypt(pattern(30));
    Cipher other = c;
    other.key.k2 ^= 1;
    const auto plain = other.decrypt(data);
    ASSERT_TRUE(plain.has_value());
    EXPECT_NE(*plain, pattern(30));
}

}  // namespace
}  // namespace qulo_test
