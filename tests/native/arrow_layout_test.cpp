// The layout of Arrow binary arrays as the batch module reads and writes it:
// the check of what a caller hands over, the re-based validity bitmap and
// the offsets of the ciphertexts.
#include "binding/batch/arrow_layout.hpp"
#include "qulo/mode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using qulo::arrow::BinaryChunk;

// Offsets of either width, as bytes.
std::vector<uint8_t> offsets_of(const std::vector<int64_t> &values, int width) {
    std::vector<uint8_t> bytes(values.size() * static_cast<size_t>(width));
    for (size_t i = 0; i < values.size(); ++i) {
        qulo::arrow::store_offset(bytes.data(), width, static_cast<int64_t>(i), values[i]);
    }
    return bytes;
}

// The check's verdict: accepted (null) when no complaint is expected,
// otherwise a text that contains it.
void expect_complaint(const char *got, const char *complaint) {
    if (complaint == nullptr) {
        EXPECT_EQ(got, nullptr) << got;
    } else {
        ASSERT_NE(got, nullptr);
        EXPECT_NE(std::string(got).find(complaint), std::string::npos) << got;
    }
}

struct Layout {
    std::vector<uint8_t> validity, offsets, data;

    BinaryChunk chunk(int64_t length, int64_t offset, int width) const {
        BinaryChunk c;
        c.length = length;
        c.offset = offset;
        c.width = width;
        if (!validity.empty()) {
            c.validity = {validity.data(), static_cast<int64_t>(validity.size())};
        }
        c.offsets = {offsets.data(), static_cast<int64_t>(offsets.size())};
        c.data = {data.data(), static_cast<int64_t>(data.size())};
        return c;
    }
};

struct CheckCase {
    const char *name;
    std::vector<int64_t> offsets;
    int64_t length, offset, data_size;
    std::vector<uint8_t> validity;
    const char *complaint;  // null: accepted
};

class ArrowCheck : public ::testing::TestWithParam<std::tuple<CheckCase, int>> {};

TEST_P(ArrowCheck, RefusesWhatTheBuffersDoNotHold) {
    const auto &[c, width] = GetParam();
    Layout l{c.validity, offsets_of(c.offsets, width),
             std::vector<uint8_t>(static_cast<size_t>(c.data_size))};
    const char *got = qulo::arrow::check(l.chunk(c.length, c.offset, width));
    expect_complaint(got, c.complaint);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArrowCheck,
    ::testing::Combine(
        ::testing::Values(
            CheckCase{"whole", {0, 3, 3, 8}, 3, 0, 8, {}, nullptr},
            CheckCase{"slice", {0, 3, 3, 8}, 2, 1, 8, {0x07}, nullptr},
            CheckCase{"empty", {}, 0, 0, 0, {}, nullptr},
            CheckCase{"past_data", {0, 3, 9}, 2, 0, 8, {}, "past the data"},
            CheckCase{"decreasing", {0, 5, 4}, 2, 0, 8, {}, "decrease"},
            CheckCase{"negative", {-1, 4}, 1, 0, 8, {}, "negative"},
            CheckCase{"short_offsets", {0, 1, 2}, 3, 0, 8, {}, "offsets buffer is shorter"},
            CheckCase{"short_slice", {0, 1, 2}, 2, 1, 8, {}, "offsets buffer is shorter"},
            CheckCase{"short_bitmap", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 9, 0, 9, {0xFF},
                      "validity bitmap"},
            // Ranges near the end of int64_t: refused, never overflowed.
            CheckCase{"offset_at_the_limit", {0, 1}, 1, INT64_MAX - 1, 8, {}, "largest offset"},
            CheckCase{"length_at_the_limit", {0, 1}, INT64_MAX, 1, 8, {}, "largest offset"},
            CheckCase{"end_at_the_limit", {0, 1}, 2, INT64_MAX - 3, 8, {0xFF},
                      "validity bitmap"},
            CheckCase{"huge_slice_no_bitmap", {0, 1}, 2, INT64_MAX - 3, 8, {},
                      "offsets buffer is shorter"}),
        ::testing::Values(4, 8)),
    [](const auto &param_info) {
        return std::string(std::get<0>(param_info.param).name) + "_w" +
               std::to_string(std::get<1>(param_info.param));
    });

TEST(ArrowCheck, RefusesOtherWidthsAndNegativeSlices) {
    Layout l{{}, offsets_of({0, 1}, 4), {1}};
    EXPECT_NE(qulo::arrow::check(l.chunk(1, 0, 2)), nullptr);
    EXPECT_NE(qulo::arrow::check(l.chunk(-1, 0, 4)), nullptr);
    EXPECT_NE(qulo::arrow::check(l.chunk(1, -1, 4)), nullptr);
}

TEST(ArrowValidity, IsRebasedToBitZeroWithItsNullsCounted) {
    // 24 elements; element k valid unless k % 3 == 0.
    std::vector<uint8_t> bits(3, 0);
    for (int k = 0; k < 24; ++k) {
        qulo::arrow::set_bit(bits.data(), k, k % 3 != 0);
    }
    for (const int64_t offset : {0, 3, 8, 13}) {
        for (const int64_t length : {1, 7, 8, 9, 11}) {
            if (offset + length > 24) {
                continue;
            }
            Layout l{bits, offsets_of(std::vector<int64_t>(25, 0), 4), {}};
            const BinaryChunk c = l.chunk(length, offset, 4);
            std::vector<uint8_t> out(static_cast<size_t>((length + 7) / 8), 0xEE);
            const int64_t nulls = qulo::arrow::copy_validity(c, out.data());
            int64_t want_nulls = 0;
            for (int64_t i = 0; i < length; ++i) {
                const bool valid = (offset + i) % 3 != 0;
                want_nulls += valid ? 0 : 1;
                EXPECT_EQ(qulo::arrow::get_bit(out.data(), i), valid)
                    << "offset " << offset << " length " << length << " bit " << i;
            }
            for (int64_t i = length; i < static_cast<int64_t>(out.size()) * 8; ++i) {
                EXPECT_FALSE(qulo::arrow::get_bit(out.data(), i)) << "padding bit " << i;
            }
            EXPECT_EQ(nulls, want_nulls) << "offset " << offset << " length " << length;
        }
    }
}

// Each valid value as the layout hands it over: (start, n, at, size).
using Visit = std::tuple<int64_t, int64_t, int64_t, int64_t>;

int64_t lay_out(const BinaryChunk &c, std::vector<uint8_t> &offsets, std::vector<Visit> &seen) {
    offsets.assign(static_cast<size_t>((c.length + 1) * c.width), 0xEE);
    const qulo_op encrypt{QULO_ENCRYPT, QULO_BIG_ENDIAN, nullptr, 0};
    return qulo::arrow::output_offsets(
        c, offsets.data(), [&encrypt](int64_t n) { return qulo_output_capacity(&encrypt, n); },
        [&seen](int64_t start, int64_t n, int64_t at, int64_t size) {
            seen.emplace_back(start, n, at, size);
        });
}

class ArrowCiphertextOffsets : public ::testing::TestWithParam<int> {};

TEST_P(ArrowCiphertextOffsets, GiveEachValueItsCiphertextAndNullsNothing) {
    const int width = GetParam();
    // Values of 0, 7, 6, 64 and 15 bytes; the third is null.
    Layout l{{0x1B}, offsets_of({0, 0, 7, 13, 77, 92}, width), std::vector<uint8_t>(92)};
    std::vector<uint8_t> out;
    std::vector<Visit> seen;
    const BinaryChunk whole = l.chunk(5, 0, width);
    EXPECT_EQ(lay_out(whole, out, seen), 16 + 24 + 80 + 32);
    const int64_t want[] = {0, 16, 40, 40, 120, 152};
    for (int64_t i = 0; i < 6; ++i) {
        EXPECT_EQ(qulo::arrow::load_offset(out.data(), width, i), want[i]) << "offset " << i;
    }
    EXPECT_EQ(seen, (std::vector<Visit>{{0, 0, 0, 16}, {0, 7, 16, 24}, {13, 64, 40, 80},
                                        {77, 15, 120, 32}}));
    // The slice of the last two: one value of 64 bytes, one of 15.
    seen.clear();
    EXPECT_EQ(lay_out(l.chunk(2, 3, width), out, seen), 80 + 32);
    EXPECT_EQ(qulo::arrow::load_offset(out.data(), width, 1), 80);
    EXPECT_EQ(seen, (std::vector<Visit>{{13, 64, 0, 80}, {77, 15, 80, 32}}));
}

TEST_P(ArrowCiphertextOffsets, AnEmptySliceNeedsNoOffsetsBuffer) {
    const int width = GetParam();
    BinaryChunk c;
    c.width = width;
    std::vector<uint8_t> out;
    std::vector<Visit> seen;
    EXPECT_EQ(lay_out(c, out, seen), 0);
    EXPECT_EQ(qulo::arrow::load_offset(out.data(), width, 0), 0);
    EXPECT_TRUE(seen.empty());
}

INSTANTIATE_TEST_SUITE_P(Widths, ArrowCiphertextOffsets, ::testing::Values(4, 8));

TEST(ArrowCiphertextOffsets, ThoseABinaryArrayCannotAddressAreRefused) {
    // Two values that fit a binary array as plaintexts, but whose
    // ciphertexts together pass 2 GiB; large_binary takes them.
    const int64_t half = int64_t{1} << 30;
    for (const int width : {4, 8}) {
        Layout l{{}, offsets_of({0, half - 9, 2 * half - 18}, width), {}};
        std::vector<uint8_t> out;
        std::vector<Visit> seen;
        EXPECT_EQ(lay_out(l.chunk(2, 0, width), out, seen), width == 4 ? -1 : 2 * half + 16)
            << "width " << width;
    }
}

// ---- binary_view and what the C data interface hands over ------------------------

// A view of (length, buffer, offset), inline bytes zero.
std::vector<uint8_t> view(int32_t n, int32_t buffer, int32_t at) {
    std::vector<uint8_t> v(16, 0);
    std::memcpy(v.data(), &n, 4);
    std::memcpy(v.data() + 8, &buffer, 4);
    std::memcpy(v.data() + 12, &at, 4);
    return v;
}

struct ViewCase {
    const char *name;
    int32_t n, buffer, at;
    bool null;               // the element is null: its view is never read
    const char *complaint;   // null: accepted
};

class ViewCheck : public ::testing::TestWithParam<ViewCase> {};

TEST_P(ViewCheck, RefusesViewsOutsideTheirBuffers) {
    const ViewCase &c = GetParam();
    const std::vector<uint8_t> data(26, 'x');
    const uint8_t *buffers[] = {data.data()};
    const int64_t sizes[] = {26};
    const std::vector<uint8_t> v = view(c.n, c.buffer, c.at);
    const uint8_t validity = c.null ? 0 : 1;
    qulo::arrow::ViewChunk chunk;
    chunk.length = 1;
    chunk.validity = {&validity, 1};
    chunk.views = v.data();
    chunk.buffers = buffers;
    chunk.sizes = sizes;
    chunk.n_buffers = 1;
    const char *got = qulo::arrow::check(chunk);
    expect_complaint(got, c.complaint);
}

INSTANTIATE_TEST_SUITE_P(
    Views, ViewCheck,
    ::testing::Values(ViewCase{"inline", 12, 99, -1, false, nullptr},
                      ViewCase{"whole_buffer", 26, 0, 0, false, nullptr},
                      ViewCase{"null_garbage", -1, 99, -1, true, nullptr},
                      ViewCase{"negative_length", -1, 0, 0, false, "negative"},
                      ViewCase{"no_such_buffer", 13, 1, 0, false, "not there"},
                      ViewCase{"negative_buffer", 13, -1, 0, false, "not there"},
                      ViewCase{"past_end", 13, 0, 14, false, "past its data buffer"},
                      ViewCase{"negative_offset", 13, 0, -1, false, "past its data buffer"},
                      ViewCase{"offset_near_int32_max", 13, 0, INT32_MAX, false,
                               "past its data buffer"}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(ViewPlacer, StartsANewBufferBeforeAValuePasses2GiB) {
    qulo::arrow::ViewPlacer placer;
    const int64_t big = int64_t{1} << 30;
    const auto a = placer.place(big);
    const auto b = placer.place(big - 1);
    const auto c = placer.place(2);  // would end past INT32_MAX
    EXPECT_EQ(a.buffer, 0);
    EXPECT_EQ(b.buffer, 0);
    EXPECT_EQ(b.at, big);
    EXPECT_EQ(c.buffer, 1);
    EXPECT_EQ(c.at, 0);
    EXPECT_EQ(c.block, 2 * big - 1);
    EXPECT_EQ(placer.buffers(), 2);
    EXPECT_EQ(placer.total(), 2 * big + 1);
}

struct DescribeCase {
    const char *name;
    const char *format;
    int64_t n_buffers, n_children, null_count;
    bool accepted;
};

class Describe : public ::testing::TestWithParam<DescribeCase> {};

TEST_P(Describe, ReadsOnlyUnnestedBinaryColumnsOfTheirBufferCount) {
    const DescribeCase &c = GetParam();
    ArrowSchema schema{c.format, "", nullptr, 2, 0, nullptr, nullptr, nullptr, nullptr};
    qulo::arrow::ColumnType type;
    if (qulo::arrow::read_type(schema, type) != qulo::arrow::TypeRefusal::none) {
        EXPECT_FALSE(c.accepted);
        return;
    }
    const qulo::arrow::Format format = type.format;
    const std::vector<uint8_t> offsets = offsets_of({0, 0}, 8);
    const int64_t sizes[] = {0};
    const void *buffers[] = {nullptr, offsets.data(), sizes, sizes};
    ArrowArray array{0, c.null_count, 0, c.n_buffers, c.n_children, buffers,
                     nullptr, nullptr, nullptr, nullptr};
    qulo::arrow::Chunk chunk;
    EXPECT_EQ(qulo::arrow::describe(format, array, chunk) == nullptr, c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Describe,
    ::testing::Values(DescribeCase{"binary", "z", 3, 0, 0, true},
                      DescribeCase{"large_binary", "Z", 3, 0, 0, true},
                      DescribeCase{"view_no_data_buffer", "vz", 3, 0, 0, true},
                      DescribeCase{"view_one_data_buffer", "vz", 4, 0, 0, true},
                      DescribeCase{"string", "u", 3, 0, 0, true},
                      DescribeCase{"string_view", "vu", 3, 0, 0, true},
                      DescribeCase{"fixed_size", "w:4", 2, 0, 0, false},
                      DescribeCase{"prefix_of_a_format", "v", 3, 0, 0, false},
                      DescribeCase{"binary_four_buffers", "z", 4, 0, 0, false},
                      DescribeCase{"view_two_buffers", "vz", 2, 0, 0, false},
                      DescribeCase{"children", "z", 3, 1, 0, false},
                      DescribeCase{"nulls_without_bitmap", "Z", 3, 0, 1, false}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(ReadType, NamesWhyAColumnIsRefused) {
    using qulo::arrow::TypeRefusal;
    ArrowSchema dictionary{"i", "", nullptr, 2, 0, nullptr, nullptr, nullptr, nullptr};
    ArrowSchema values{"u", "", nullptr, 2, 0, nullptr, nullptr, nullptr, nullptr};
    dictionary.dictionary = &values;
    const std::pair<ArrowSchema, TypeRefusal> rows[] = {
        {{"+s", "", nullptr, 2, 1, nullptr, nullptr, nullptr, nullptr}, TypeRefusal::table},
        {dictionary, TypeRefusal::dictionary},
        {{"w:16", "", nullptr, 2, 0, nullptr, nullptr, nullptr, nullptr}, TypeRefusal::fixed_size},
        {{"+l", "", nullptr, 2, 1, nullptr, nullptr, nullptr, nullptr}, TypeRefusal::other},
        {{"U", "", nullptr, 2, 0, nullptr, nullptr, nullptr, nullptr}, TypeRefusal::none},
    };
    for (const auto &[schema, refusal] : rows) {
        qulo::arrow::ColumnType type;
        EXPECT_EQ(qulo::arrow::read_type(schema, type), refusal) << schema.format;
    }
}

TEST(ValidUtf8, AcceptsWellFormedTextOnly) {
    const std::pair<std::string, bool> rows[] = {
        {"", true}, {"plain ascii, longer than a word", true},
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91", true},
        {"\xc0\xaf", false},          // overlong
        {"\xe0\x80\xaf", false},      // overlong, three bytes
        {"\xed\xa0\x80", false},      // a surrogate
        {"\xf4\x90\x80\x80", false},  // past U+10FFFF
        {"abcdefgh\x80", false},       // a lone continuation after a word of ASCII
        {"\xe2\x82", false},           // cut
        {"\xff", false},
    };
    for (const auto &[text, valid] : rows) {
        EXPECT_EQ(qulo::arrow::valid_utf8(reinterpret_cast<const uint8_t *>(text.data()),
                                          static_cast<int64_t>(text.size())),
                  valid)
            << text;
    }
}

}  // namespace
