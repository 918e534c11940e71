// Batch decryption of a mix of valid and invalid ciphertexts, on every
// kernel this CPU runs: each message must come out exactly as its own
// one-message decryption leaves it (result and every output byte), a
// refused one untouched, and nothing may be read or written outside the
// given ranges (each source and output is its own exact heap block).
//
// With the variant byte's top bit, the same through qulo_batch_run and
// qulo_run with verified decryption: results are statuses then.
//
// Input: variant, key (16 bytes), sum table (64 bytes), then records until
// the input ends: one control byte, then a length byte and that many bytes.
// The control byte says whether the record is the ciphertext of its bytes
// (valid) or its bytes as they stand (mostly invalid), whether it is
// decrypted in place, and its capacity: its length - 8 .. + 7.
#include "common.hpp"

#include "qulo/batch.h"
#include "qulo/batch_hooks.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using namespace fuzz;

int64_t decrypt_many(Variant v, const qulo_key &key, const Buffer &sums, int64_t count,
                     const uint8_t *const *src, const int64_t *len, uint8_t *const *out,
                     const int64_t *cap, int64_t *result) {
    switch (v) {
    case Variant::qq: return qulo_batch_decrypt_qq(&key, count, src, len, out, cap, result);
    case Variant::table:
        return qulo_batch_decrypt(&key, sums.data(), count, src, len, out, cap, result);
    case Variant::native:
        return qulo_batch_decrypt_native_endian(&key, sums.data(), count, src, len, out, cap,
                                                result);
    }
    std::abort();
}

struct Record {
    std::unique_ptr<Buffer> text;  // what goes in
    bool in_place = false;
    int64_t cap = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in(data, size);
    const uint8_t first = in.byte();
    const Variant variant = variant_of(first);
    const bool verify = verify_of(first);
    const qulo_key key = key_of(in.bytes<16>());
    const Buffer sums = sum_table(in.bytes<64>());
    const qulo_op op = op_of(variant, sums, QULO_DECRYPT, true);

    std::vector<Record> records;
    const std::span<const uint8_t> rest = in.rest();
    size_t pos = 0;
    while (pos < rest.size() && records.size() < 200) {
        const uint8_t control = rest[pos++];
        size_t n = 0;
        if (pos < rest.size()) {
            n = rest[pos];
            ++pos;
            n = std::min(n, rest.size() - pos);
        }
        const std::span<const uint8_t> bytes = rest.subspan(pos, n);
        pos += n;
        Record rec;
        if (control % 3 == 0) {
            // A valid ciphertext of these bytes.
            const auto len = static_cast<int64_t>(bytes.size());
            std::vector<uint8_t> c(static_cast<size_t>(qulo_encrypt_len(len)));
            const Buffer plain(bytes);
            if (encrypt(variant, key, sums, len == 0 ? nullptr : plain.data(), len, c.data(),
                        static_cast<int64_t>(c.size())) < 0) {
                fail("encryption refused");
            }
            rec.text = std::make_unique<Buffer>(std::span<const uint8_t>(c));
        } else {
            rec.text = std::make_unique<Buffer>(bytes);
        }
        rec.in_place = control % 5 == 1;
        rec.cap = std::max<int64_t>(0, rec.text->ssize() + static_cast<int64_t>(control >> 4) - 8);
        records.push_back(std::move(rec));
    }

    const size_t count = records.size();
    std::vector<std::unique_ptr<Buffer>> want(count), got(count);
    std::vector<const uint8_t *> src(count);
    std::vector<uint8_t *> out(count);
    std::vector<int64_t> len(count), cap(count), want_result(count), got_result(count, 99);
    int64_t refused = 0;
    for (size_t i = 0; i < count; ++i) {
        Record &rec = records[i];
        len[i] = rec.text->ssize();
        cap[i] = rec.cap;
        // In place: the output block holds the ciphertext and is the source.
        const size_t block = static_cast<size_t>(rec.in_place ? std::max(len[i], cap[i]) : cap[i]);
        want[i] = std::make_unique<Buffer>(block, kUntouched);
        got[i] = std::make_unique<Buffer>(block, kUntouched);
        if (rec.in_place && len[i] > 0) {
            std::memcpy(want[i]->data(), rec.text->data(), static_cast<size_t>(len[i]));
            std::memcpy(got[i]->data(), rec.text->data(), static_cast<size_t>(len[i]));
        }
        const uint8_t *one_src = rec.in_place ? want[i]->data() : rec.text->data();
        if (len[i] == 0) {
            one_src = nullptr;
        }
        want_result[i] =
            verify ? qulo_run(&key, &op, one_src, len[i], want[i]->data(), cap[i])
                   : decrypt(variant, key, sums, one_src, len[i], want[i]->data(), cap[i]);
        refused += want_result[i] < 0 ? 1 : 0;
        src[i] = len[i] == 0 ? nullptr : rec.in_place ? got[i]->data() : rec.text->data();
        out[i] = got[i]->data();
    }

    for (size_t k = 0; const char *kernel = qulo::batch::known(k); ++k) {
        if (!qulo::batch::select(kernel)) {
            continue;  // this CPU cannot run it
        }
        for (size_t i = 0; i < count; ++i) {
            // Fresh outputs (and in-place sources) for each kernel.
            std::memset(got[i]->data(), kUntouched, got[i]->size());
            if (records[i].in_place && len[i] > 0) {
                std::memcpy(got[i]->data(), records[i].text->data(), static_cast<size_t>(len[i]));
            }
        }
        const auto n = static_cast<int64_t>(count);
        const int64_t value =
            verify ? qulo_batch_run(&key, &op, n, src.data(), len.data(), out.data(), cap.data(),
                                    got_result.data())
                   : decrypt_many(variant, key, sums, n, src.data(), len.data(), out.data(),
                                  cap.data(), got_result.data());
        require(value == refused, "the batch's count of refusals differs");
        for (size_t i = 0; i < count; ++i) {
            require(got_result[i] == want_result[i], "a batch result differs from one message");
            require(got[i]->equals(want[i]->span()), "batch output differs from one message");
        }
    }
    qulo::batch::select(nullptr);
    return 0;
}
