// The qq mode in chunks: the chaining state, the bytes of an unfinished
// block and (for decryption) the bytes held back for the tail live in the
// caller's context between calls.
//
// Each update dispatches once on the operation (qulo/operation.hpp) into a
// loop instantiated for its sums and byte order, which keeps the key words,
// the sums and the chaining state in registers exactly like the one-message
// driver; only the first and last few bytes of a chunk take a slower path.

#include "qulo/stream.h"
#include "qulo/block.hpp"
#include "qulo/length_rule.hpp"
#include "qulo/mode.h"
#include "qulo/operation.hpp"
#include "qulo/secret.hpp"
#include "qulo/ranges.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

namespace {

using namespace qulo;

// Once this many bytes are decrypted, the emitted end is always 7 bytes
// behind: the header and fill (at most 10 bytes) lie wholly behind us.
constexpr int64_t kSteady = 24;

constexpr uint32_t kEncrypting = 0x51454e43u;
constexpr uint32_t kDecrypting = 0x51444543u;

struct State {
    uint32_t magic;
    Operation op;
    Words key;
    Sums sums;  // the operation's sums, also when they are the standard ones
    Block prev_c;
    Block prev_x;
    // Encryption: the announced plaintext length.
    int64_t length;
    // Encryption: plaintext bytes still to come. Decryption: bytes decrypted.
    int64_t count;
    // Decryption: padded-plaintext position up to which plaintext went out;
    // meaningless before the first block (the fill count is not known).
    int64_t emitted;
    // Encryption: padded bytes waiting for a whole block (the header and
    // fill at first, up to 10 bytes). Decryption: a partial ciphertext block.
    uint8_t buf[16];
    // Decryption: the last decrypted block, which holds every decrypted
    // byte not yet emitted.
    uint8_t tail[8];
    uint32_t buffered;
    uint32_t unused;
};

static_assert(sizeof(State) <= sizeof(qulo_encryptor), "context storage too small");
static_assert(sizeof(State) <= sizeof(qulo_decryptor), "context storage too small");
static_assert(alignof(State) <= alignof(qulo_encryptor), "context storage misaligned");

template <class Ctx>
constexpr uint32_t kMagic = std::is_same_v<Ctx, qulo_encryptor> ? kEncrypting : kDecrypting;

// The storage is the caller's byte array, which provides storage for the
// State (an implicit-lifetime aggregate) laid over it.
template <class Ctx>
State *state_of(Ctx *ctx) {
    return reinterpret_cast<State *>(ctx->opaque_.bytes_);
}
template <class Ctx>
const State *state_of(const Ctx *ctx) {
    return reinterpret_cast<const State *>(ctx->opaque_.bytes_);
}

// Clears the whole storage, not just the State in it, so that a context is
// fully defined after any call.
template <class Ctx>
void wipe(Ctx *ctx) noexcept {
    qulo_wipe(ctx->opaque_.bytes_, sizeof ctx->opaque_.bytes_);
}

// f(state) for a context set up for its direction and not finished, or the
// code saying why there is none.
template <class Ctx, class F>
int64_t with_live(Ctx *ctx, F &&f) {
    if (ctx == nullptr) {
        return QULO_E_NULL;
    }
    auto *s = state_of(ctx);
    if (s->magic != kMagic<std::remove_const_t<Ctx>>) {
        return QULO_E_STATE;
    }
    return f(*s);
}

int64_t setup(State *s, Dir dir, const qulo_key *key, const qulo_op *op) {
    if (key == nullptr || op == nullptr) {
        return QULO_E_NULL;
    }
    const std::optional<Operation> operation = read_op(*op);
    if (!operation || operation->dir != dir) {
        return QULO_E_ARGUMENT;
    }
    s->magic = dir == Dir::encrypt ? kEncrypting : kDecrypting;
    s->op = *operation;
    s->key = words_of(key);
    s->sums = sums_of(*op);
    return 0;
}

// Calls f.template operator()<O>(sums) for the context's operation, with the
// standard sums as the compile-time constants so that their loop folds them
// into the instructions.
template <Dir D, class F>
[[gnu::always_inline]] inline int64_t with_sums(const State &s, F &&f) {
    return dispatch_forms<D>(s.op, [&]<Dir, Order O, bool Std>() {
        if constexpr (Std) {
            return f.template operator()<O>(kStandardSums);
        } else {
            return f.template operator()<O>(s.sums);
        }
    });
}

// ---- encryption ------------------------------------------------------------

template <Order O>
[[gnu::always_inline]] inline void encrypt_run(State &s, const Sums &sums, const uint8_t *src,
                                               uint8_t *out, int64_t blocks) {
    const Secret<Words> k(s.key);
    Block prev_c = s.prev_c;
    Block prev_x = s.prev_x;
    for (int64_t i = 0; i < blocks; ++i) {
        const Block x = load_block<O>(src + i * kBlock) ^ prev_c;
        const Block c = encrypt_block(*k, sums, x) ^ prev_x;
        store_block<O>(out + i * kBlock, c);
        prev_c = c;
        prev_x = x;
    }
    s.prev_c = prev_c;
    s.prev_x = prev_x;
}

int64_t encrypt_update_len(const State &s, int64_t n) {
    if (n < 0) {
        return QULO_E_ARGUMENT;
    }
    if (n > s.count) {
        return QULO_E_TOO_MUCH;
    }
    return (static_cast<int64_t>(s.buffered) + n) / kBlock * kBlock;
}

template <Order O>
[[gnu::always_inline]] inline int64_t encrypt_update(State &s, const Sums &sums,
                                                     const uint8_t *src, int64_t n,
                                                     uint8_t *out) {
    int64_t written = 0;
    // The header and fill may fill a whole block before any plaintext.
    if (s.buffered >= kBlock) {
        encrypt_run<O>(s, sums, s.buf, out, 1);
        s.buffered -= kBlock;
        std::memmove(s.buf, s.buf + kBlock, s.buffered);
        written = kBlock;
    }
    s.count -= n;
    if (s.buffered + n < kBlock) {
        if (n > 0) {
            std::memcpy(s.buf + s.buffered, src, static_cast<size_t>(n));
        }
        s.buffered += static_cast<uint32_t>(n);
        return written;
    }
    if (s.buffered > 0) {
        const int64_t take = kBlock - s.buffered;
        std::memcpy(s.buf + s.buffered, src, static_cast<size_t>(take));
        encrypt_run<O>(s, sums, s.buf, out + written, 1);
        written += kBlock;
        src += take;
        n -= take;
        s.buffered = 0;
    }
    const int64_t blocks = n / kBlock;
    encrypt_run<O>(s, sums, src, out + written, blocks);
    written += blocks * kBlock;
    const int64_t rest = n - blocks * kBlock;
    if (rest > 0) {
        std::memcpy(s.buf, src + blocks * kBlock, static_cast<size_t>(rest));
    }
    s.buffered = static_cast<uint32_t>(rest);
    return written;
}

// ---- decryption ------------------------------------------------------------

int64_t decrypt_update_len(const State &s, int64_t n) {
    if (n < 0 || n > INT64_MAX - s.count - 2 * kMinCiphertext) {
        return QULO_E_ARGUMENT;
    }
    const int64_t decrypted = s.count + (s.buffered + n) / kBlock * kBlock;
    if (decrypted == s.count) {
        return 0;
    }
    // Before the first block the fill count is unknown; it is at least 0,
    // so plaintext starts at position 3 or later.
    const int64_t from = s.count == 0 ? 3 : s.emitted;
    const int64_t to = decrypted - kTrailer;
    return to > from ? to - from : 0;
}

// One block the slow way: decrypts it, learns the fill count from the
// first, and emits every byte that is now certain. Used for at most the
// first three blocks of a stream and the block that completes a partial one.
template <Order O>
[[gnu::always_inline]] inline int64_t decrypt_step(State &s, const Sums &sums,
                                                   const uint8_t *block, uint8_t *out) {
    const Block c = load_block<O>(block);
    const Block x = decrypt_block(s.key, sums, c ^ s.prev_x);
    uint8_t plain[kBlock];
    store_block<O>(plain, x ^ s.prev_c);
    s.prev_c = c;
    s.prev_x = x;
    if (s.count == 0) {
        s.emitted = (plain[0] & 0x07) + 3;
    }
    const int64_t start = s.count;  // position of plain[0]
    const int64_t until = start + kBlock - kTrailer;
    int64_t written = 0;
    for (int64_t q = s.emitted; q < until; ++q) {
        out[written++] = q < start ? s.tail[q - (start - kBlock)] : plain[q - start];
    }
    if (until > s.emitted) {
        s.emitted = until;
    }
    std::memcpy(s.tail, plain, kBlock);
    s.count += kBlock;
    return written;
}

// Whole blocks once the stream is steady (emitted == count - 7): the held
// 7 bytes go out first, then every block straight into out, except the
// last, which is kept as the new tail and only its first byte emitted.
template <Order O>
[[gnu::always_inline]] inline int64_t decrypt_run(State &s, const Sums &sums,
                                                  const uint8_t *src, uint8_t *out,
                                                  int64_t blocks) {
    std::memcpy(out, s.tail + 1, kTrailer);
    uint8_t *o = out + kTrailer;
    const Secret<Words> k(s.key);
    Block prev_c = s.prev_c;
    Block prev_x = s.prev_x;
    for (int64_t i = 0; i + 1 < blocks; ++i) {
        const Block c = load_block<O>(src + i * kBlock);
        const Block x = decrypt_block(*k, sums, c ^ prev_x);
        store_block<O>(o + i * kBlock, x ^ prev_c);
        prev_c = c;
        prev_x = x;
    }
    const Block c = load_block<O>(src + (blocks - 1) * kBlock);
    const Block x = decrypt_block(*k, sums, c ^ prev_x);
    store_block<O>(s.tail, x ^ prev_c);
    o[(blocks - 1) * kBlock] = s.tail[0];
    s.prev_c = c;
    s.prev_x = x;
    s.count += blocks * kBlock;
    s.emitted = s.count - kTrailer;
    return blocks * kBlock;
}

template <Order O>
[[gnu::always_inline]] inline int64_t decrypt_update(State &s, const Sums &sums,
                                                     const uint8_t *src, int64_t n,
                                                     uint8_t *out) {
    int64_t written = 0;
    if (s.buffered + n < kBlock) {
        if (n > 0) {
            std::memcpy(s.buf + s.buffered, src, static_cast<size_t>(n));
        }
        s.buffered += static_cast<uint32_t>(n);
        return 0;
    }
    if (s.buffered > 0) {
        const int64_t take = kBlock - s.buffered;
        std::memcpy(s.buf + s.buffered, src, static_cast<size_t>(take));
        written += decrypt_step<O>(s, sums, s.buf, out);
        src += take;
        n -= take;
        s.buffered = 0;
    }
    int64_t blocks = n / kBlock;
    while (blocks > 0 && s.count < kSteady) {
        written += decrypt_step<O>(s, sums, src, out + written);
        src += kBlock;
        n -= kBlock;
        --blocks;
    }
    if (blocks > 0) {
        written += decrypt_run<O>(s, sums, src, out + written, blocks);
        src += blocks * kBlock;
        n -= blocks * kBlock;
    }
    if (n > 0) {
        std::memcpy(s.buf, src, static_cast<size_t>(n));
    }
    s.buffered = static_cast<uint32_t>(n);
    return written;
}

// The checks every update makes before it touches anything.
int64_t check_io(const uint8_t *src, int64_t n, const uint8_t *out, int64_t cap,
                 int64_t needed) {
    if ((src == nullptr && n > 0) || (out == nullptr && needed > 0)) {
        return QULO_E_NULL;
    }
    if (cap < needed) {
        return QULO_E_SPACE;
    }
    if (overlaps(src, n, out, needed)) {
        return QULO_E_OVERLAP;
    }
    return 0;
}

}  // namespace

extern "C" {

int64_t qulo_encryptor_init(qulo_encryptor *ctx, const qulo_key *key, const qulo_op *op,
                            int64_t plaintext_len) {
    if (ctx == nullptr) {
        return QULO_E_NULL;
    }
    wipe(ctx);
    State *s = state_of(ctx);
    if (plaintext_len < 0 || plaintext_len > QULO_MAX_PLAINTEXT_LEN) {
        return QULO_E_ARGUMENT;
    }
    if (const int64_t code = setup(s, Dir::encrypt, key, op); code < 0) {
        return code;
    }
    const int64_t total = length_rule(plaintext_len);
    const int64_t fill = total - plaintext_len - 10;
    s->length = plaintext_len;
    s->count = plaintext_len;
    s->buf[0] = static_cast<uint8_t>(0xF8u | static_cast<uint32_t>(fill));
    s->buffered = static_cast<uint32_t>(fill + 3);  // header and fill, zeros already
    return total;
}

int64_t qulo_encryptor_update_len(const qulo_encryptor *ctx, int64_t src_len) {
    return with_live(ctx, [&](const State &s) { return encrypt_update_len(s, src_len); });
}

int64_t qulo_encryptor_update(qulo_encryptor *ctx, const uint8_t *src, int64_t src_len,
                              uint8_t *out, int64_t out_capacity) {
    const int64_t needed = qulo_encryptor_update_len(ctx, src_len);
    if (needed < 0) {
        return needed;
    }
    if (const int64_t code = check_io(src, src_len, out, out_capacity, needed); code < 0) {
        return code;
    }
    State &s = *state_of(ctx);
    return with_sums<Dir::encrypt>(s, [&]<Order O>(const Sums &sums) {
        return encrypt_update<O>(s, sums, src, src_len, out);
    });
}

int64_t qulo_encryptor_finish(qulo_encryptor *ctx, uint8_t *out, int64_t out_capacity) {
    return with_live(ctx, [&](State &s) -> int64_t {
        if (s.count > 0) {
            return QULO_E_TOO_LITTLE;
        }
        // What is left is the buffered bytes and the seven zeros: one block,
        // or two for an empty plaintext whose header and fill were never
        // flushed.
        const int64_t total = s.buffered + kTrailer;
        if (out == nullptr) {
            return QULO_E_NULL;
        }
        if (out_capacity < total) {
            return QULO_E_SPACE;
        }
        std::memset(s.buf + s.buffered, 0, sizeof s.buf - s.buffered);
        with_sums<Dir::encrypt>(s, [&]<Order O>(const Sums &sums) {
            encrypt_run<O>(s, sums, s.buf, out, total / kBlock);
            return int64_t{0};
        });
        wipe(ctx);
        return total;
    });
}

int64_t qulo_encryptor_length(const qulo_encryptor *ctx) {
    return with_live(ctx, [](const State &s) { return s.length; });
}

int64_t qulo_encryptor_given(const qulo_encryptor *ctx) {
    return with_live(ctx, [](const State &s) { return s.length - s.count; });
}

void qulo_encryptor_wipe(qulo_encryptor *ctx) {
    if (ctx != nullptr) {
        wipe(ctx);
    }
}

int64_t qulo_decryptor_init(qulo_decryptor *ctx, const qulo_key *key, const qulo_op *op) {
    if (ctx == nullptr) {
        return QULO_E_NULL;
    }
    wipe(ctx);
    return setup(state_of(ctx), Dir::decrypt, key, op);
}

int64_t qulo_decryptor_update_len(const qulo_decryptor *ctx, int64_t src_len) {
    return with_live(ctx, [&](const State &s) { return decrypt_update_len(s, src_len); });
}

int64_t qulo_decryptor_update(qulo_decryptor *ctx, const uint8_t *src, int64_t src_len,
                              uint8_t *out, int64_t out_capacity) {
    const int64_t needed = qulo_decryptor_update_len(ctx, src_len);
    if (needed < 0) {
        return needed;
    }
    if (const int64_t code = check_io(src, src_len, out, out_capacity, needed); code < 0) {
        return code;
    }
    State &s = *state_of(ctx);
    return with_sums<Dir::decrypt>(s, [&]<Order O>(const Sums &sums) {
        return decrypt_update<O>(s, sums, src, src_len, out);
    });
}

int64_t qulo_decryptor_finish(qulo_decryptor *ctx) {
    return with_live(ctx, [&](const State &s) {
        // The one-message rules, in their order: the ciphertext's shape, then
        // room for the header, the fill and the trailer (L = count - fill - 10
        // >= 0, which fails only for 16 bytes with fill count 7), then, when
        // asked, the trailer itself, the last 7 bytes of the tail.
        int64_t status = ciphertext_status(s.count + s.buffered);
        if (status == 0 && s.count - kTrailer < s.emitted) {
            status = QULO_E_FILL;
        }
        if (status == 0 && s.op.verify && !trailer_is_zero(s.tail + 1)) {
            status = QULO_E_CHECK;
        }
        wipe(ctx);
        return status;
    });
}

int64_t qulo_decryptor_given(const qulo_decryptor *ctx) {
    return with_live(ctx, [](const State &s) { return s.count + s.buffered; });
}

void qulo_decryptor_wipe(qulo_decryptor *ctx) {
    if (ctx != nullptr) {
        wipe(ctx);
    }
}

}  // extern "C"
