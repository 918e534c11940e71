// The buffer format check on arbitrary strings: a clean result or a refusal,
// never a crash, a hang or a read past the string, which is handed over as
// an exact-size heap copy with no terminator.
#include "common.hpp"

#include "format_check.hpp"

#include <string_view>

namespace {

// Reads every byte a result points at, so a dangling view is reported.
unsigned touch(const qulo::format::Result &r) {
    unsigned sum = 0;
    for (char c : r.got) {
        sum += static_cast<unsigned char>(c);
    }
    for (char c : r.detail) {
        sum += static_cast<unsigned char>(c);
    }
    return sum;
}

bool same_outcome(const qulo::format::Result &a, const qulo::format::Result &b) {
    return a.kind == b.kind && a.character == b.character &&
           a.expected_is_name == b.expected_is_name && a.got == b.got && a.offset == b.offset &&
           a.extents == b.extents;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace fuzz;
    using qulo::format::check;
    const Buffer exact(std::span<const uint8_t>(data, size));
    const std::string_view format(reinterpret_cast<const char *>(exact.data()), size);

    const auto as_const = check(format, qulo::format::kConstByte);
    const auto as_writable = check(format, qulo::format::kByte);
    volatile unsigned sink = touch(as_const) + touch(as_writable);
    (void)sink;
    // Both kinds describe one unsigned byte: only the name in messages differs.
    require(same_outcome(as_const, as_writable), "read-only and writable kinds disagree");
    if (as_const.ok()) {
        require(format.find_first_of("Bc?") != std::string_view::npos,
                "accepted a format without a fitting item code");
    }

    // Leading white space is skipped: the outcome is the same.
    Buffer spaced(size + 1);
    spaced.data()[0] = ' ';
    if (size > 0) {
        std::memcpy(spaced.data() + 1, exact.data(), size);
    }
    const auto prefixed = check(
        std::string_view(reinterpret_cast<const char *>(spaced.data()), size + 1),
        qulo::format::kConstByte);
    require(same_outcome(as_const, prefixed),
            "a leading space changed the outcome");
    return 0;
}
