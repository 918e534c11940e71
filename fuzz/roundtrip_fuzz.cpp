// Encryption then decryption with an arbitrary key, sum table, byte order
// and plaintext: the length follows the length rule, the capacity beyond the
// ciphertext is cleared, too small a capacity is refused untouched, the
// round trip gives the plaintext back (separately and in place), and a
// source lying inside the output encrypts exactly like a separate one.
//
// Input: variant, extra capacity, overlap offset, 16 key bytes, 64 sum-table
// bytes, then the plaintext.
#include "common.hpp"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace fuzz;
    Reader in(data, size);
    const Variant variant = variant_of(in.byte());
    const int64_t extra = in.byte() % 32;
    const uint8_t offset_choice = in.byte();
    const qulo_key key = key_of(in.bytes<16>());
    const Buffer sums = sum_table(in.bytes<64>());
    const Buffer plain(in.rest());
    const Buffer original(plain.span());

    const int64_t n = plain.ssize();
    const int64_t total = qulo_encrypt_len(n);
    require(total == (n + 10 + 7) / 8 * 8, "length rule: not the smallest multiple of 8 >= n + 10");
    const int64_t cap = total + extra;
    const uint8_t *src = n == 0 ? nullptr : plain.data();

    Buffer cipher(static_cast<size_t>(cap), kUntouched);
    require(encrypt(variant, key, sums, src, n, cipher.data(), cap) == total,
            "encryption did not return the length rule's value");
    require(plain.equals(original.span()), "encryption changed its source");
    require(all_equal(cipher.span().subspan(static_cast<size_t>(total)), 0),
            "capacity beyond the ciphertext not cleared");

    Buffer again(static_cast<size_t>(total));
    require(encrypt(variant, key, sums, src, n, again.data(), total) == total &&
                std::equal(again.data(), again.data() + total, cipher.data()),
            "encryption is not deterministic");

    Buffer short_out(static_cast<size_t>(total - 1), kUntouched);
    require(encrypt(variant, key, sums, src, n, short_out.data(), total - 1) == -1,
            "capacity T - 1 accepted");
    require(all_equal(short_out.span(), kUntouched), "refused encryption wrote to out");

    if (variant == Variant::qq) {
        const Buffer standard = sum_table(standard_table());
        Buffer table_out(static_cast<size_t>(total));
        require(qulo_encrypt(&key, standard.data(), src, n, table_out.data(), total) == total &&
                    table_out.equals(again.span()),
                "qq and standard-table ciphertexts differ");
    }

    // Decryption into a separate block of exactly T bytes.
    const Buffer ciphertext(again.span());
    Buffer back(static_cast<size_t>(total), kUntouched);
    require(decrypt(variant, key, sums, ciphertext.data(), total, back.data(), total) == n,
            "decryption did not return the plaintext length");
    require(n == 0 || std::equal(plain.data(), plain.data() + n, back.data()),
            "round trip changed the plaintext");

    // And in place.
    Buffer same(ciphertext.span());
    require(decrypt(variant, key, sums, same.data(), total, same.data(), total) == n,
            "in-place decryption did not return the plaintext length");
    require(same.equals(back.span()), "in-place and separate decryption differ");

    // The source inside the output, at any offset where it fits.
    const int64_t room = cap - n;
    const int64_t offset = offset_choice % (room + 1);
    Buffer overlapped(static_cast<size_t>(cap), kUntouched);
    if (n > 0) {
        std::memcpy(overlapped.data() + offset, plain.data(), static_cast<size_t>(n));
    }
    require(encrypt(variant, key, sums, overlapped.data() + offset, n, overlapped.data(), cap) ==
                total,
            "overlapping encryption did not return T");
    require(overlapped.equals(cipher.span()), "overlapping encryption differs from separate");
    return 0;
}
