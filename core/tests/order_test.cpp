// The order of a window of messages: longest first, equal sizes in the
// caller's order, settled messages left out, against a stable sort by size
// class, for both ways of ordering (a scan per place, a counting sort) and
// both ways of placing (block counts a vector at a time, size classes).
#include "lanes/order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using qulo::Dir;
using namespace qulo::batch;

struct Window {
    const char *name;
    int size;          // messages in the window
    int64_t shortest;  // source lengths uniform in [shortest, longest) (decryption: whole blocks)
    int64_t longest;
    int settled_in;    // one message in this many is settled (0: none)
};

// The window's pending offsets by falling size class, a stable sort.
template <Dir D>
std::vector<int> reference(const std::vector<int64_t> &len, const std::vector<int64_t> &result) {
    std::vector<int> k;
    for (int i = 0; i < static_cast<int>(len.size()); ++i) {
        if (result[static_cast<size_t>(i)] == kPending) {
            k.push_back(i);
        }
    }
    const auto cls = [&](int i) { return size_class(blocks_of<D>(len[static_cast<size_t>(i)])); };
    std::stable_sort(k.begin(), k.end(), [&](int a, int b) { return cls(a) > cls(b); });
    return k;
}

template <Dir D>
void expect_order(const Window &w, std::mt19937 &rng) {
    std::vector<int64_t> len(static_cast<size_t>(w.size));
    std::vector<int64_t> result(len.size(), kPending);
    for (size_t i = 0; i < len.size(); ++i) {
        const int64_t n =
            w.shortest + static_cast<int64_t>(rng() % static_cast<uint64_t>(w.longest - w.shortest));
        len[i] = D == Dir::encrypt ? n : 16 + n / 8 * 8;
        if (w.settled_in != 0 && rng() % static_cast<uint32_t>(w.settled_in) == 0) {
            result[i] = -3;
        }
    }
    uint8_t place[kWindow];
    const Places found = places_of<D>(len.data(), result.data(), w.size, place);
    const std::vector<int> want = reference<D>(len, result);
    ASSERT_FALSE(found.equal_lengths);
    ASSERT_LT(found.lowest, found.highest);
    uint8_t order[kWindow];
    const int n = order_by_place(place, found.lowest, found.highest, order);
    EXPECT_EQ(std::vector<int>(order, order + n), want);
}

TEST(WindowOrder, LongestFirstEqualSizesInTheCallersOrder) {
    const Window windows[] = {
        {"short messages, scanned", 256, 0, 128, 0},
        {"short messages, some settled", 256, 0, 128, 5},
        {"a first window of 7", 7, 0, 128, 0},
        {"a first window of 255, settled", 255, 0, 300, 3},
        {"long messages, counted", 256, 0, 4096, 0},
        {"every class, counted, settled", 256, 0, 1 << 20, 4},
        {"either side of 64 blocks: classes, scanned", 100, 480, 600, 0},
    };
    std::mt19937 rng(29);
    for (const Window &w : windows) {
        SCOPED_TRACE(w.name);
        expect_order<Dir::encrypt>(w, rng);
        expect_order<Dir::decrypt>(w, rng);
    }
}

}  // namespace
