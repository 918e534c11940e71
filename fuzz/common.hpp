// Shared pieces of the fuzz targets: an input reader that never fails, and
// heap buffers of exactly the requested size, so that AddressSanitizer flags
// a single byte read or written past either end.
#pragma once

#include "qulo/mode.h"
#include "qulo/tea.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

namespace fuzz {

// What every output byte holds before a call, so that writes show.
constexpr uint8_t kUntouched = 0xA5;

// Takes fields off the front of the input; an exhausted input reads as zeros,
// so every byte string, the empty one included, is a valid input.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() {
        if (pos_ >= size_) {
            return 0;
        }
        return data_[pos_++];
    }

    template <size_t N>
    std::array<uint8_t, N> bytes() {
        std::array<uint8_t, N> a{};
        for (auto &b : a) {
            b = byte();
        }
        return a;
    }

    std::span<const uint8_t> rest() {
        auto r = std::span<const uint8_t>(data_ + pos_, size_ - pos_);
        pos_ = size_;
        return r;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// A heap block of exactly `size` bytes (a zero-byte block still has a
// unique address, and any access through it is reported).
class Buffer {
public:
    explicit Buffer(size_t size, uint8_t fill = 0)
        : size_(size), data_(std::make_unique<uint8_t[]>(size)) {
        std::memset(data_.get(), fill, size);
    }
    explicit Buffer(std::span<const uint8_t> bytes) : Buffer(bytes.size()) {
        if (!bytes.empty()) {
            std::memcpy(data_.get(), bytes.data(), bytes.size());
        }
    }

    uint8_t *data() { return data_.get(); }
    const uint8_t *data() const { return data_.get(); }
    size_t size() const { return size_; }
    int64_t ssize() const { return static_cast<int64_t>(size_); }
    std::span<const uint8_t> span() const { return {data_.get(), size_}; }

    bool equals(std::span<const uint8_t> other) const {
        return other.size() == size_ &&
               (size_ == 0 || std::memcmp(data_.get(), other.data(), size_) == 0);
    }

private:
    size_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

// Stops the run with a message; libFuzzer saves the input as a crash.
[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void require(bool ok, const char *what) {
    if (!ok) {
        fail(what);
    }
}

inline bool all_equal(std::span<const uint8_t> bytes, uint8_t value) {
    for (uint8_t b : bytes) {
        if (b != value) {
            return false;
        }
    }
    return true;
}

// The three operation pairs: the standard sums, or a table, big-endian or
// host-order blocks.
enum class Variant { qq, table, native };

inline Variant variant_of(uint8_t b) { return static_cast<Variant>(b % 3); }

// Whether decryption is verified: the top bit of the byte the variant comes
// from.
inline bool verify_of(uint8_t b) { return (b & 0x80) != 0; }

inline qulo_key key_of(const std::array<uint8_t, 16> &k) {
    auto word = [&](int i) {
        return static_cast<uint32_t>(k[4 * i]) << 24 | static_cast<uint32_t>(k[4 * i + 1]) << 16 |
               static_cast<uint32_t>(k[4 * i + 2]) << 8 | static_cast<uint32_t>(k[4 * i + 3]);
    };
    return {word(0), word(1), word(2), word(3)};
}

// The sum table as its own exact 64-byte heap block.
inline Buffer sum_table(const std::array<uint8_t, 64> &sums) {
    return Buffer(std::span<const uint8_t>(sums));
}

// The descriptor of a variant's operation in one direction.
inline qulo_op op_of(Variant v, const Buffer &sums, int32_t direction, bool verify = false) {
    return {direction, v == Variant::native ? QULO_HOST_ORDER : QULO_BIG_ENDIAN,
            v == Variant::qq ? nullptr : sums.data(), verify ? 1 : 0};
}

inline int64_t encrypt(Variant v, const qulo_key &key, const Buffer &sums, const uint8_t *src,
                       int64_t n, uint8_t *out, int64_t cap) {
    switch (v) {
    case Variant::qq: return qulo_encrypt_qq(&key, src, n, out, cap);
    case Variant::table: return qulo_encrypt(&key, sums.data(), src, n, out, cap);
    case Variant::native: return qulo_encrypt_native_endian(&key, sums.data(), src, n, out, cap);
    }
    std::abort();
}

inline int64_t decrypt(Variant v, const qulo_key &key, const Buffer &sums, const uint8_t *src,
                       int64_t n, uint8_t *out, int64_t cap) {
    switch (v) {
    case Variant::qq: return qulo_decrypt_qq(&key, src, n, out, cap);
    case Variant::table: return qulo_decrypt(&key, sums.data(), src, n, out, cap);
    case Variant::native: return qulo_decrypt_native_endian(&key, sums.data(), src, n, out, cap);
    }
    std::abort();
}

// The standard sums r * 0x9E3779B9 as a host-order table.
inline std::array<uint8_t, 64> standard_table() {
    std::array<uint8_t, 64> t{};
    for (uint32_t r = 1; r <= 16; ++r) {
        const uint32_t s = r * 0x9E3779B9u;
        std::memcpy(t.data() + 4 * (r - 1), &s, sizeof s);
    }
    return t;
}

}  // namespace fuzz
