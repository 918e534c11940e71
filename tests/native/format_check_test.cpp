// The format check of exported buffers: which struct-style format strings
// describe exactly one one-byte unsigned (or char) item, and what each
// refusal carries for its message.
//
// Every format is handed over in a heap block of exactly its own size, with
// no terminator behind it, so a read past the end shows under ASan.

#include "binding/common/format_check.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using qulo::format::check;
using qulo::format::ItemDescriptor;
using qulo::format::kByte;
using qulo::format::kConstByte;
using qulo::format::Result;
using Kind = Result::Kind;

// The format in memory that ends exactly where the string does.
class ExactFormat {
public:
    explicit ExactFormat(std::string_view s) : bytes_(s.begin(), s.end()) {}
    std::string_view view() const { return {bytes_.data(), bytes_.size()}; }

private:
    std::vector<char> bytes_;
};

Result check_exact(std::string_view format, const ItemDescriptor &item) {
    const ExactFormat exact(format);
    return check(exact.view(), item);
}

// What a refusal must carry; fields that do not belong to the kind stay at
// their defaults and are not compared.
struct Row {
    std::string_view format;
    Kind kind;
    char character = 0;           // unknown_character, unexpected_after_z, expected_comma
    bool expected_is_name = false;  // dtype_mismatch
    std::string_view got{};         // dtype_mismatch
    std::ptrdiff_t offset = 0;      // field_offset
    std::ptrdiff_t extents = 0;     // array_dimensions
};

std::string printable(std::string_view s) {
    std::string out;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

void PrintTo(const Row &row, std::ostream *os) { *os << '"' << printable(row.format) << '"'; }

Row ok(std::string_view f) { return {f, Kind::ok}; }
Row big_endian(std::string_view f) { return {f, Kind::big_endian}; }
Row unknown(std::string_view f, char c) { return {f, Kind::unknown_character, c}; }
Row after_z(std::string_view f) { return {f, Kind::unexpected_after_z, 'Z'}; }
Row brace(std::string_view f) { return {f, Kind::expected_brace}; }
// Expected the descriptor (quoted, by name), got `got`.
Row not_item(std::string_view f, std::string_view got) {
    return {f, Kind::dtype_mismatch, 0, true, got};
}
// Expected the end of the string, got a further item `got`.
Row extra(std::string_view f, std::string_view got) {
    return {f, Kind::dtype_mismatch, 0, false, got};
}
Row offset(std::string_view f, std::ptrdiff_t at) { return {f, Kind::field_offset, 0, false, {}, at}; }
Row repeated(std::string_view f) { return {f, Kind::repeated_array}; }
Row dims(std::string_view f, std::ptrdiff_t n) {
    return {f, Kind::array_dimensions, 0, false, {}, 0, n};
}
Row comma(std::string_view f, char c) { return {f, Kind::expected_comma, c}; }
Row unterminated(std::string_view f) { return {f, Kind::unterminated_array}; }

void expect_row(const Row &row, const ItemDescriptor &item) {
    const Result r = check_exact(row.format, item);
    ASSERT_EQ(r.kind, row.kind) << "format \"" << printable(row.format) << "\", item "
                                << item.name;
    switch (row.kind) {
    case Kind::unknown_character:
    case Kind::unexpected_after_z:
    case Kind::expected_comma:
        EXPECT_EQ(r.character, row.character);
        break;
    case Kind::dtype_mismatch:
        EXPECT_EQ(r.expected_is_name, row.expected_is_name);
        EXPECT_EQ(r.got, row.got);
        break;
    case Kind::field_offset:
        EXPECT_EQ(r.offset, row.offset);
        break;
    case Kind::array_dimensions:
        EXPECT_EQ(r.extents, row.extents);
        break;
    default:
        break;
    }
}

class FormatRow : public testing::TestWithParam<Row> {};

// Both kinds of view judge formats alike; only the name in the message
// differs, and that is the binding's business.
TEST_P(FormatRow, OutcomeForBothKinds) {
    expect_row(GetParam(), kConstByte);
    expect_row(GetParam(), kByte);
}

// Cutting a format anywhere (inside "T{", "(", ":" or after 'Z') must give
// an answer without reading past the cut.
TEST_P(FormatRow, EveryPrefixIsJudgedWithinItsBounds) {
    const std::string_view f = GetParam().format;
    for (std::size_t n = 0; n <= f.size(); ++n) {
        const Result r = check_exact(f.substr(0, n), kConstByte);
        if (r.kind == Kind::dtype_mismatch) {
            EXPECT_FALSE(r.got.empty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Accepted, FormatRow, testing::Values(
    ok("B"), ok("@B"), ok("=B"), ok("^B"), ok("<B"), ok("1B"), ok(" B"),
    ok("c"), ok("@c"), ok("=c"), ok("^c"), ok("<c"), ok("1c"), ok(" c"),
    ok("?"), ok("@?"), ok("=?"), ok("^?"), ok("<?"), ok("1?"), ok(" ?"),
    ok("T{B}"), ok("B:name:"), ok(":name:B"), ok("T{:f:c}"), ok("T{T{?}}"),
    // Field names are skipped whatever they hold, braces too, inside structs
    // as outside (ctypes names fields after the structure's members).
    ok("T{<B:a}b:}"), ok("T{B:{:}"), ok("T{:}{:B}"), ok("T{T{B:}}:}}"), ok("B:}{:"),
    ok("\r\n B \r\n"), ok("B@"), ok("<=^@B"),
    // Pads after the item pass here; the item size refuses them later.
    ok("Bx"), ok("B3x"), ok("T{B}x"),
    // A zero count adds nothing to its run.
    ok("B0B"), ok("0BB"), ok("2T{0B}B")));

INSTANTIATE_TEST_SUITE_P(BigEndian, FormatRow, testing::Values(
    big_endian(">B"), big_endian("!B"), big_endian("B>"), big_endian("T{!B}"),
    big_endian(">I"), big_endian("!")));

INSTANTIATE_TEST_SUITE_P(ItemDoesNotFit, FormatRow, testing::Values(
    not_item("b", "'signed char'"), not_item("<b", "'signed char'"),
    not_item("s", "a string"), not_item("p", "a string"), not_item("2s", "a string"),
    not_item("h", "'short'"), not_item("H", "'unsigned short'"),
    not_item("i", "'int'"), not_item("I", "'unsigned int'"), not_item("=I", "'unsigned int'"),
    not_item("l", "'long'"), not_item("L", "'unsigned long'"),
    not_item("q", "'long long'"), not_item("Q", "'unsigned long long'"),
    not_item("f", "'float'"), not_item("d", "'double'"), not_item("g", "'long double'"),
    not_item("Zf", "'complex float'"), not_item("Zd", "'complex double'"),
    not_item("Zg", "'complex long double'"), not_item("O", "Python object"),
    not_item("T{I}", "'unsigned int'"), not_item("bB", "'signed char'")));

INSTANTIATE_TEST_SUITE_P(NoItem, FormatRow, testing::Values(
    not_item("", "end"), not_item(" ", "end"), not_item("@", "end"), not_item("x", "end"),
    not_item("T{}", "end"), not_item(":name:", "end")));

INSTANTIATE_TEST_SUITE_P(MoreThanOneItem, FormatRow, testing::Values(
    extra("2B", "'unsigned char'"), extra("BB", "'unsigned char'"),
    extra("B B", "'unsigned char'"), extra("B=B", "'unsigned char'"),
    extra("Bc", "'char'"), extra("cc", "'char'"), extra("2?", "'bool'"),
    extra("BI", "'unsigned int'"), extra("Bb", "'signed char'"), extra("BZf", "'complex float'"),
    extra("T{B}B", "'unsigned char'"), extra("2T{B}", "'unsigned char'"),
    extra("T{2B}", "'unsigned char'"), extra("BxB", "'unsigned char'"),
    // The item joins a run begun at zero; repeating the struct repeats it.
    extra("2T{0BB}", "'unsigned char'"), extra("2T{0BB0B}", "'unsigned char'")));

INSTANTIATE_TEST_SUITE_P(PadBeforeItem, FormatRow, testing::Values(
    offset("xB", 1), offset("3xB", 3), offset("xxc", 2), offset("x?", 1),
    offset("T{x}B", 1), offset("2T{x}B", 2), offset("3T{2x}B", 6)));

INSTANTIATE_TEST_SUITE_P(UnknownCharacter, FormatRow, testing::Values(
    unknown("u", 'u'), unknown("w", 'w'), unknown("P", 'P'), unknown("e", 'e'),
    unknown("\tB", '\t'), unknown("B\t", '\t'), unknown("\vB", '\v'), unknown("{B}", '{'),
    unknown("a", 'a'), unknown("\xff", '\xff'), unknown(std::string_view("\0B", 2), '\0')));

INSTANTIATE_TEST_SUITE_P(Complex, FormatRow, testing::Values(
    after_z("Zx"), after_z("Z"), after_z("ZB"), after_z("ZZf"), after_z("BZ")));

INSTANTIATE_TEST_SUITE_P(Struct, FormatRow, testing::Values(
    brace("T"), brace("TB"), brace("T {B}"), brace("BT")));

INSTANTIATE_TEST_SUITE_P(Array, FormatRow, testing::Values(
    dims("(2)B", 1), dims("(1)B", 1), dims("(2,3)B", 2), dims("(2,3,4)c", 3),
    repeated("2(1)B"), repeated("3(2,2)B"),
    unknown("(a)", 'a'), unknown("(2,a)", 'a'), unknown("(-1)B", '-'),
    comma("(2x", 'x'), comma("(2;3)B", ';'), comma("(2B", 'B'),
    unterminated("("), unterminated("(2"), unterminated("(2,"), unterminated("(2,3")));

// Strings no usual exporter produces: any refusal will do, but a refusal
// it must be.
class MalformedFormat : public testing::TestWithParam<std::string_view> {};

TEST_P(MalformedFormat, IsRefused) {
    const Result r = check_exact(GetParam(), kConstByte);
    EXPECT_FALSE(r.ok()) << "format \"" << printable(GetParam()) << '"';
}

INSTANTIATE_TEST_SUITE_P(LeftOpen, MalformedFormat, testing::Values(
    // a field name missing its closing ':'
    "B:name", ":", ":B", "T{B:x}", "T{B:}", "T{B:x}}",
    // white space inside array extents
    "( 2)B", "(2 )B", "(2, 3)B", "(\n2)B",
    // array extents after the matched item
    "B(2)", "B()", "T{B}(2)",
    // '}' without 'T{'
    "}", "B}", "T{B}}", "}B",
    // 'T{' without '}'
    "T{B", "T{", "T{T{B}"));

// Absurd counts saturate and absurd nesting is cut off; either way the
// answer comes after one pass over the string.
TEST(FormatCheckBounds, HugeCounts) {
    const std::string nines(5000, '9');
    expect_row(extra(nines + "B", "'unsigned char'"), kConstByte);
    expect_row(extra("18446744073709551617B", "'unsigned char'"), kConstByte);

    Result r = check_exact(nines + "xB", kConstByte);
    EXPECT_EQ(r.kind, Kind::field_offset);
    EXPECT_GT(r.offset, 0);

    r = check_exact(nines + "T{" + nines + "x}B", kConstByte);
    EXPECT_EQ(r.kind, Kind::field_offset);
    EXPECT_GT(r.offset, 0);

    expect_row(extra(nines + "T{B}", "'unsigned char'"), kConstByte);
    expect_row(repeated(nines + "(1)B"), kConstByte);
    r = check_exact("(" + nines + ")B", kConstByte);
    EXPECT_EQ(r.kind, Kind::array_dimensions);
    EXPECT_EQ(r.extents, 1);
}

TEST(FormatCheckBounds, LongStrings) {
    const std::size_t n = 1'000'000;
    expect_row(offset(std::string(n, 'x') + "B", static_cast<std::ptrdiff_t>(n)), kConstByte);
    expect_row(extra(std::string(n, 'B'), "'unsigned char'"), kConstByte);
    // 's' runs never merge, so the first one is closed, and refused, at once.
    expect_row(not_item(std::string(n, 's'), "a string"), kConstByte);
    expect_row(not_item(std::string(n, ' '), "end"), kConstByte);
    expect_row(not_item(std::string(n, '@'), "end"), kConstByte);

    std::string commas = "(";
    for (std::size_t i = 0; i < n / 2; ++i) {
        commas += "1,";
    }
    commas += "1)B";
    const Result r = check_exact(commas, kConstByte);
    EXPECT_EQ(r.kind, Kind::array_dimensions);
    EXPECT_EQ(r.extents, static_cast<std::ptrdiff_t>(n / 2 + 1));
}

std::string nested(std::size_t depth, std::string_view open, std::string_view inner) {
    std::string s;
    for (std::size_t i = 0; i < depth; ++i) {
        s += open;
    }
    s += inner;
    s.append(depth, '}');
    return s;
}

TEST(FormatCheckBounds, DeepNesting) {
    for (const std::size_t depth : {100, 100'000}) {
        SCOPED_TRACE(depth);
        for (const std::string_view open : {"T{", "2T{", "99999T{"}) {
            for (const std::string_view inner : {"B", "x", "0B", "2x", ""}) {
                EXPECT_FALSE(check_exact(nested(depth, open, inner), kConstByte).ok())
                    << open << " ... " << inner;
            }
        }
        // Unclosed all the way down.
        std::string open_only;
        for (std::size_t i = 0; i < depth; ++i) {
            open_only += "T{";
        }
        EXPECT_FALSE(check_exact(open_only + "B", kConstByte).ok());
    }
}

// Repetition at every level of a modest nesting must not multiply the work:
// the outcome is known after the second repetition of a struct with an item.
TEST(FormatCheckBounds, RepeatedNestedStructs) {
    for (const std::string_view inner : {"B", "0B", "x", "Bx"}) {
        const Result r = check_exact(nested(24, "2T{", inner), kConstByte);
        EXPECT_FALSE(r.ok()) << inner;
    }
    const Result r = check_exact(nested(20, "1T{", "B"), kConstByte);
    EXPECT_TRUE(r.ok());
}

}  // namespace
