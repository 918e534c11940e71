// Shared helpers of the cipher core's tests: byte strings, keys, sum tables
// and one uniform face over the three encrypt/decrypt pairs.
#pragma once

#include "qulo/mode.h"
#include "qulo/tea.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qulo_test {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kDelta = 0x9E3779B9u;
inline constexpr uint8_t kDirt = 0xA5;  // marks bytes a call must not touch

inline Bytes from_hex(std::string_view hex) {
    auto nibble = [](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
        throw std::invalid_argument("bad hex digit");
    };
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return out;
}

// Key word i is key bytes 4i..4i+3 read big-endian.
inline qulo_key key_from_bytes(const Bytes &b) {
    auto word = [&](size_t i) {
        return uint32_t{b.at(4 * i)} << 24 | uint32_t{b.at(4 * i + 1)} << 16 |
               uint32_t{b.at(4 * i + 2)} << 8 | uint32_t{b.at(4 * i + 3)};
    };
    return qulo_key{word(0), word(1), word(2), word(3)};
}

enum class WordOrder { host, big };

// Sixteen round sums laid out as a 64-byte table.
inline Bytes sum_table(const std::array<uint32_t, 16> &sums, WordOrder order = WordOrder::host) {
    Bytes t(64);
    for (size_t r = 0; r < 16; ++r) {
        for (size_t j = 0; j < 4; ++j) {
            const size_t shift = order == WordOrder::big ? 8 * (3 - j) : 8 * j;
            t[4 * r + j] = static_cast<uint8_t>(sums[r] >> shift);
        }
    }
    return t;
}

inline std::array<uint32_t, 16> standard_sums() {
    std::array<uint32_t, 16> s{};
    for (uint32_t r = 1; r <= 16; ++r) s[r - 1] = r * kDelta;
    return s;
}

// The n-byte test text; the known-answer generator builds the same bytes.
inline Bytes pattern(int64_t n) {
    Bytes b(static_cast<size_t>(n));
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<uint8_t>(29 * i + static_cast<size_t>(n) + 7);
    }
    return b;
}

// Header 0xF8|p, p + 2 zero bytes, the text, seven zero bytes.
inline Bytes padded(const Bytes &text) {
    const auto p = static_cast<uint8_t>(7 - (text.size() + 1) % 8);
    Bytes b(p + 3u, 0);
    b[0] = static_cast<uint8_t>(0xF8 | p);
    b.insert(b.end(), text.begin(), text.end());
    b.insert(b.end(), 7, 0);
    return b;
}

inline Bytes reverse_each_block(Bytes b) {
    for (auto it = b.begin(); it + 8 <= b.end(); it += 8) std::reverse(it, it + 8);
    return b;
}

inline Bytes slice(const Bytes &b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(to));
}

inline int64_t ssize(const Bytes &b) { return static_cast<int64_t>(b.size()); }

// ---- one face over the three pairs of entry points ---------------------------

using EntryFn = int64_t (*)(const qulo_key *, const uint8_t *sumtable, const uint8_t *src,
                            int64_t src_len, uint8_t *out, int64_t capacity);

struct Mode {
    const char *name;
    bool uses_table;
    int32_t order;  // QULO_BIG_ENDIAN or QULO_HOST_ORDER
    EntryFn encrypt;
    EntryFn decrypt;
};

inline const Mode kQq{
    "qq", false, QULO_BIG_ENDIAN,
    [](const qulo_key *k, const uint8_t *, const uint8_t *s, int64_t n, uint8_t *o,
       int64_t c) { return qulo_encrypt_qq(k, s, n, o, c); },
    [](const qulo_key *k, const uint8_t *, const uint8_t *s, int64_t n, uint8_t *o,
       int64_t c) { return qulo_decrypt_qq(k, s, n, o, c); }};
inline const Mode kTableBig{"table_big_endian", true, QULO_BIG_ENDIAN, qulo_encrypt,
                            qulo_decrypt};
inline const Mode kTableHost{"table_native_endian", true, QULO_HOST_ORDER,
                             qulo_encrypt_native_endian, qulo_decrypt_native_endian};
inline const Mode kModes[] = {kQq, kTableBig, kTableHost};

inline std::ostream &operator<<(std::ostream &os, const Mode &m) { return os << m.name; }

// A cipher with everything but the bytes fixed. The helpers size their
// buffers exactly, so a sanitizer run also catches stray reads and writes.
struct Cipher {
    Mode mode;
    qulo_key key;
    Bytes table;

    // The descriptor of this cipher's operation in one direction.
    qulo_op op(int32_t direction, bool verify = false) const {
        return {direction, mode.order, mode.uses_table ? table.data() : nullptr, verify ? 1 : 0};
    }

    int64_t encrypt_raw(const uint8_t *src, int64_t n, uint8_t *out, int64_t cap) const {
        return mode.encrypt(&key, table.data(), src, n, out, cap);
    }
    int64_t decrypt_raw(const uint8_t *src, int64_t n, uint8_t *out, int64_t cap) const {
        return mode.decrypt(&key, table.data(), src, n, out, cap);
    }

    // The ciphertext, or an empty vector when the entry point refuses.
    Bytes encrypt(const Bytes &text) const {
        Bytes out(static_cast<size_t>(qulo_encrypt_len(ssize(text))), kDirt);
        const int64_t r = encrypt_raw(text.data(), ssize(text), out.data(), ssize(out));
        return r == ssize(out) ? out : Bytes{};
    }

    // The plaintext, or nothing when the entry point returns -1.
    std::optional<Bytes> decrypt(const Bytes &data) const {
        Bytes out(data.size(), kDirt);
        const int64_t r = decrypt_raw(data.data(), ssize(data), out.data(), ssize(out));
        if (r < 0) return std::nullopt;
        out.resize(static_cast<size_t>(r));
        return out;
    }
};

inline const Bytes &test_key_bytes() {
    static const Bytes k = from_hex("0f1e2d3c4b5a69788796a5b4c3d2e1f0");
    return k;
}

// Sums that are no multiple of the delta and not evenly spaced.
inline const Bytes &irregular_table() {
    static const Bytes t = [] {
        std::array<uint32_t, 16> s{};
        uint32_t x = 0x1234567u;
        for (auto &v : s) v = x = x * 2654435761u + 0x9Bu;
        return sum_table(s);
    }();
    return t;
}

inline Cipher cipher_for(const Mode &m) {
    return Cipher{m, key_from_bytes(test_key_bytes()), m.uses_table ? irregular_table() : Bytes{}};
}

}  // namespace qulo_test
