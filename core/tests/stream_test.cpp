// The incremental qq mode against the one-message entry points: however a
// message is cut into chunks, the concatenated output is the same bytes;
// and every misuse is a distinct negative code that changes nothing.

#include "support.h"

#include "qulo/stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace qulo_test {
namespace {

using Cuts = std::vector<int64_t>;  // chunk lengths, summing to the message

// Runs one stream over `src` cut as `cuts`, each update into an output of
// exactly the announced size; the concatenation, or nothing on refusal.
struct Streamer {
    const Cipher &c;

    std::optional<Bytes> encrypt(const Bytes &src, const Cuts &cuts) const {
        qulo_encryptor e;
        const qulo_op op = c.op(QULO_ENCRYPT);
        const int64_t total = qulo_encryptor_init(&e, &c.key, &op, ssize(src));
        EXPECT_EQ(total, qulo_encrypt_len(ssize(src)));
        Bytes all;
        int64_t at = 0;
        for (int64_t n : cuts) {
            const int64_t want = qulo_encryptor_update_len(&e, n);
            EXPECT_GE(want, 0);
            EXPECT_LE(want, n + 16);
            Bytes out(static_cast<size_t>(want), kDirt);
            const int64_t w =
                qulo_encryptor_update(&e, src.data() + at, n, out.data(), ssize(out));
            EXPECT_EQ(w, want) << "the announced size is exact";
            if (w < 0) return std::nullopt;
            all.insert(all.end(), out.begin(), out.end());
            at += n;
        }
        Bytes last(QULO_STREAM_FINISH_MAX, kDirt);
        const int64_t w = qulo_encryptor_finish(&e, last.data(), ssize(last));
        if (w < 0) return std::nullopt;
        all.insert(all.end(), last.begin(), last.begin() + w);
        EXPECT_EQ(ssize(all), total);
        return all;
    }

    // The plaintext, or nothing when the finish refuses (its status then in
    // *status, when given).
    std::optional<Bytes> decrypt(const Bytes &src, const Cuts &cuts, bool verify = false,
                                 int64_t *status = nullptr) const {
        qulo_decryptor d;
        const qulo_op op = c.op(QULO_DECRYPT, verify);
        EXPECT_EQ(qulo_decryptor_init(&d, &c.key, &op), 0);
        Bytes all;
        int64_t at = 0;
        for (int64_t n : cuts) {
            const int64_t bound = qulo_decryptor_update_len(&d, n);
            EXPECT_GE(bound, 0);
            EXPECT_LE(bound, n + 16);
            const bool exact = qulo_decryptor_given(&d) >= 8;
            Bytes out(static_cast<size_t>(bound), kDirt);
            const int64_t w =
                qulo_decryptor_update(&d, src.data() + at, n, out.data(), ssize(out));
            EXPECT_GE(w, 0);
            EXPECT_LE(w, bound);
            if (exact) {
                EXPECT_EQ(w, bound) << "exact once the fill count is known";
            }
            if (w < 0) return std::nullopt;
            all.insert(all.end(), out.begin(), out.begin() + w);
            at += n;
            EXPECT_EQ(qulo_decryptor_given(&d), at);
        }
        const int64_t finished = qulo_decryptor_finish(&d);
        if (status != nullptr) *status = finished;
        if (finished != 0) return std::nullopt;
        return all;
    }
};

class StreamTest : public ::testing::TestWithParam<Mode> {
  protected:
    Cipher c = cipher_for(GetParam());
    Streamer s{c};

    // Both directions for one message and one way of cutting it (the
    // ciphertext cut the same way as far as it reaches, the rest in one).
    void check(const Bytes &text, const Cuts &cuts) {
        const Bytes sealed = c.encrypt(text);
        EXPECT_EQ(s.encrypt(text, cuts), sealed);
        Cuts dcuts = cuts;
        int64_t used = 0;
        for (int64_t n : cuts) used += n;
        dcuts.push_back(ssize(sealed) - used);
        EXPECT_EQ(s.decrypt(sealed, dcuts), text);
    }
};

INSTANTIATE_TEST_SUITE_P(AllPairs, StreamTest, ::testing::ValuesIn(kModes),
                         [](const auto &p) { return std::string(p.param.name); });

// ---- every split equals the one-message output ----------------------------------

TEST_P(StreamTest, EveryCompositionOfShortMessages) {
    // All 2^(n-1) ways to cut n bytes into non-empty chunks.
    for (int64_t n = 1; n <= 12; ++n) {
        const Bytes text = pattern(n);
        for (uint32_t mask = 0; mask < (1u << (n - 1)); ++mask) {
            Cuts cuts{1};
            for (int64_t i = 1; i < n; ++i) {
                if (mask & (1u << (i - 1))) cuts.push_back(1);
                else ++cuts.back();
            }
            SCOPED_TRACE(testing::Message() << "n=" << n << " mask=" << mask);
            check(text, cuts);
        }
    }
}

TEST_P(StreamTest, EveryTwoCutsUpTo64BytesAndEmptyChunks) {
    for (int64_t n = 0; n <= 64; ++n) {
        const Bytes text = pattern(n);
        SCOPED_TRACE(n);
        if (n == 0) check(text, {});
        check(text, {0, n, 0});
        for (int64_t i = 0; i <= n; ++i) {
            for (int64_t j = i; j <= n; ++j) {
                check(text, {i, j - i, n - j});
            }
        }
    }
}

TEST_P(StreamTest, EveryCutOfTheCiphertextAlone) {
    // Decryption cut independently of any plaintext boundary, past the
    // three blocks that settle the fill count.
    for (int64_t n : {0, 6, 7, 20, 33}) {
        const Bytes text = pattern(n);
        const Bytes sealed = c.encrypt(text);
        const int64_t m = ssize(sealed);
        for (int64_t i = 0; i <= m; ++i) {
            for (int64_t j = i; j <= m; ++j) {
                SCOPED_TRACE(testing::Message() << n << ": " << i << "," << j);
                EXPECT_EQ(s.decrypt(sealed, {i, j - i, m - j}), text);
            }
        }
    }
}

TEST_P(StreamTest, RandomSplitsOfLargerMessages) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 60; ++round) {
        const int64_t n = static_cast<int64_t>(rng() % 20000);
        Bytes text(static_cast<size_t>(n));
        for (auto &b : text) b = static_cast<uint8_t>(rng());
        Cuts cuts;
        for (int64_t left = n; left > 0;) {
            // Mostly small and odd chunks, sometimes large ones and empty ones.
            const int64_t cap = rng() % 4 == 0 ? 5000 : 20;
            const int64_t k = std::min<int64_t>(left, static_cast<int64_t>(rng() % cap));
            cuts.push_back(k);
            left -= k;
        }
        SCOPED_TRACE(testing::Message() << "round " << round << " n=" << n);
        check(text, cuts);
    }
}

TEST_P(StreamTest, RefusesExactlyWhatTheOneMessageDecryptionRefuses) {
    std::mt19937_64 rng(11);
    int refused16 = 0;
    for (int round = 0; round < 2000; ++round) {
        const int64_t m = round < 41 ? round : 16;  // every short length, then many 16s
        Bytes data(static_cast<size_t>(m));
        for (auto &b : data) b = static_cast<uint8_t>(rng());
        const auto whole = c.decrypt(data);
        for (const Cuts &cuts : {Cuts{m}, Cuts{m / 2, m - m / 2}, Cuts{1, 0, m - 1 > 0 ? m - 1 : 0}}) {
            if (m == 0 && cuts.size() == 3) continue;
            SCOPED_TRACE(testing::Message() << "length " << m);
            EXPECT_EQ(s.decrypt(data, cuts), whole);
        }
        refused16 += m == 16 && !whole;
    }
    EXPECT_GT(refused16, 0) << "no 16-byte ciphertext with fill count 7 was drawn";
}

TEST_P(StreamTest, NothingIsEmittedBeforeItIsCertain) {
    // A 16-byte ciphertext emits at most the 6 bytes a 16-byte one can
    // hold, and a stream cut before its end never emits the 7 bytes that
    // may still turn out to be the trailer.
    const Bytes sealed = c.encrypt(pattern(30));  // 40 bytes
    for (int64_t k = 0; k <= ssize(sealed); ++k) {
        qulo_decryptor d;
        const qulo_op op = c.op(QULO_DECRYPT);
        ASSERT_EQ(qulo_decryptor_init(&d, &c.key, &op), 0);
        Bytes out(static_cast<size_t>(k) + 16);
        const int64_t w = qulo_decryptor_update(&d, sealed.data(), k, out.data(), ssize(out));
        const int64_t fill = 7 - (30 + 1) % 8;
        EXPECT_EQ(w, std::max<int64_t>(0, k / 8 * 8 - 7 - (fill + 3))) << k;
        qulo_decryptor_wipe(&d);
    }
}

// ---- statuses and verification ---------------------------------------------------

TEST_P(StreamTest, FinishGivesTheStatusQuloRunGivesTheWholeCiphertext) {
    // Refused shapes, 16 bytes claiming fill count 7, and, verified, a wrong
    // key, a cut at a block boundary and a damaged last block.
    std::mt19937_64 rng(13);
    const Bytes good = c.encrypt(pattern(20));
    Cipher other = c;
    other.key.k0 ^= 1;
    Bytes damaged = good;
    damaged.back() ^= 1;
    std::vector<Bytes> inputs = {good, slice(good, 0, 24), slice(good, 0, 17), {}, damaged,
                                 other.encrypt(pattern(20))};
    for (int round = 0; round < 200; ++round) {
        Bytes data(round < 41 ? static_cast<size_t>(round) : 16);
        for (auto &b : data) b = static_cast<uint8_t>(rng());
        inputs.push_back(data);
    }
    int checked = 0;
    for (const bool verify : {false, true}) {
        const qulo_op op = c.op(QULO_DECRYPT, verify);
        for (const Bytes &data : inputs) {
            SCOPED_TRACE(testing::Message() << ssize(data) << " bytes, verify " << verify);
            Bytes out(data.size() + 1);
            const int64_t whole =
                qulo_run(&c.key, &op, data.data(), ssize(data), out.data(), ssize(out));
            int64_t status = 1;
            const auto plain = s.decrypt(data, {ssize(data) / 2, ssize(data) - ssize(data) / 2},
                                         verify, &status);
            EXPECT_EQ(status, whole < 0 ? whole : 0);
            if (plain) {
                EXPECT_EQ(*plain, slice(out, 0, static_cast<size_t>(whole)));
            }
            checked += whole == QULO_E_CHECK;
        }
    }
    EXPECT_GT(checked, 3) << "too few verified refusals";
}

TEST(StreamQueries, LengthAndGivenFollowTheUpdatesUntilTheFinish) {
    const Cipher c = cipher_for(kTableHost);
    const qulo_op op = c.op(QULO_ENCRYPT);
    uint8_t text[20] = {}, out[64];
    qulo_encryptor e;
    ASSERT_EQ(qulo_encryptor_init(&e, &c.key, &op, 20), 32);
    // Bytes given (-1: the finish), its result, then length and given after it.
    const std::array<int64_t, 4> steps[] = {
        {0, 0, 20, 0},   {5, 8, 20, 5}, {16, QULO_E_TOO_MUCH, 20, 5},  // refused: no change
        {15, 16, 20, 20}, {-1, 8, QULO_E_STATE, QULO_E_STATE},         // finished
    };
    for (const auto &[n, result, length, given] : steps) {
        SCOPED_TRACE(n);
        EXPECT_EQ(n < 0 ? qulo_encryptor_finish(&e, out, 64)
                        : qulo_encryptor_update(&e, text, n, out, 64),
                  result);
        EXPECT_EQ(qulo_encryptor_length(&e), length);
        EXPECT_EQ(qulo_encryptor_given(&e), given);
    }
    const qulo_encryptor zero{};
    EXPECT_EQ(qulo_encryptor_given(&zero), QULO_E_STATE);
    EXPECT_EQ(qulo_encryptor_length(nullptr), QULO_E_NULL);
    EXPECT_EQ(qulo_encryptor_given(nullptr), QULO_E_NULL);
}

// ---- misuse ----------------------------------------------------------------------

TEST(StreamMisuse, EveryMisuseHasItsOwnCodeAndChangesNothing) {
    const Cipher c = cipher_for(kQq);
    const Bytes table = irregular_table();
    const Bytes text = pattern(20);
    uint8_t out[64];

    // Set-up arguments.
    qulo_encryptor e;
    qulo_decryptor d;
    const qulo_op enc = c.op(QULO_ENCRYPT);
    const qulo_op dec = c.op(QULO_DECRYPT);
    const qulo_op no_direction{3, QULO_BIG_ENDIAN, table.data(), 0};
    const qulo_op no_order{QULO_ENCRYPT, -1, table.data(), 0};
    EXPECT_EQ(qulo_encryptor_init(nullptr, &c.key, &enc, 1), QULO_E_NULL);
    EXPECT_EQ(qulo_encryptor_init(&e, nullptr, &enc, 1), QULO_E_NULL);
    EXPECT_EQ(qulo_encryptor_init(&e, &c.key, nullptr, 1), QULO_E_NULL);
    EXPECT_EQ(qulo_encryptor_init(&e, &c.key, &no_direction, 1), QULO_E_ARGUMENT);
    EXPECT_EQ(qulo_encryptor_init(&e, &c.key, &no_order, 1), QULO_E_ARGUMENT);
    EXPECT_EQ(qulo_encryptor_init(&e, &c.key, &dec, 1), QULO_E_ARGUMENT);
    EXPECT_EQ(qulo_encryptor_init(&e, &c.key, &enc, -1), QULO_E_ARGUMENT);
    EXPECT_EQ(qulo_encryptor_init(&e, &c.key, &enc, QULO_MAX_PLAINTEXT_LEN + 1),
              QULO_E_ARGUMENT);
    EXPECT_EQ(qulo_encryptor_update(&e, text.data(), 1, out, 64), QULO_E_STATE)
        << "a refused set-up leaves no usable context";
    EXPECT_EQ(qulo_encryptor_init(&e, &c.key, &enc, QULO_MAX_PLAINTEXT_LEN),
              qulo_encrypt_len(QULO_MAX_PLAINTEXT_LEN));
    EXPECT_EQ(qulo_decryptor_init(nullptr, &c.key, &dec), QULO_E_NULL);
    EXPECT_EQ(qulo_decryptor_init(&d, &c.key, nullptr), QULO_E_NULL);
    EXPECT_EQ(qulo_decryptor_init(&d, &c.key, &enc), QULO_E_ARGUMENT);

    // Null and never-set-up contexts.
    qulo_encryptor zero_e{};
    qulo_decryptor zero_d{};
    EXPECT_EQ(qulo_encryptor_update_len(nullptr, 1), QULO_E_NULL);
    EXPECT_EQ(qulo_encryptor_update(nullptr, text.data(), 1, out, 64), QULO_E_NULL);
    EXPECT_EQ(qulo_encryptor_finish(nullptr, out, 64), QULO_E_NULL);
    EXPECT_EQ(qulo_decryptor_update_len(nullptr, 1), QULO_E_NULL);
    EXPECT_EQ(qulo_decryptor_update(nullptr, text.data(), 1, out, 64), QULO_E_NULL);
    EXPECT_EQ(qulo_decryptor_finish(nullptr), QULO_E_NULL);
    EXPECT_EQ(qulo_decryptor_given(nullptr), QULO_E_NULL);
    qulo_encryptor_wipe(nullptr);
    qulo_decryptor_wipe(nullptr);
    EXPECT_EQ(qulo_encryptor_update(&zero_e, text.data(), 1, out, 64), QULO_E_STATE);
    EXPECT_EQ(qulo_encryptor_finish(&zero_e, out, 64), QULO_E_STATE);
    EXPECT_EQ(qulo_decryptor_update(&zero_d, text.data(), 1, out, 64), QULO_E_STATE);
    EXPECT_EQ(qulo_decryptor_finish(&zero_d), QULO_E_STATE);
    // A decryptor is not an encryptor.
    ASSERT_EQ(qulo_decryptor_init(&d, &c.key, &dec), 0);
    qulo_encryptor as_e;
    std::memcpy(&as_e, &d, sizeof as_e);
    EXPECT_EQ(qulo_encryptor_update_len(&as_e, 1), QULO_E_STATE);

    // Announced length, output space, overlap, null buffers.
    ASSERT_EQ(qulo_encryptor_init(&e, &c.key, &enc, 20), 32);
    EXPECT_EQ(qulo_encryptor_update_len(&e, 21), QULO_E_TOO_MUCH);
    EXPECT_EQ(qulo_encryptor_update_len(&e, -1), QULO_E_ARGUMENT);
    EXPECT_EQ(qulo_encryptor_update(&e, text.data(), 21, out, 64), QULO_E_TOO_MUCH);
    EXPECT_EQ(qulo_encryptor_update(&e, nullptr, 5, out, 64), QULO_E_NULL);
    EXPECT_EQ(qulo_encryptor_update_len(&e, 5), 8);
    EXPECT_EQ(qulo_encryptor_update(&e, text.data(), 5, out, 7), QULO_E_SPACE);
    EXPECT_EQ(qulo_encryptor_update(&e, text.data(), 5, nullptr, 0), QULO_E_NULL);
    Bytes shared(64);
    std::memcpy(shared.data() + 4, text.data(), 5);
    EXPECT_EQ(qulo_encryptor_update(&e, shared.data() + 4, 5, shared.data(), 60),
              QULO_E_OVERLAP);
    EXPECT_EQ(qulo_encryptor_finish(&e, out, 64), QULO_E_TOO_LITTLE);
    // None of that changed the stream: it still gives the one-message bytes.
    Bytes all;
    for (int64_t at : {0, 5, 12}) {
        const int64_t n = at == 12 ? 8 : at == 0 ? 5 : 7;
        const int64_t w = qulo_encryptor_update(&e, text.data() + at, n, out, 64);
        ASSERT_GE(w, 0);
        all.insert(all.end(), out, out + w);
    }
    EXPECT_EQ(qulo_encryptor_update(&e, text.data(), 1, out, 64), QULO_E_TOO_MUCH);
    EXPECT_EQ(qulo_encryptor_finish(&e, out, 7), QULO_E_SPACE);
    const int64_t w = qulo_encryptor_finish(&e, out, 64);
    ASSERT_EQ(w, 8);
    all.insert(all.end(), out, out + w);
    EXPECT_EQ(all, c.encrypt(text));

    // After the finish, and after a wipe: every call refuses.
    EXPECT_EQ(qulo_encryptor_update(&e, text.data(), 0, out, 64), QULO_E_STATE);
    EXPECT_EQ(qulo_encryptor_finish(&e, out, 64), QULO_E_STATE);
    const qulo_op table_dec{QULO_DECRYPT, QULO_BIG_ENDIAN, table.data(), 0};
    ASSERT_EQ(qulo_decryptor_init(&d, &c.key, &table_dec), 0);
    EXPECT_EQ(qulo_decryptor_update(&d, shared.data() + 2, 16, shared.data(), 64),
              QULO_E_OVERLAP);
    EXPECT_EQ(qulo_decryptor_update(&d, text.data(), 16, out, 2), QULO_E_SPACE);
    EXPECT_EQ(qulo_decryptor_update_len(&d, INT64_MAX), QULO_E_ARGUMENT);
    EXPECT_EQ(qulo_decryptor_given(&d), 0);
    EXPECT_EQ(qulo_decryptor_finish(&d), QULO_E_SHORT);
    EXPECT_EQ(qulo_decryptor_finish(&d), QULO_E_STATE);
    EXPECT_EQ(qulo_decryptor_update(&d, text.data(), 8, out, 64), QULO_E_STATE);
    ASSERT_EQ(qulo_decryptor_init(&d, &c.key, &dec), 0);
    qulo_decryptor_wipe(&d);
    EXPECT_EQ(qulo_decryptor_update_len(&d, 8), QULO_E_STATE);
}

TEST(StreamMisuse, TheFinishWipesTheKeyFromTheContext) {
    const Cipher c = cipher_for(kTableBig);
    qulo_encryptor e;
    const qulo_op op = c.op(QULO_ENCRYPT);
    ASSERT_EQ(qulo_encryptor_init(&e, &c.key, &op, 0), 16);
    uint8_t out[16];
    ASSERT_EQ(qulo_encryptor_finish(&e, out, 16), 16);
    const qulo_encryptor zero{};
    EXPECT_EQ(std::memcmp(&e, &zero, sizeof e), 0);
}

}  // namespace
}  // namespace qulo_test
