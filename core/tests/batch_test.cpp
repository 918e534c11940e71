// The many-messages entry points against the one-message ones, on every
// kernel this CPU runs (the others are skipped, saying why): every message
// must come out exactly as its own one-message call leaves it, result and
// every output byte alike, whatever the mix of lengths, capacities and
// refusals around it.
#include "qulo/batch.h"
#include "qulo/batch_hooks.hpp"
#include "qulo/mode.h"
#include "qulo/tea.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kDirt = 0xA5;  // marks output bytes a call must not touch

enum class Op { encrypt, decrypt };
enum class Sums { standard, table, table_native };

struct Variant {
    Op op;
    Sums sums;
    const char *name;
};

constexpr std::array<Variant, 6> kVariants = {{
    {Op::encrypt, Sums::standard, "encrypt_qq"},
    {Op::decrypt, Sums::standard, "decrypt_qq"},
    {Op::encrypt, Sums::table, "encrypt"},
    {Op::decrypt, Sums::table, "decrypt"},
    {Op::encrypt, Sums::table_native, "encrypt_native_endian"},
    {Op::decrypt, Sums::table_native, "decrypt_native_endian"},
}};

const qulo_key kKey{0x00112233u, 0x44556677u, 0x8899AABBu, 0xCCDDEEFFu};

Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes b(n);
    for (auto &x : b) {
        x = static_cast<uint8_t>(rng());
    }
    return b;
}

// An arbitrary table, so that a kernel reading the wrong sum shows.
const Bytes &table() {
    static const Bytes t = [] {
        std::mt19937 rng(77);
        return random_bytes(rng, 64);
    }();
    return t;
}

int64_t one(const Variant &v, const uint8_t *src, int64_t n, uint8_t *out, int64_t cap) {
    const uint8_t *t = table().data();
    switch (v.sums) {
    case Sums::standard:
        return v.op == Op::encrypt ? qulo_encrypt_qq(&kKey, src, n, out, cap)
                                   : qulo_decrypt_qq(&kKey, src, n, out, cap);
    case Sums::table:
        return v.op == Op::encrypt ? qulo_encrypt(&kKey, t, src, n, out, cap)
                                   : qulo_decrypt(&kKey, t, src, n, out, cap);
    case Sums::table_native:
        return v.op == Op::encrypt ? qulo_encrypt_native_endian(&kKey, t, src, n, out, cap)
                                   : qulo_decrypt_native_endian(&kKey, t, src, n, out, cap);
    }
    return -2;
}

// The descriptor of a variant's operation.
qulo_op op_of(const Variant &v, bool verify) {
    return {v.op == Op::encrypt ? QULO_ENCRYPT : QULO_DECRYPT,
            v.sums == Sums::table_native ? QULO_HOST_ORDER : QULO_BIG_ENDIAN,
            v.sums == Sums::standard ? nullptr : table().data(), verify ? 1 : 0};
}

int64_t many(const Variant &v, int64_t count, const uint8_t *const *src, const int64_t *len,
             uint8_t *const *out, const int64_t *cap, int64_t *result) {
    const uint8_t *t = table().data();
    switch (v.sums) {
    case Sums::standard:
        return v.op == Op::encrypt
                   ? qulo_batch_encrypt_qq(&kKey, count, src, len, out, cap, result)
                   : qulo_batch_decrypt_qq(&kKey, count, src, len, out, cap, result);
    case Sums::table:
        return v.op == Op::encrypt
                   ? qulo_batch_encrypt(&kKey, t, count, src, len, out, cap, result)
                   : qulo_batch_decrypt(&kKey, t, count, src, len, out, cap, result);
    case Sums::table_native:
        return v.op == Op::encrypt
                   ? qulo_batch_encrypt_native_endian(&kKey, t, count, src, len, out, cap, result)
                   : qulo_batch_decrypt_native_endian(&kKey, t, count, src, len, out, cap,
                                                      result);
    }
    return -2;
}

// One message of a batch: its source, and the capacity of its output
// relative to what the operation needs.
struct Message {
    Bytes src;
    int64_t cap_delta = 0;  // capacity = needed + cap_delta
    bool null_src = false;  // pass NULL (only with an empty source)
};

// Runs the messages one by one and as one batch, on outputs filled with
// kDirt, and compares everything. Returns the batch call's value. With an
// operation, through qulo_run and qulo_batch_run (statuses), or when
// `placed`, qulo_batch_run_placed with each plaintext then moved to the
// front as qulo_run moves it; without, through the entry points named after
// the variant (-1 for every refusal).
int64_t expect_same_as_one_by_one(const Variant &v, const std::vector<Message> &msgs,
                                  const std::optional<qulo_op> &op = std::nullopt,
                                  bool placed = false) {
    const size_t count = msgs.size();
    std::vector<Bytes> want(count), got(count);
    std::vector<int64_t> want_result(count), got_result(count, 12345);
    std::vector<const uint8_t *> src(count);
    std::vector<int64_t> len(count), cap(count);
    std::vector<uint8_t *> out(count);
    int64_t refused = 0;
    for (size_t i = 0; i < count; ++i) {
        const Message &m = msgs[i];
        len[i] = static_cast<int64_t>(m.src.size());
        const int64_t need = v.op == Op::encrypt ? qulo_encrypt_len(len[i]) : len[i];
        cap[i] = std::max<int64_t>(0, need + m.cap_delta);
        want[i].assign(static_cast<size_t>(cap[i]) + 8, kDirt);  // 8 guard bytes
        got[i] = want[i];
        src[i] = m.null_src ? nullptr : m.src.data();
        want_result[i] = op ? qulo_run(&kKey, &*op, src[i], len[i], want[i].data(), cap[i])
                            : one(v, src[i], len[i], want[i].data(), cap[i]);
        refused += want_result[i] < 0 ? 1 : 0;
        out[i] = got[i].data();
    }
    const auto n = static_cast<int64_t>(count);
    std::vector<int64_t> start(count, -1);
    const int64_t r =
        placed ? qulo_batch_run_placed(&kKey, &*op, n, src.data(), len.data(), out.data(),
                                       cap.data(), got_result.data(), start.data())
        : op   ? qulo_batch_run(&kKey, &*op, n, src.data(), len.data(), out.data(), cap.data(),
                                got_result.data())
               : many(v, n, src.data(), len.data(), out.data(), cap.data(), got_result.data());
    EXPECT_EQ(r, refused);
    for (size_t i = 0; placed && i < count; ++i) {
        if (got_result[i] >= 0) {
            const int64_t at = start[i];
            EXPECT_TRUE(v.op == Op::encrypt ? at == 0 : at == 0 || (at >= 3 && at <= 10)) << at;
            std::memmove(out[i], out[i] + at, static_cast<size_t>(got_result[i]));
        }
    }
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(got_result[i], want_result[i]) << "message " << i << " of " << len[i] << " bytes";
        // Placed, a failed check leaves the blocks as they were decrypted.
        if (!placed || got_result[i] != QULO_E_CHECK) {
            EXPECT_EQ(got[i], want[i]) << "message " << i << " of " << len[i] << " bytes";
        }
    }
    return r;
}

// Ciphertexts of the variant's own encryption for the given plaintexts.
std::vector<Message> ciphertexts_of(const Variant &v, const std::vector<Message> &plain) {
    const Variant enc{Op::encrypt, v.sums, ""};
    std::vector<Message> out;
    for (const Message &m : plain) {
        const auto n = static_cast<int64_t>(m.src.size());
        Bytes c(static_cast<size_t>(qulo_encrypt_len(n)));
        EXPECT_EQ(one(enc, m.src.data(), n, c.data(), static_cast<int64_t>(c.size())),
                  static_cast<int64_t>(c.size()));
        out.push_back({c, m.cap_delta, false});
    }
    return out;
}

std::vector<Message> mixed_plaintexts(unsigned seed, size_t count) {
    std::mt19937 rng(seed);
    // Around a block, the lengths whose padding needs 0..7 fill bytes, on
    // either side of each change in the pieces a short plaintext is laid
    // out in, and around 512 bytes, where a plaintext stops being laid out
    // whole first.
    const int64_t lengths[] = {0,   1,   5,   6,   7,   8,   9,    14,   15,  16,
                               17,  22,  23,  31,  32,  63,  64,   65,   96,  97,
                               100, 128, 129, 255, 256, 502, 503,  504,  510, 511,
                               512, 513, 520, 521, 1000, 1024, 4099};
    std::vector<Message> msgs;
    for (size_t i = 0; i < count; ++i) {
        const int64_t n = i < std::size(lengths) ? lengths[i] : static_cast<int64_t>(rng() % 300);
        // Mostly exact capacities, some roomy ones (encryption clears them).
        msgs.push_back({random_bytes(rng, static_cast<size_t>(n)), i % 5 == 0 ? 9 : 0, false});
    }
    return msgs;
}

struct Case {
    std::string kernel;
    Variant variant;
};

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
    return info.param.kernel + "_" + info.param.variant.name;
}

// Every kernel with every variant, or only those of one direction.
std::vector<Case> cases_of(std::optional<Op> only = std::nullopt) {
    std::vector<Case> cases;
    for (size_t i = 0; const char *k = qulo::batch::known(i); ++i) {
        for (const Variant &v : kVariants) {
            if (!only || v.op == *only) {
                cases.push_back({k, v});
            }
        }
    }
    return cases;
}

class BatchTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        const std::string &k = GetParam().kernel;
        if (!qulo::batch::supported(k.c_str())) {
            GTEST_SKIP() << "this CPU cannot run the " << k << " kernel";
        }
        ASSERT_TRUE(qulo::batch::select(k.c_str()));
        ASSERT_STREQ(qulo_batch_kernel(), k.c_str());
        // The wider form wherever the kernel has one, whether or not this
        // CPU would choose it, so that it is tested on every CPU that runs it.
        qulo::batch::select_wide(1);
    }
    void TearDown() override {
        qulo::batch::select(nullptr);
        qulo::batch::select_wide(-1);
    }

    const Variant &variant() const { return GetParam().variant; }
    bool encrypting() const { return variant().op == Op::encrypt; }

    // mixed_plaintexts as this variant takes them.
    std::vector<Message> mixed_messages(unsigned seed, size_t count) const {
        auto msgs = mixed_plaintexts(seed, count);
        return encrypting() ? msgs : ciphertexts_of(variant(), msgs);
    }
};

class BatchEncryptTest : public BatchTest {};
class BatchDecryptTest : public BatchTest {};

INSTANTIATE_TEST_SUITE_P(Kernels, BatchTest, ::testing::ValuesIn(cases_of()), case_name);
INSTANTIATE_TEST_SUITE_P(Kernels, BatchEncryptTest, ::testing::ValuesIn(cases_of(Op::encrypt)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Kernels, BatchDecryptTest, ::testing::ValuesIn(cases_of(Op::decrypt)),
                         case_name);

TEST_P(BatchTest, MixedLengthsMatchOneByOne) {
    // More messages than any kernel has lanes, so lanes are refilled.
    auto msgs = mixed_plaintexts(1, 150);
    if (!encrypting()) {
        msgs = ciphertexts_of(variant(), msgs);
    }
    EXPECT_EQ(expect_same_as_one_by_one(variant(), msgs), 0);
    EXPECT_EQ(expect_same_as_one_by_one(variant(), msgs, op_of(variant(), false), true), 0);
}

TEST_P(BatchTest, LongAndShortMessagesShareTheLanes) {
    // A few long messages among many short ones: the short ones pass
    // through the lanes beside the long ones.
    std::mt19937 rng(2);
    std::vector<Message> msgs;
    for (int i = 0; i < 200; ++i) {
        const size_t n = i % 50 == 0 ? 20000 : rng() % 40;
        msgs.push_back({random_bytes(rng, n), 0, false});
    }
    if (!encrypting()) {
        msgs = ciphertexts_of(variant(), msgs);
    }
    EXPECT_EQ(expect_same_as_one_by_one(variant(), msgs), 0);
}

// Messages of the given plaintext lengths, as the variant takes them
// (ciphertexts of them for a decryption), from a seeded generator.
std::vector<Message> messages_of(const Variant &v, const std::vector<int64_t> &lengths,
                                 unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<Message> msgs;
    for (const int64_t n : lengths) {
        msgs.push_back({random_bytes(rng, static_cast<size_t>(n)), 0, false});
    }
    return v.op == Op::encrypt ? msgs : ciphertexts_of(v, msgs);
}

TEST_P(BatchTest, CountsAroundTheWideFormMatchOneByOne) {
    // The AVX-512 kernel runs 128 lanes from 128 pending messages on, 64
    // below; what counts is the messages left pending once refusals by
    // length are settled (three here, at the front, the middle and the end).
    std::mt19937 rng(8);
    for (const size_t count : {size_t{127}, size_t{128}, size_t{129}, size_t{130}, size_t{131}}) {
        for (const bool refusals : {false, true}) {
            SCOPED_TRACE(std::to_string(count) + (refusals ? " with three refused" : ""));
            std::vector<int64_t> lengths;
            for (size_t i = 0; i < count; ++i) {
                lengths.push_back(static_cast<int64_t>(rng() % 200));
            }
            auto msgs = messages_of(variant(), lengths, static_cast<unsigned>(count));
            if (refusals) {
                for (const size_t i : {size_t{0}, count / 2, count - 1}) {
                    if (encrypting()) {
                        msgs[i].cap_delta = -1;
                    } else {
                        msgs[i].src.resize(8);  // too short
                    }
                }
            }
            EXPECT_EQ(expect_same_as_one_by_one(variant(), msgs), refusals ? 3 : 0);
        }
    }
}

TEST_P(BatchTest, EveryOrderOfLengthsMatchesOneByOne) {
    // Orders the lanes take differently: windows of up to 256 messages,
    // each longest first unless all its messages have one size; messages
    // of two and three blocks, whose lane moves its output side on in the
    // same pass as it takes the next; long plaintexts, read in three runs,
    // with every ending of their last run; sizes of every class of the sort.
    auto lengths = [](size_t count, auto f) {
        std::vector<int64_t> v;
        for (size_t i = 0; i < count; ++i) {
            v.push_back(f(i));
        }
        return v;
    };
    std::mt19937 rng(9);
    const std::pair<const char *, std::vector<int64_t>> orders[] = {
        {"rising", lengths(300, [](size_t i) { return static_cast<int64_t>(i * 5); })},
        {"falling", lengths(300, [](size_t i) { return static_cast<int64_t>(1500 - i * 5); })},
        {"one long last", lengths(300, [](size_t i) { return i == 299 ? 20000 : 40; })},
        {"one long first", lengths(300, [](size_t i) { return i == 0 ? 20000 : 40; })},
        {"two and three blocks", lengths(400, [&](size_t) { return static_cast<int64_t>(rng() % 15); })},
        {"long edges", lengths(300, [](size_t i) { return static_cast<int64_t>(513 + i % 24); })},
        {"every size class", lengths(300, [&](size_t) {
             const int64_t top = int64_t{1} << (rng() % 16);
             return static_cast<int64_t>(rng() % static_cast<uint32_t>(top));
         })},
        // Windows of 256 counted back from the end: 188 messages of many
        // sizes, 256 of one, 256 of many.
        {"a window of one size between two of many", lengths(700, [&](size_t i) {
             return i >= 188 && i < 444 ? 40 : static_cast<int64_t>(rng() % 700);
         })},
    };
    for (const auto &[name, order] : orders) {
        SCOPED_TRACE(name);
        const auto msgs = messages_of(variant(), order, 10);
        EXPECT_EQ(expect_same_as_one_by_one(variant(), msgs), 0);
        EXPECT_EQ(expect_same_as_one_by_one(variant(), msgs, op_of(variant(), true), true), 0);
    }
}

TEST_P(BatchTest, RefusalsAmongGoodMessagesAreRefusedAlone) {
    std::mt19937 rng(3);
    auto msgs = mixed_plaintexts(4, 40);
    if (encrypting()) {
        // Capacities one short and none at all.
        msgs[3].cap_delta = -1;
        msgs[10].cap_delta = -1;
        msgs[11].cap_delta = -1000;
    } else {
        msgs = ciphertexts_of(variant(), msgs);
        msgs[3].cap_delta = -1;                   // capacity below the length
        msgs[7].src.pop_back();                   // not a multiple of 8
        msgs[8].src.resize(8);                    // too short
        msgs[9].src.clear();                      // empty
        msgs.push_back({random_bytes(rng, 15)});  // too short
        // Only a verified decryption refuses these: damaged, cut at a block
        // boundary, or as if under another key.
        msgs[20].src.back() ^= 1;
        msgs[21].src.resize(msgs[21].src.size() - 8);
        for (size_t i = 30; i < 40; ++i) {
            msgs[i].src = random_bytes(rng, msgs[i].src.size());
        }
    }
    EXPECT_GT(expect_same_as_one_by_one(variant(), msgs), 0);
    // Through the descriptor each refusal has its status, verified or not;
    // also with the standard sums and host-order blocks, which no named
    // entry point runs.
    for (const bool verify : {false, true}) {
        SCOPED_TRACE(verify ? "verified" : "not verified");
        qulo_op op = op_of(variant(), verify);
        expect_same_as_one_by_one(variant(), msgs, op);
        expect_same_as_one_by_one(variant(), msgs, op, true);
        op.order = QULO_HOST_ORDER;
        op.sumtable = nullptr;
        expect_same_as_one_by_one(variant(), msgs, op);
    }
}

TEST_P(BatchDecryptTest, SixteenByteCiphertextsClaimingTooMuchFillAreRefusedUntouched) {
    // Random 16-byte texts: about one in eight decrypts to fill count 7,
    // which the first block decides before anything is written.
    std::mt19937 rng(5);
    std::vector<Message> msgs;
    for (int i = 0; i < 300; ++i) {
        msgs.push_back({random_bytes(rng, 16), i % 3 == 0 ? 8 : 0, false});
    }
    const int64_t refused = expect_same_as_one_by_one(variant(), msgs);
    EXPECT_GT(refused, 10);
    EXPECT_LT(refused, 100);
    // Through the descriptor they are QULO_E_FILL, the same messages.
    EXPECT_EQ(expect_same_as_one_by_one(variant(), msgs, op_of(variant(), false)), refused);
}

TEST_P(BatchEncryptTest, EmptySourceMayBeNull) {
    std::vector<Message> msgs = {{{}, 0, true}, {{1, 2, 3}, 0, false}, {{}, 4, true}};
    EXPECT_EQ(expect_same_as_one_by_one(variant(), msgs), 0);
}

TEST_P(BatchDecryptTest, DecryptionInPlaceMatchesOneByOne) {
    auto msgs = ciphertexts_of(variant(), mixed_plaintexts(6, 70));
    std::vector<Bytes> want, got;
    std::vector<const uint8_t *> src;
    std::vector<uint8_t *> out;
    std::vector<int64_t> len, cap, want_result, got_result(msgs.size());
    for (auto &m : msgs) {
        want.push_back(m.src);
        got.push_back(m.src);
        len.push_back(static_cast<int64_t>(m.src.size()));
        cap.push_back(static_cast<int64_t>(m.src.size()));
        want_result.push_back(
            one(variant(), want.back().data(), len.back(), want.back().data(), cap.back()));
    }
    for (auto &g : got) {
        src.push_back(g.data());
        out.push_back(g.data());
    }
    EXPECT_EQ(many(variant(), static_cast<int64_t>(msgs.size()), src.data(), len.data(),
                   out.data(), cap.data(), got_result.data()),
              0);
    EXPECT_EQ(got_result, want_result);
    EXPECT_EQ(got, want);
}

TEST_P(BatchTest, SourceOverlappingItsOwnOutputMatchesOneByOne) {
    // Allowed for one message (an encryption's source inside its output, a
    // decryption shifted by one block); the batch must agree.
    std::mt19937 rng(7);
    const Bytes text = random_bytes(rng, 50);
    Bytes seed = text;
    if (!encrypting()) {
        seed.assign(static_cast<size_t>(qulo_encrypt_len(50)), 0);
        one({Op::encrypt, variant().sums, ""}, text.data(), 50, seed.data(),
            static_cast<int64_t>(seed.size()));
    }
    const auto n = static_cast<int64_t>(seed.size());
    const int64_t cap = encrypting() ? qulo_encrypt_len(n) : n;
    for (const int64_t shift : {int64_t{3}, int64_t{8}, int64_t{-8}}) {
        Bytes want(static_cast<size_t>(cap + 16), kDirt);
        std::memcpy(want.data() + 8 + shift, seed.data(), seed.size());
        Bytes got = want;
        const int64_t r1 = one(variant(), want.data() + 8 + shift, n, want.data() + 8, cap);
        const uint8_t *src = got.data() + 8 + shift;
        uint8_t *out = got.data() + 8;
        int64_t r2 = 0;
        many(variant(), 1, &src, &n, &out, &cap, &r2);
        EXPECT_EQ(r2, r1) << "shift " << shift;
        EXPECT_EQ(got, want) << "shift " << shift;
    }
}

// The stack of a thread of its own as fn() leaves it: the thread runs on a
// painted stack of kPaintedStack bytes.
constexpr size_t kPaintedStack = size_t{256} << 10;
constexpr uint8_t kPaint = 0x5A;

template <class Fn>
Bytes painted_stack_after(Fn &fn) {
    Bytes stack(kPaintedStack + 4096);
    const auto at = reinterpret_cast<uintptr_t>(stack.data());
    uint8_t *base = stack.data() + (4096 - at % 4096) % 4096;
    std::memset(base, kPaint, kPaintedStack);
    pthread_attr_t attr;
    pthread_t thread;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, base, kPaintedStack);
    auto run = [](void *f) -> void * {
        (*static_cast<Fn *>(f))();
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attr, run, &fn), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return Bytes(base, base + kPaintedStack);
}

// How deep fn() takes such a stack: the lowest byte that changed marks the
// depth. The same for an empty function is taken off (the thread's own
// start-up, and the thread record that the C library keeps at the top of
// such a stack).
template <class Fn>
size_t stack_depth_of(Fn &fn) {
    auto depth = [](const Bytes &stack) {
        size_t untouched = 0;
        while (untouched < stack.size() && stack[untouched] == kPaint) {
            ++untouched;
        }
        return stack.size() - untouched;
    };
    auto nothing = [] {};
    return depth(painted_stack_after(fn)) - depth(painted_stack_after(nothing));
}

// A batch call over its own messages: their pointers and capacities, and
// its results.
struct Call {
    std::vector<Message> msgs;
    std::vector<const uint8_t *> src;
    std::vector<int64_t> len, cap, result;
    std::vector<Bytes> outs;
    std::vector<uint8_t *> out;

    Call(std::vector<Message> messages, bool encrypting) : msgs(std::move(messages)) {
        for (const Message &m : msgs) {
            src.push_back(m.src.data());
            len.push_back(static_cast<int64_t>(m.src.size()));
            cap.push_back(encrypting ? qulo_encrypt_len(len.back()) : len.back());
            outs.emplace_back(static_cast<size_t>(cap.back()));
        }
        for (Bytes &o : outs) {
            out.push_back(o.data());
        }
        result.resize(msgs.size());
    }

    int64_t run(const Variant &v) {
        return many(v, static_cast<int64_t>(src.size()), src.data(), len.data(), out.data(),
                    cap.data(), result.data());
    }
};

TEST_P(BatchTest, TheKernelStaysWellInsideTheSmallestThreadStack) {
    // Python's smallest thread stack is 32 KiB (3.13); the interpreter's own
    // frames below the call need their share of it.
    constexpr size_t kBudget = size_t{16} << 10;
    Call batch(mixed_messages(4, 200), encrypting());
    int64_t refused = -1;
    auto call = [&] { refused = batch.run(variant()); };
    const size_t depth = stack_depth_of(call);
    EXPECT_EQ(refused, 0);
    RecordProperty("stack_bytes", static_cast<int>(depth));
#if defined(__SANITIZE_ADDRESS__)
    // Instrumented frames carry red zones: measured, not held to the budget.
    std::printf("%s: %zu bytes of stack (instrumented)\n", GetParam().kernel.c_str(), depth);
#else
    EXPECT_LE(depth, kBudget) << GetParam().kernel;
#endif
}

TEST_P(BatchTest, NoCopyOfTheKeyOutlivesTheCallOnTheStack) {
    // The vector kernels broadcast each key word into a vector. The state's
    // copy is cleared when the call ends; any other, a vector spilled or a
    // group of them copied into the frame, would stay on the stack. Sought
    // as four copies of a key word in a row (the smallest vector), in more
    // messages than the widest form has lanes.
#if defined(__SANITIZE_ADDRESS__)
    // Instrumented code keeps frames of its own and spills what the
    // optimized kernels hold in registers: it says nothing of them.
    GTEST_SKIP() << "the frames of instrumented code are not the kernels'";
#endif
    Call batch(mixed_messages(5, 300), encrypting());
    int64_t refused = -1;
    auto call = [&] { refused = batch.run(variant()); };
    const Bytes stack = painted_stack_after(call);
    EXPECT_EQ(refused, 0);
    for (const uint32_t word : {kKey.k0, kKey.k1, kKey.k2, kKey.k3}) {
        const uint32_t run[4] = {word, word, word, word};
        const auto at = std::search(stack.begin(), stack.end(), reinterpret_cast<const uint8_t *>(run),
                                    reinterpret_cast<const uint8_t *>(run) + sizeof run);
        EXPECT_EQ(at, stack.end()) << "key word " << std::hex << word << " at stack byte "
                                   << std::dec << (at - stack.begin());
    }
}

TEST_P(BatchTest, NoMessagesIsNothingToDo) {
    int64_t result = 7;
    EXPECT_EQ(many(variant(), 0, nullptr, nullptr, nullptr, nullptr, &result), 0);
    EXPECT_EQ(result, 7);
}

TEST_P(BatchTest, ARefusedCallWritesNothingAndSaysWhyThroughTheDescriptor) {
    int64_t result = 7;
    EXPECT_EQ(many(variant(), -1, nullptr, nullptr, nullptr, nullptr, &result), -1);
    const qulo_op op = op_of(variant(), false);
    const qulo_op no_order{op.direction, 2, nullptr, 0};
    const qulo_op no_direction{5, op.order, nullptr, 0};
    const std::tuple<const qulo_op *, int64_t, int64_t> calls[] = {
        {&op, -1, QULO_E_ARGUMENT},       {nullptr, 0, QULO_E_NULL},
        {&no_order, 0, QULO_E_ARGUMENT},  {&no_direction, 0, QULO_E_ARGUMENT},
        {&op, 0, 0}};
    for (const auto &[call_op, count, status] : calls) {
        EXPECT_EQ(qulo_batch_run(&kKey, call_op, count, nullptr, nullptr, nullptr, nullptr,
                                 &result),
                  status);
    }
    EXPECT_EQ(result, 7);
}

// ---- the kernel choice -------------------------------------------------------

TEST(BatchKernel, TheScalarKernelRunsEverywhereAndUnknownNamesNowhere) {
    EXPECT_TRUE(qulo::batch::supported("scalar"));
    EXPECT_FALSE(qulo::batch::supported("avx1024"));
    EXPECT_FALSE(qulo::batch::supported(""));
    EXPECT_FALSE(qulo::batch::supported(nullptr));
    // The C exports for the Python module say the same.
    EXPECT_EQ(qulo_batch_kernel_supported("scalar"), 1);
    EXPECT_EQ(qulo_batch_kernel_supported("avx1024"), 0);
}

// The vector kernels are those of the architecture compiled for, the
// portable one closes the list everywhere; AArch64's NEON needs no feature
// check, as every such CPU runs it.
TEST(BatchKernel, TheBuildHasTheKernelsOfItsArchitecture) {
#if defined(__x86_64__)
    const std::vector<std::string> expected = {"avx512", "avx2", "scalar"};
#elif defined(__aarch64__)
    const std::vector<std::string> expected = {"neon", "scalar"};
    EXPECT_TRUE(qulo::batch::supported("neon"));
#else
    const std::vector<std::string> expected = {"scalar"};
#endif
    std::vector<std::string> known;
    for (size_t i = 0; const char *k = qulo::batch::known(i); ++i) {
        known.emplace_back(k);
    }
    EXPECT_EQ(known, expected);
}

TEST(BatchKernel, SelectionNamesTheKernelInUseUntilCleared) {
    const std::string startup = qulo_batch_kernel();
    ASSERT_TRUE(qulo::batch::select("scalar"));
    EXPECT_STREQ(qulo_batch_kernel(), "scalar");
    char why[8] = "x";
    EXPECT_EQ(qulo_batch_kernel_error(why, sizeof why), 0u);
    EXPECT_STREQ(why, "");
    // A refused selection leaves the choice as it was.
    EXPECT_FALSE(qulo::batch::select("sse9"));
    EXPECT_EQ(qulo_batch_select_kernel("sse9"), -1);
    EXPECT_STREQ(qulo_batch_kernel(), "scalar");
    ASSERT_EQ(qulo_batch_select_kernel(nullptr), 0);
    EXPECT_EQ(qulo_batch_kernel(), startup);
}

TEST(BatchKernel, WithoutTheVariableTheFastestKernelIsChosen) {
    if (std::getenv("QULO_BATCH_KERNEL") != nullptr) {
        GTEST_SKIP() << "QULO_BATCH_KERNEL is set";
    }
    size_t i = 0;
    while (!qulo::batch::supported(qulo::batch::known(i))) {
        ++i;
    }
    EXPECT_STREQ(qulo_batch_kernel(), qulo::batch::known(i));
    EXPECT_EQ(qulo_batch_kernel_known(i), qulo::batch::known(i));
}

// ---- the start-up choice under QULO_BATCH_KERNEL, seen from a fresh process ----

// kernel_probe's lines under QULO_BATCH_KERNEL=value with an error buffer
// of `size` bytes: the kernel in use, the length the error call returned,
// what it wrote.
std::string probe(const std::string &value, size_t size) {
    setenv("QULO_BATCH_KERNEL", value.c_str(), 1);
    FILE *f = popen((QULO_KERNEL_PROBE " " + std::to_string(size)).c_str(), "r");
    unsetenv("QULO_BATCH_KERNEL");
    std::string out;
    char buf[512];
    for (size_t n; f != nullptr && (n = fread(buf, 1, sizeof buf, f)) > 0;) {
        out.append(buf, n);
    }
    EXPECT_TRUE(f != nullptr && pclose(f) == 0) << out;
    return out;
}

// The kernels this build knows, or those this CPU runs, as "a, b".
std::string names(bool runnable_only) {
    std::string list;
    for (size_t i = 0; const char *k = qulo::batch::known(i); ++i) {
        if (!runnable_only || qulo::batch::supported(k)) {
            list += (list.empty() ? "" : ", ") + std::string(k);
        }
    }
    return list;
}

TEST(BatchKernelError, TheSentenceIsAsciiWrittenAsSnprintfWritesAndEmptyWhenAKernelRuns) {
    const std::string euro = "\xe2\x82\xac";
    std::string euros;
    for (int i = 0; i < 10; ++i) euros += euro;
    struct Row {
        std::string value;
        size_t size;
        const char *shown;  // the value as the sentence shows it; null: a kernel runs
    };
    const Row rows[] = {
        {"sse9", 256, "sse9"},
        {"sse9", 10, "sse9"},  // cut, the whole length returned
        {"sse9", 1, "sse9"},
        {"sse9", 0, "sse9"},   // nothing written
        {"a\\b\x01\x7f", 256, "a\\\\b\\x01\\x7f"},
        {std::string(32, 'x'), 256, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},  // just fits
        {std::string(33, 'x'), 256, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxx..."},
        // Ten three-byte characters, 12 characters each escaped: seven bytes.
        {euros, 256, "\\xe2\\x82\\xac\\xe2\\x82\\xac\\xe2..."},
        {"scalar", 16, nullptr},
    };
    for (const Row &c : rows) {
        SCOPED_TRACE(c.value + " into " + std::to_string(c.size));
        const std::string whole =
            c.shown == nullptr ? ""
                               : "QULO_BATCH_KERNEL=" + std::string(c.shown) +
                                     " names no kernel (known: " + names(false) +
                                     "; this CPU runs: " + names(true) + ")";
        const std::string text = c.size == 0 ? "(untouched)" : whole.substr(0, c.size - 1);
        const std::string kernel = c.shown == nullptr ? c.value : "(none)";
        EXPECT_EQ(probe(c.value, c.size),
                  kernel + "\n" + std::to_string(whole.size()) + "\n" + text);
    }
    // A kernel this build has but this CPU cannot run.
    for (size_t i = 0; const char *k = qulo::batch::known(i); ++i) {
        if (!qulo::batch::supported(k)) {
            EXPECT_NE(probe(k, 256).find("QULO_BATCH_KERNEL=" + std::string(k) +
                                         " names a kernel this CPU cannot run (this CPU runs: " +
                                         names(true) + ")"),
                      std::string::npos);
        }
    }
}

}  // namespace
