// Decryption of arbitrary bytes with an arbitrary capacity, into a separate
// buffer and in place: nothing is read or written outside the given ranges,
// the two agree, and a refusal leaves the output exactly as it was.
//
// Input: variant, capacity offset (signed byte), 16 key bytes, 64 sum-table
// bytes, then the ciphertext.
#include "common.hpp"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace fuzz;
    Reader in(data, size);
    const Variant variant = variant_of(in.byte());
    const auto delta = static_cast<int8_t>(in.byte());
    const qulo_key key = key_of(in.bytes<16>());
    const Buffer sums = sum_table(in.bytes<64>());
    const Buffer text(in.rest());

    const int64_t n = text.ssize();
    const int64_t cap = n + delta;
    const bool refused_by_length = n < 16 || n % 8 != 0 || n > cap;

    // Separate output: exactly `cap` bytes (none when cap is negative).
    Buffer out(static_cast<size_t>(std::max<int64_t>(cap, 0)), kUntouched);
    const uint8_t *src = n == 0 ? nullptr : text.data();
    const Buffer original(text.span());
    const int64_t r = decrypt(variant, key, sums, src, n, out.data(), cap);

    require(text.equals(original.span()), "source changed");
    if (refused_by_length) {
        require(r == -1, "a ciphertext of invalid length was accepted");
    }
    if (r < 0) {
        require(r == -1, "failure is not -1");
        require(all_equal(out.span(), kUntouched), "refused decryption wrote to out");
    } else {
        require(r >= n - 17 && r <= n - 10, "plaintext length outside n-17..n-10");
        require(qulo_encrypt_len(r) == n, "plaintext length does not encrypt back to n");
        require(all_equal(out.span().subspan(static_cast<size_t>(n)), kUntouched),
                "decryption wrote past the ciphertext length");
    }

    // In place: one block of max(n, cap) bytes holding the ciphertext.
    Buffer same(static_cast<size_t>(std::max(n, cap)), kUntouched);
    if (n > 0) {
        std::memcpy(same.data(), text.data(), static_cast<size_t>(n));
    }
    const Buffer before(same.span());
    const int64_t r_in_place = decrypt(variant, key, sums, same.data(), n, same.data(), cap);
    require(r_in_place == r, "in place and separate results differ");
    if (r < 0) {
        require(same.equals(before.span()), "refused in-place decryption changed the buffer");
    } else {
        require(std::equal(same.data(), same.data() + n, out.data()),
                "in place and separate outputs differ");
        require(all_equal(same.span().subspan(static_cast<size_t>(n)), kUntouched),
                "in-place decryption wrote past the ciphertext length");
    }

    // The standard sums given as a table decrypt exactly like the qq form.
    if (variant == Variant::qq) {
        const Buffer standard = sum_table(standard_table());
        Buffer out2(out.size(), kUntouched);
        const int64_t r2 = qulo_decrypt(&key, standard.data(), src, n, out2.data(), cap);
        require(r2 == r, "qq and standard-table results differ");
        require(out2.equals(out.span()), "qq and standard-table outputs differ");
    }
    return 0;
}
