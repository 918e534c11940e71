// The qq mode over plain byte arrays, one message per call.
//
// One driver per direction, a template over how the 8 bytes of a block
// become a 64-bit value, given the round sums (qulo/block.hpp); qulo_run
// picks the instantiation for a descriptor through the one dispatch of
// qulo/operation.hpp. Everything is inlined into the entry point so the
// block loop keeps the key words and sums in registers.

#include "qulo/mode.h"
#include "qulo/tea.h"
#include "qulo/block.hpp"
#include "qulo/length_rule.hpp"
#include "qulo/operation.hpp"
#include "qulo/ranges.hpp"
#include "qulo/secret.hpp"

#include <cstdint>
#include <cstring>

namespace {

using namespace qulo;

// ---- qq mode ---------------------------------------------------------------

// Whether p lies inside (base, base + len): after base, within its range.
inline bool starts_inside(const uint8_t *p, const uint8_t *base, int64_t len) {
    const auto pp = reinterpret_cast<uintptr_t>(p);
    const auto pb = reinterpret_cast<uintptr_t>(base);
    return pp > pb && pp - pb < static_cast<uint64_t>(len);
}

template <Order O>
[[gnu::always_inline]] inline int64_t encrypt_mode(const qulo_key *key, const Sums &sums,
                                                   const uint8_t *src, int64_t n,
                                                   uint8_t *out, int64_t cap) {
    if (const int64_t status = length_status<Dir::encrypt>(n, cap); status < 0) {
        return status;
    }
    const int64_t total = length_rule(n);
    const int64_t fill = total - n - 10;  // 0..7, the header's low bits
    const int64_t body = fill + 3;        // header + at least two zero fill bytes

    // Blocks at out offsets [direct_begin, direct_end) lie wholly inside the
    // plaintext and are read straight from src as the loop reaches them:
    // that spares a copy pass, and a copy whose destination sits a few bytes
    // past its source, which string moves on some cores handle very slowly.
    // Only the blocks around them are built in out beforehand. A source
    // inside out would be overwritten before it is read, so then the whole
    // padded plaintext is built in out first.
    int64_t direct_begin = (body + kBlock - 1) & -kBlock;
    int64_t direct_end = (body + n) & -kBlock;
    if (direct_end <= direct_begin || overlaps(src, n, out, cap)) {
        direct_begin = direct_end = 0;
        if (n > 0) {
            std::memmove(out + body, src, static_cast<size_t>(n));
        }
    } else {
        std::memcpy(out + body, src, static_cast<size_t>(direct_begin - body));
        std::memcpy(out + direct_end, src + (direct_end - body),
                    static_cast<size_t>(body + n - direct_end));
    }
    std::memset(out, 0, static_cast<size_t>(body));
    out[0] = static_cast<uint8_t>(0xF8u | static_cast<uint32_t>(fill));
    std::memset(out + body + n, 0, static_cast<size_t>(cap - body - n));
    const auto padded = [&](int64_t i) {
        return i >= direct_begin && i < direct_end ? src + (i - body) : out + i;
    };

    const Secret<Words> k(words_of(key));
    Block prev_c{};
    Block prev_x{};
    for (int64_t i = 0; i < total; i += kBlock) {
        const Block x = load_block<O>(padded(i)) ^ prev_c;
        const Block c = encrypt_block(*k, sums, x) ^ prev_x;
        store_block<O>(out + i, c);
        prev_c = c;
        prev_x = x;
    }
    return total;
}

template <Order O>
[[gnu::always_inline]] inline int64_t decrypt_mode(const qulo_key *key, const Sums &sums,
                                                   bool verify, const uint8_t *src, int64_t n,
                                                   uint8_t *out, int64_t cap) {
    if (const int64_t status = length_status<Dir::decrypt>(n, cap); status < 0) {
        return status;
    }
    const Secret<Words> k(words_of(key));

    // The first block decides the plaintext length; decode it locally so
    // that a refused ciphertext leaves `out` (perhaps `src` itself) intact.
    const Block c0 = load_block<O>(src);
    const Block x0 = decrypt_block(*k, sums, c0);
    uint8_t first[kBlock];
    store_block<O>(first, x0);
    const int64_t fill = first[0] & 0x07;
    const int64_t plain = n - fill - 10;
    if (plain < 0) {
        return QULO_E_FILL;  // only a 16-byte ciphertext with fill count 7
    }
    // Block i of out is written once block i of src has been read, which
    // is safe when out starts at or before src. Starting after it, block i
    // would overwrite source blocks not read yet: move the ciphertext to
    // out first and decrypt it in place there. The decision above was made
    // from src, so a refusal still wrote nothing.
    if (starts_inside(out, src, n)) {
        std::memmove(out, src, static_cast<size_t>(n));
        src = out;
    }
    std::memcpy(out, first, kBlock);

    Block prev_c = c0;
    Block prev_x = x0;
    for (int64_t i = kBlock; i < n; i += kBlock) {
        // Block i of src is read before block i of out is written, so
        // src == out decrypts in place.
        const Block c = load_block<O>(src + i);
        const Block x = decrypt_block(*k, sums, c ^ prev_x);
        store_block<O>(out + i, x ^ prev_c);
        prev_c = c;
        prev_x = x;
    }
    std::memmove(out, out + fill + 3, static_cast<size_t>(plain));
    // The move ends before the trailer, which is still where it was decrypted.
    if (verify && !trailer_is_zero(out + n - kTrailer)) {
        return QULO_E_CHECK;
    }
    return plain;
}

// One compiled form of an operation (qulo/operation.hpp): direction D,
// blocks in byte order O, the standard sums as constants (Std) or the
// 64-byte table at `sumtable`. qulo_run dispatches to the forms; a named
// entry point is one fixed form and calls it by name. (Going through the
// dispatch with a constant descriptor folds to the same form, but leaves
// the compiler a different register allocation for the block loop, which
// costs up to 6% on some cores.)
template <Dir D, Order O, bool Std>
[[gnu::always_inline]] inline int64_t run_form(const qulo_key *key, const uint8_t *sumtable,
                                               bool verify, const uint8_t *src, int64_t n,
                                               uint8_t *out, int64_t cap) {
    // The standard sums by reference to the constants, so that they fold.
    const auto drive = [&](const Sums &sums) __attribute__((always_inline)) {
        if constexpr (D == Dir::encrypt) {
            return encrypt_mode<O>(key, sums, src, n, out, cap);
        } else {
            return decrypt_mode<O>(key, sums, verify, src, n, out, cap);
        }
    };
    if constexpr (Std) {
        return drive(kStandardSums);
    } else {
        const Secret<Sums> sums(std::in_place, [sumtable] { return load_sums(sumtable); });
        return drive(*sums);
    }
}

}  // namespace

extern "C" {

int64_t qulo_run(const qulo_key *key, const qulo_op *op, const uint8_t *src, int64_t src_len,
                 uint8_t *out, int64_t out_capacity) {
    if (op == nullptr) {
        return QULO_E_NULL;
    }
    const std::optional<Operation> operation = read_op(*op);
    if (!operation) {
        return QULO_E_ARGUMENT;
    }
    const uint8_t *sumtable = sumtable_of(*op);
    return dispatch(*operation, [&]<Dir D, Order O, bool Std>() {
        return run_form<D, O, Std>(key, sumtable, operation->verify, src, src_len, out,
                                   out_capacity);
    });
}

int64_t qulo_encrypt_qq(const qulo_key *key, const uint8_t *src, int64_t src_len,
                        uint8_t *out, int64_t out_capacity) {
    return as_named(run_form<Dir::encrypt, Order::big, true>(key, nullptr, false, src, src_len,
                                                             out, out_capacity));
}

int64_t qulo_decrypt_qq(const qulo_key *key, const uint8_t *src, int64_t src_len,
                        uint8_t *out, int64_t out_capacity) {
    return as_named(run_form<Dir::decrypt, Order::big, true>(key, nullptr, false, src, src_len,
                                                             out, out_capacity));
}

int64_t qulo_encrypt(const qulo_key *key, const uint8_t *sumtable, const uint8_t *src,
                     int64_t src_len, uint8_t *out, int64_t out_capacity) {
    return as_named(run_form<Dir::encrypt, Order::big, false>(key, sumtable, false, src, src_len,
                                                              out, out_capacity));
}

int64_t qulo_decrypt(const qulo_key *key, const uint8_t *sumtable, const uint8_t *src,
                     int64_t src_len, uint8_t *out, int64_t out_capacity) {
    return as_named(run_form<Dir::decrypt, Order::big, false>(key, sumtable, false, src, src_len,
                                                              out, out_capacity));
}

int64_t qulo_encrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                   const uint8_t *src, int64_t src_len, uint8_t *out,
                                   int64_t out_capacity) {
    return as_named(run_form<Dir::encrypt, Order::host, false>(key, sumtable, false, src,
                                                               src_len, out, out_capacity));
}

int64_t qulo_decrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                   const uint8_t *src, int64_t src_len, uint8_t *out,
                                   int64_t out_capacity) {
    return as_named(run_form<Dir::decrypt, Order::host, false>(key, sumtable, false, src,
                                                               src_len, out, out_capacity));
}

int64_t qulo_encrypt_len(int64_t n) { return length_rule(n); }

int64_t qulo_ciphertext_status(int64_t n) { return ciphertext_status(n); }

int64_t qulo_output_capacity(const qulo_op *op, int64_t n) {
    if (op == nullptr) {
        return QULO_E_NULL;
    }
    const std::optional<Operation> operation = read_op(*op);
    if (!operation) {
        return QULO_E_ARGUMENT;
    }
    return output_capacity(operation->dir, n);
}

}  // extern "C"
