// Decryption of arbitrary bytes with an arbitrary capacity, into a separate
// buffer, in place and into an output overlapping the ciphertext at other
// shifts: nothing is read or written outside the given ranges, all agree,
// and a refusal leaves the output exactly as it was.
//
// Input: variant, capacity offset (signed byte), 16 key bytes, 64 sum-table
// bytes, then the ciphertext.
#include "common.hpp"

#include <algorithm>
#include <vector>

namespace {

// Shifts of out against src worth trying: every overlapping one for short
// ciphertexts (they already meet every position within and across blocks),
// the nearest ones and a few far ones for long ciphertexts, where a full
// sweep would take each input too long.
std::vector<int64_t> shifts_for(int64_t n) {
    std::vector<int64_t> shifts;
    const int64_t near = n <= 256 ? n : 32;
    for (int64_t s = -near; s <= near; ++s) {
        if (s != 0) {
            shifts.push_back(s);
        }
    }
    if (n > 256) {
        for (const int64_t s : {n / 2, n - 8, n - 1}) {
            shifts.push_back(s);
            shifts.push_back(-s);
        }
    }
    return shifts;
}

// Decrypts src (n bytes) into an output starting `shift` bytes after it,
// both inside one exact heap block, and checks that the block then differs
// from before only where the separate decryption wrote, and there holds
// what it wrote.
void check_overlap(fuzz::Variant variant, const qulo_key &key, const fuzz::Buffer &sums,
                   const fuzz::Buffer &text, int64_t cap, int64_t shift, int64_t r,
                   const fuzz::Buffer &separate) {
    using namespace fuzz;
    const int64_t n = text.ssize();
    const int64_t room = std::max<int64_t>(cap, 0);
    const int64_t src_at = shift < 0 ? -shift : 0;
    const int64_t out_at = src_at + shift;
    Buffer block(static_cast<size_t>(std::max(src_at + n, out_at + room)), kUntouched);
    std::memcpy(block.data() + src_at, text.data(), static_cast<size_t>(n));
    Buffer expected(block.span());
    if (r >= 0) {
        std::memcpy(expected.data() + out_at, separate.data(), static_cast<size_t>(n));
    }
    const int64_t got = decrypt(variant, key, sums, block.data() + src_at, n,
                                block.data() + out_at, cap);
    require(got == r, "overlapping and separate results differ");
    require(block.equals(expected.span()),
            r >= 0 ? "overlapping output differs from the separate one"
                   : "refused overlapping decryption wrote");
}

}  // namespace

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

    // Any other overlap, out starting before or after src, is as good.
    if (n > 0) {
        for (const int64_t shift : shifts_for(n)) {
            check_overlap(variant, key, sums, text, cap, shift, r, out);
        }
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
