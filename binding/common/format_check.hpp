// The format check of buffer arguments: does an exported struct-style
// format string describe exactly one one-byte unsigned (or char) item?
//
// Pure: no Python objects. The result carries what the binding needs to
// build the exact ValueError message.
#pragma once

#include <cstddef>
#include <string_view>

namespace qulo::format {

enum class Group { unsigned_int, signed_int, character, real, object };

// The C item type a buffer argument must hold.
struct ItemDescriptor {
    std::string_view name;  // as named in messages: "const uint8_t"
    std::size_t size;
    Group group;
};

inline constexpr ItemDescriptor kConstByte{"const uint8_t", 1, Group::unsigned_int};
inline constexpr ItemDescriptor kByte{"uint8_t", 1, Group::unsigned_int};

struct Result {
    enum class Kind {
        ok,
        big_endian,          // '>' or '!'
        unknown_character,   // `character`
        unexpected_after_z,  // 'Z' not followed by f, d or g
        expected_brace,      // 'T' not followed by '{'
        dtype_mismatch,      // expected `expected` (quoted when a name), got `got`
        field_offset,        // item at `offset`, 0 expected
        repeated_array,      // a count other than 1 before '('
        array_dimensions,    // `extents` extents listed, 0 expected
        expected_comma,      // `character` after an extent
        unterminated_array,  // string ends inside '(' ... ')'
        malformed,           // other malformed input; `detail` says what
    };
    Kind kind = Kind::ok;
    char character = 0;
    bool expected_is_name = false;  // expected the descriptor (quoted) or "end"
    std::string_view got;           // description of the code found, or "end"
    std::ptrdiff_t offset = 0;
    std::ptrdiff_t extents = 0;
    std::string_view detail;

    bool ok() const noexcept { return kind == Kind::ok; }
};

// Checks `format` (which need not be NUL-terminated; it is never read past
// its size) against `item`.
Result check(std::string_view format, const ItemDescriptor &item) noexcept;

}  // namespace qulo::format
