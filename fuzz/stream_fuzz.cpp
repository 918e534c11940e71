// The incremental contexts against the one-message entry points, cut at
// random places taken from the input: encrypting the text in chunks gives
// the one-message ciphertext; decrypting that ciphertext in other chunks
// gives the text back; and decrypting the raw text as a ciphertext, in
// chunks, refuses exactly when the one-message decryption refuses, with the
// same status, and otherwise gives its plaintext. Every update writes into a
// heap block of exactly the size announced, so a byte past it is reported.
//
// Input: variant (its top bit: verified decryption), 4 bytes seeding the
// cuts, 16 key bytes, 64 sum-table bytes, then the text.
#include "common.hpp"

#include "qulo/stream.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace {

using namespace fuzz;

// Chunk lengths from a small generator: mostly short, sometimes empty,
// sometimes the rest.
class Cutter {
public:
    explicit Cutter(uint32_t seed) : x_(seed | 1u) {}
    size_t next(size_t left) {
        x_ ^= x_ << 13;
        x_ ^= x_ >> 17;
        x_ ^= x_ << 5;
        switch (x_ % 8) {
        case 0: return 0;
        case 1: return left;
        default: return std::min<size_t>(left, (x_ >> 8) % 40);
        }
    }

private:
    uint32_t x_;
};

void append(std::vector<uint8_t> &all, const Buffer &b, int64_t n) {
    all.insert(all.end(), b.data(), b.data() + n);
}

std::vector<uint8_t> encrypt_in_chunks(const qulo_op &op, const qulo_key &key,
                                       std::span<const uint8_t> text, Cutter cut) {
    qulo_encryptor e;
    const int64_t total = qulo_encryptor_init(&e, &key, &op, static_cast<int64_t>(text.size()));
    require(total == qulo_encrypt_len(static_cast<int64_t>(text.size())), "init: wrong total");
    std::vector<uint8_t> all;
    for (size_t at = 0; at < text.size();) {
        const size_t n = cut.next(text.size() - at);
        const Buffer chunk(text.subspan(at, n));
        const auto sn = static_cast<int64_t>(n);
        const int64_t want = qulo_encryptor_update_len(&e, sn);
        require(want >= 0 && want <= sn + 16 && want % 8 == 0, "encrypt: bad update length");
        Buffer out(static_cast<size_t>(want), kUntouched);
        require(qulo_encryptor_update(&e, chunk.data(), sn, out.data(), want) == want,
                "encrypt: update wrote other than announced");
        append(all, out, want);
        at += n;
    }
    require(qulo_encryptor_update_len(&e, 1) == QULO_E_TOO_MUCH, "accepted too much");
    Buffer last(QULO_STREAM_FINISH_MAX, kUntouched);
    const int64_t w = qulo_encryptor_finish(&e, last.data(), last.ssize());
    require(w == 8 || w == 16, "encrypt: finish wrote other than 8 or 16 bytes");
    append(all, last, w);
    require(static_cast<int64_t>(all.size()) == total, "encrypt: total differs");
    return all;
}

// The plaintext, or a refusal as an empty optional; the finish's status in
// *status.
std::optional<std::vector<uint8_t>> decrypt_in_chunks(const qulo_op &op, const qulo_key &key,
                                                      std::span<const uint8_t> data,
                                                      Cutter cut, int64_t *status) {
    qulo_decryptor d;
    require(qulo_decryptor_init(&d, &key, &op) == 0, "decrypt: init refused");
    std::vector<uint8_t> all;
    for (size_t at = 0; at < data.size();) {
        const size_t n = cut.next(data.size() - at);
        const Buffer chunk(data.subspan(at, n));
        const auto sn = static_cast<int64_t>(n);
        const int64_t bound = qulo_decryptor_update_len(&d, sn);
        require(bound >= 0 && bound <= sn + 16, "decrypt: bad update bound");
        Buffer out(static_cast<size_t>(bound), kUntouched);
        const int64_t w = qulo_decryptor_update(&d, chunk.data(), sn, out.data(), bound);
        require(w >= 0 && w <= bound, "decrypt: update wrote past its bound");
        append(all, out, w);
        at += n;
    }
    *status = qulo_decryptor_finish(&d);
    if (*status != 0) {
        return std::nullopt;
    }
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in(data, size);
    const uint8_t first = in.byte();
    const Variant variant = variant_of(first);
    const auto seed = in.bytes<4>();
    const uint32_t s = uint32_t{seed[0]} | uint32_t{seed[1]} << 8 | uint32_t{seed[2]} << 16 |
                       uint32_t{seed[3]} << 24;
    const qulo_key key = key_of(in.bytes<16>());
    const Buffer sums = sum_table(in.bytes<64>());
    const Buffer text(in.rest());
    const qulo_op enc = op_of(variant, sums, QULO_ENCRYPT);
    const qulo_op dec = op_of(variant, sums, QULO_DECRYPT, verify_of(first));
    const int64_t n = text.ssize();
    const uint8_t *src = n == 0 ? nullptr : text.data();

    // Encryption in chunks equals the one-message ciphertext.
    const int64_t total = qulo_encrypt_len(n);
    Buffer whole(static_cast<size_t>(total));
    require(encrypt(variant, key, sums, src, n, whole.data(), total) == total,
            "one-message encryption refused");
    const auto sealed = encrypt_in_chunks(enc, key, text.span(), Cutter(s));
    require(whole.equals(sealed), "chunked encryption differs from one-message");

    // Its decryption in other chunks gives the text back.
    int64_t status = 1;
    const auto opened =
        decrypt_in_chunks(dec, key, whole.span(), Cutter(s * 2654435761u), &status);
    require(opened.has_value() && text.equals(*opened), "chunked decryption lost the text");

    // The raw text as a ciphertext: the same status and the same bytes.
    Buffer plain(static_cast<size_t>(n), kUntouched);
    const int64_t r = qulo_run(&key, &dec, src, n, plain.data(), n);
    const auto got = decrypt_in_chunks(dec, key, text.span(), Cutter(~s), &status);
    require(status == (r < 0 ? r : 0), "chunked and one-message decryption disagree on refusal");
    if (r >= 0) {
        require(static_cast<int64_t>(got->size()) == r &&
                    std::equal(got->begin(), got->end(), plain.data()),
                "chunked decryption differs from one-message");
    }
    return 0;
}
