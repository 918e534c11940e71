#include "format_check.hpp"

#include <cstdint>

namespace qulo::format {

namespace {

// Counts and offsets saturate here, so absurd digit strings cannot overflow.
constexpr std::ptrdiff_t kCap = std::ptrdiff_t{1} << 60;
// Structs nest at most this deep; deeper strings are refused, not recursed.
constexpr int kMaxDepth = 32;

std::ptrdiff_t sat_add(std::ptrdiff_t a, std::ptrdiff_t b) { return a >= kCap - b ? kCap : a + b; }
std::ptrdiff_t sat_mul(std::ptrdiff_t a, std::ptrdiff_t b) {
    return (a != 0 && b > kCap / a) ? kCap : a * b;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct CodeInfo {
    std::size_t size;
    Group group;
    std::string_view description;
};

// Item codes of the struct syntax; `complex` for the 'Z' forms.
bool code_info(char code, bool complex, CodeInfo &out) {
    if (complex) {
        switch (code) {
        case 'f': out = {8, Group::real, "'complex float'"}; return true;
        case 'd': out = {16, Group::real, "'complex double'"}; return true;
        case 'g': out = {32, Group::real, "'complex long double'"}; return true;
        default: return false;
        }
    }
    switch (code) {
    case '?': out = {1, Group::unsigned_int, "'bool'"}; return true;
    case 'c': out = {1, Group::character, "'char'"}; return true;
    case 'b': out = {1, Group::signed_int, "'signed char'"}; return true;
    case 'B': out = {1, Group::unsigned_int, "'unsigned char'"}; return true;
    case 'h': out = {2, Group::signed_int, "'short'"}; return true;
    case 'H': out = {2, Group::unsigned_int, "'unsigned short'"}; return true;
    case 'i': out = {4, Group::signed_int, "'int'"}; return true;
    case 'I': out = {4, Group::unsigned_int, "'unsigned int'"}; return true;
    case 'l': out = {8, Group::signed_int, "'long'"}; return true;
    case 'L': out = {8, Group::unsigned_int, "'unsigned long'"}; return true;
    case 'q': out = {8, Group::signed_int, "'long long'"}; return true;
    case 'Q': out = {8, Group::unsigned_int, "'unsigned long long'"}; return true;
    case 'f': out = {4, Group::real, "'float'"}; return true;
    case 'd': out = {8, Group::real, "'double'"}; return true;
    case 'g': out = {16, Group::real, "'long double'"}; return true;
    case 'O': out = {8, Group::object, "Python object"}; return true;
    case 's':
    case 'p': out = {1, Group::signed_int, "a string"}; return true;
    default: return false;
    }
}

Result fail(Result::Kind kind, char character = 0) {
    Result r;
    r.kind = kind;
    r.character = character;
    return r;
}

Result mismatch(bool expected_is_name, std::string_view got) {
    Result r;
    r.kind = Result::Kind::dtype_mismatch;
    r.expected_is_name = expected_is_name;
    r.got = got;
    return r;
}

Result malformed(std::string_view detail) {
    Result r;
    r.kind = Result::Kind::malformed;
    r.detail = detail;
    return r;
}

// Reads a decimal number at s[i], saturating; advances i past it.
std::ptrdiff_t read_number(std::string_view s, std::size_t &i) {
    std::ptrdiff_t n = 0;
    while (i < s.size() && is_digit(s[i])) {
        n = sat_add(sat_mul(n, 10), s[i] - '0');
        ++i;
    }
    return n;
}

class Checker {
public:
    explicit Checker(const ItemDescriptor &item) : item_(item) {}

    Result parse(std::string_view s, int depth) {
        std::size_t i = 0;
        while (i < s.size()) {
            const char c = s[i];
            if (is_digit(c)) {
                count_ = read_number(s, i);
                continue;
            }
            Result r;
            switch (c) {
            case ' ':
            case '\r':
            case '\n':
                ++i;
                continue;
            case '@':
            case '=':
            case '^':
                mode_ = c;
                ++i;
                continue;
            case '<':
                mode_ = '=';  // little-endian is the host order
                ++i;
                continue;
            case '>':
            case '!':
                return fail(Result::Kind::big_endian);
            case 'Z':
                if (i + 1 >= s.size() || !is_complex_code(s[i + 1])) {
                    return fail(Result::Kind::unexpected_after_z, 'Z');
                }
                r = item(s[i + 1], true);
                i += 2;
                break;
            case 'x':
                r = close_run();
                offset_ = sat_add(offset_, count_);
                count_ = 1;
                ++i;
                break;
            case ':': {
                const std::size_t end = s.find(':', i + 1);
                if (end == std::string_view::npos) {
                    return malformed("field name without closing ':' in format string");
                }
                i = end + 1;
                continue;
            }
            case 'T':
                r = structure(s, i, depth);
                break;
            case '(':
                r = array(s, i);
                break;
            default: {
                CodeInfo info{};
                if (!code_info(c, false, info)) {
                    return fail(Result::Kind::unknown_character, c);
                }
                r = item(c, false);
                ++i;
                break;
            }
            }
            if (!r.ok()) {
                return r;
            }
        }
        return {};
    }

    Result finish() {
        Result r = close_run();
        if (r.ok() && !matched_) {
            return mismatch(true, "end");
        }
        return r;
    }

private:
    struct Run {
        bool active = false;
        char code = 0;
        bool complex = false;
        char mode = '@';
        std::ptrdiff_t count = 0;
    };

    static bool is_complex_code(char c) { return c == 'f' || c == 'd' || c == 'g'; }

    // An item code: extends the pending run or closes it and starts anew.
    Result item(char code, bool complex) {
        const std::ptrdiff_t count = count_;
        count_ = 1;
        // Counted even when it joins a run, which may have started at zero.
        items_ += count > 0 ? 1 : 0;
        if (run_.active && run_.code == code && run_.complex == complex && run_.mode == mode_ &&
            code != 's') {
            run_.count = sat_add(run_.count, count);
            return {};
        }
        Result r = close_run();
        if (!r.ok()) {
            return r;
        }
        run_ = {true, code, complex, mode_, count};
        return {};
    }

    // Matches the pending run against the one expected item.
    Result close_run() {
        if (!run_.active) {
            return {};
        }
        const Run run = run_;
        run_ = {};
        if (run.count == 0) {
            return {};  // zero items take no room and match nothing
        }
        CodeInfo info{};
        code_info(run.code, run.complex, info);
        if (matched_) {
            return mismatch(false, info.description);
        }
        const bool fits = info.size == item_.size &&
                          (info.group == item_.group || info.group == Group::character);
        if (!fits) {
            return mismatch(true, info.description);
        }
        // Native alignment of a one-byte item is 1: the offset stays.
        if (offset_ != 0) {
            Result r = fail(Result::Kind::field_offset);
            r.offset = offset_;
            return r;
        }
        if (run.count > 1) {
            return mismatch(false, info.description);
        }
        matched_ = true;
        offset_ = sat_add(offset_, static_cast<std::ptrdiff_t>(info.size));
        return {};
    }

    // "T{...}" at s[i]: the contents are checked in place, count times.
    Result structure(std::string_view s, std::size_t &i, int depth) {
        if (i + 1 >= s.size() || s[i + 1] != '{') {
            return fail(Result::Kind::expected_brace);
        }
        if (depth >= kMaxDepth) {
            return malformed("structs nested too deeply in format string");
        }
        std::size_t end = i + 2;
        for (int open = 1; end < s.size(); ++end) {
            if (s[end] == ':') {
                // A field name is skipped whatever it holds: the names of
                // struct fields may carry braces of their own.
                end = s.find(':', end + 1);
                if (end == std::string_view::npos) {
                    return malformed("field name without closing ':' in format string");
                }
            } else if (s[end] == '{') {
                ++open;
            } else if (s[end] == '}' && --open == 0) {
                break;
            }
        }
        if (end >= s.size()) {
            return malformed("struct without closing '}' in format string");
        }
        Result r = close_run();
        if (!r.ok()) {
            return r;
        }
        const std::ptrdiff_t times = count_;
        count_ = 1;
        const std::string_view body = s.substr(i + 2, end - (i + 2));
        i = end + 1;
        if (times == 0) {
            return {};
        }
        const std::ptrdiff_t items_before = items_;
        const std::ptrdiff_t offset_before = offset_;
        r = parse(body, depth + 1);
        if (!r.ok()) {
            return r;
        }
        if (items_ == items_before) {
            // Only pads: every further repetition adds the same offset.
            offset_ = sat_add(offset_, sat_mul(offset_ - offset_before, times - 1));
            return {};
        }
        // With an item inside, a second repetition already decides the
        // outcome (a second item is refused); more would change nothing.
        return times > 1 ? parse(body, depth + 1) : Result{};
    }

    // "(e1,e2,...)" at s[i]: the expected item has no array extents.
    Result array(std::string_view s, std::size_t &i) {
        if (count_ != 1) {
            return fail(Result::Kind::repeated_array);
        }
        if (run_.active || matched_) {
            return malformed("array extents after the item in format string");
        }
        ++i;
        std::ptrdiff_t extents = 0;
        while (true) {
            if (i >= s.size()) {
                return fail(Result::Kind::unterminated_array);
            }
            if (s[i] == ')' && extents == 0) {
                ++i;
                break;
            }
            if (!is_digit(s[i])) {
                return fail(Result::Kind::unknown_character, s[i]);
            }
            read_number(s, i);
            ++extents;
            if (i >= s.size()) {
                return fail(Result::Kind::unterminated_array);
            }
            if (s[i] == ')') {
                ++i;
                break;
            }
            if (s[i] != ',') {
                return fail(Result::Kind::expected_comma, s[i]);
            }
            ++i;
        }
        if (extents != 0) {
            Result r = fail(Result::Kind::array_dimensions);
            r.extents = extents;
            return r;
        }
        return {};
    }

    const ItemDescriptor &item_;
    char mode_ = '@';
    Run run_;
    std::ptrdiff_t count_ = 1;
    std::ptrdiff_t offset_ = 0;
    std::ptrdiff_t items_ = 0;
    bool matched_ = false;
};

}  // namespace

Result check(std::string_view format, const ItemDescriptor &item) noexcept {
    Checker checker(item);
    Result r = checker.parse(format, 0);
    return r.ok() ? checker.finish() : r;
}

}  // namespace qulo::format
