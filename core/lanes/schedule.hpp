// The lanes of a kernel and their schedule: which message each lane
// carries, where its blocks are read and written, and the step that moves
// every lane's chain one block on. Internal linkage, as everything of the
// kernels (see batch_kernels.hpp).
//
// The blocks pass through a ring of three slots, each holding one block per
// lane, lane after lane, as the block lies in its message. A step splits its
// slot into vector halves, runs the chains, and leaves its results in a
// slot; while the transform runs, each lane's next block is copied from its
// message into the ring and its previous result from the ring into its
// output, a plain 8-byte load and store per lane, spread over the cycles so
// that the core always has cipher work beside them. A lane is thus read one
// step ahead of the chains and written one step behind: its input side and
// its output side move on to the next message at steps of their own.
//
// Between steps only lanes at an event are looked at (found by comparing
// the lanes' event steps a vector at a time): a lane whose input run ends
// takes its next run or message, a lane whose output side reaches a new
// message finishes the one before. Messages of mixed lengths therefore cost
// little beyond their own work; and they are taken 256 at a time, longest
// first, so that lanes free at one step take messages that end together
// again (sharing their passes) and run out of work at about the same time.
#pragma once

#include "job.hpp"
#include "layout.hpp"
#include "order.hpp"
#include "padding.hpp"
#include "transform.hpp"
#include "qulo/block.hpp"
#include "qulo/mode.h"
#include "qulo/move_down.hpp"
#include "qulo/operation.hpp"
#include "qulo/secret.hpp"

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace qulo::batch {
namespace {

// An idle lane steps over a scratch area of this many blocks, again and
// again (its input runs are two blocks shorter: its output side follows a
// step or two later).
constexpr int32_t kIdleBlocks = 32;

// The step count is 64-bit; a lane keeps the steps of its events in 32 bits,
// compared as (wrapping) distances from the current step. The driver hands
// the lanes no message longer than kLaneMaxLength, so no run comes near
// half the 32-bit range.
static_assert(kLaneMaxLength / kBlock + kIdleBlocks < INT32_MAX / 2,
              "a run's steps are told apart in 32 bits");

// The low 32 bits of a step, and how far a lane's step lies ahead of the
// current one (negative: behind).
inline uint32_t low_bits(int64_t step) { return static_cast<uint32_t>(step); }
inline int32_t ahead_of(uint32_t step, uint32_t now) { return std::bit_cast<int32_t>(step - now); }

// The words of a vector as signed step numbers, one per lane.
template <class V>
struct StepVector {
    typedef int32_t type __attribute__((vector_size(sizeof(V))));
};

template <>
struct StepVector<uint32_t> {
    typedef int32_t type;
};

// The OR (the minimum) of the first N words of v, each word folded onto
// the one N / 2 before it, halving the distance each time.
template <size_t K, class T, size_t... I>
[[gnu::always_inline]] inline T shifted(T v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, ((I + K) % sizeof...(I))...);
}

template <int N, int W, class T>
[[gnu::always_inline]] inline int32_t or_of_words(T v) {
    if constexpr (N == 1) {
        return v[0];
    } else {
        v |= shifted<N / 2>(v, std::make_index_sequence<W>{});
        return or_of_words<N / 2, W>(v);
    }
}

template <int N, int W, class T>
[[gnu::always_inline]] inline int32_t min_of_words(T v) {
    if constexpr (N == 1) {
        return v[0];
    } else {
        const T s = shifted<N / 2>(v, std::make_index_sequence<W>{});
        return min_of_words<N / 2, W>(s < v ? s : v);
    }
}

// A job's messages without its key material: what the lanes keep, a part
// of the job at a time, and what the work between steps copies into
// registers (fields read through the state would be read again after every
// store into a message, which may alias anything).
struct Messages {
    const uint8_t *const *src;
    const int64_t *src_len;
    uint8_t *const *out;
    const int64_t *out_capacity;
    int64_t *result;
    int64_t *start;
    int64_t count;
    bool verify;
    bool named;

    explicit Messages(const Job &job)
        : src(job.src),
          src_len(job.src_len),
          out(job.out),
          out_capacity(job.out_capacity),
          result(job.result),
          start(job.start),
          count(job.count),
          verify(job.verify),
          named(job.named) {}

    int64_t refusal(int64_t status) const { return named ? -1 : status; }

    // Messages first .. first + n - 1, as messages of their own.
    Messages part(int64_t first, int64_t n) const {
        Messages p = *this;
        p.count = n;
        p.src += first;
        p.src_len += first;
        p.out += first;
        p.out_capacity += first;
        p.result += first;
        p.start = start != nullptr ? start + first : nullptr;
        return p;
    }
};

// A kernel's state, on the stack of the calling thread (see OnPage).
template <class V, int U, Order O, Dir D, bool Std>
class Lanes {
public:
    static constexpr int W = kWidth<V>;
    static constexpr int L = U * W;
    static_assert(W == 1 || W % 4 == 0, "vectors are split in groups of four words");
    static_assert(W <= 16, "a vector's lanes fit half a 32-bit mask");

    // The most messages one state serves: message indices are 32-bit.
    static constexpr int64_t kMessages = int64_t{1} << 30;

    // The messages (at most kMessages) of the job, under its key and sums.
    Lanes(const Job &job, const Messages &messages)
        : messages_(messages),
          c_(std::in_place, [&job] { return make_consts<V, Std>(job.key, job.sums); }) {
        std::memset(ring_, 0, sizeof ring_);
        // Every lane idle, armed at step -1 so that the first steps' writes
        // land in the scratch area; the event before step 0 gives each its
        // first message.
        const uintptr_t idle = reinterpret_cast<uintptr_t>(idle_) + kBlock;
        for (int l = 0; l < L; ++l) {
            in_[l] = out_[l] = idle;
            in_end_[l] = kAhead;  // an event before step 0
            in_start_[l] = low_bits(-2);  // no change of message pending on the output side
            in_msg_[l] = out_msg_[l] = -1;
        }
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            carry_hi_[u] = carry_lo_[u] = splat<V>(0);
        }
    }

    // Runs every pending message; returns how many of them were refused.
    int64_t run() {
        for (;;) {
            events();
            if (active_ == 0 && exhausted_) {
                return refused_;
            }
            run_steps();
        }
    }

private:
    using Steps = typename StepVector<V>::type;

    // How many steps a lane's input side is ahead of its chain and its output
    // side behind: a vector kernel moves its lanes' blocks through the ring
    // (one step each way, see step); plain words read their block when the
    // step starts and write it when it ends, so a lane takes its next message
    // and moves its output side on in one pass.
    static constexpr int kAhead = W == 1 ? 0 : 1;
    // Words of lane bits (64 lanes a word).
    static constexpr int kWords = (L + 63) / 64;
    // Lanes' moves between the transform's cycles: one piece after each
    // cycle (plain words move with their step, there is nothing to spread).
    static constexpr int kPieces = W == 1 ? 1 : kCycles;
    static_assert(L % kPieces == 0, "the lanes split evenly into pieces");

    // The key vectors a run of steps uses: a copy held in registers across
    // the run where the registers hold it beside the halves and the chained
    // blocks (4 U vectors) and the transform's temporaries, as with 4 vectors
    // of AVX-512 or NEON (32 registers). Read through the state, the key
    // would be read again after every store into a message, which may alias
    // anything: 1,024 x 1 KiB 4% slower with AVX-512. Where the copy would
    // not fit (AVX2, or 8 vectors), it would be spilled into the frame, a
    // copy of the key nothing clears: there the state's own is read.
    static constexpr bool kKeyInRegisters = W > 1 && 4 * U + 4 + 4 <= kVectorRegisters;
    using HeldKey = std::conditional_t<kKeyInRegisters, KeyVectors<V>, const KeyVectors<V> &>;

    [[gnu::always_inline]] HeldKey held_key() const {
        const KeyVectors<V> &k = c_->key;
        if constexpr (std::is_reference_v<HeldKey>) {
            return k;
        } else {
            return {k.k0, k.k1, k.k2, k.k3};  // word by word: no copy of the whole in memory
        }
    }

    // The steps up to the next event. The chained block a step starts from
    // (the last ciphertext when encrypting, the last X when decrypting) is
    // the previous step's result and stays in registers; the one a step
    // needs at its end waits in the ring (see step).
    void run_steps() {
        const HeldKey key = held_key();
        V carry_hi[U];
        V carry_lo[U];
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            carry_hi[u] = carry_hi_[u];
            carry_lo[u] = carry_lo_[u];
        }
        int now = slot(step_);
        do {
            step(key, carry_hi, carry_lo, now);
            now = now == 2 ? 0 : now + 1;
        } while (++step_ != next_event_);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            carry_hi_[u] = carry_hi[u];
            carry_lo_[u] = carry_lo[u];
        }
    }

    // The ring slot of step s (s may be -1).
    static int slot(int64_t s) { return static_cast<int>(s % 3); }

    static uintptr_t offset_of(int64_t s) { return static_cast<uintptr_t>(s * kBlock); }

    // One step t (`now` its slot): every lane moves one block along its
    // chain. Slot t holds its blocks and keeps, as halves, the block the next
    // step needs at its end (X when encrypting, the ciphertext when
    // decrypting); slot t - 1 holds that block of step t - 1 and receives
    // this step's results; slot t + 1 holds the results of step t - 1, which
    // go out while the blocks of step t + 1 come in. Plain words (kAhead 0)
    // read their blocks from the lanes when the step starts and write them
    // when it ends; the ring only keeps their chained halves.
    [[gnu::always_inline]] void step(const KeyVectors<V> &key, V (&carry_hi)[U], V (&carry_lo)[U],
                                     int now) {
        const int64_t t = step_;
        uint64_t *const blocks = ring_[now];
        [[maybe_unused]] uint64_t *const moving = ring_[now == 2 ? 0 : now + 1];
        uint64_t *const late = ring_[now == 0 ? 2 : now - 1];
        const bool fresh = fresh_any_[t & 1];
        if (fresh) [[unlikely]] {
#pragma GCC unroll 8
            for (int u = 0; u < U; ++u) {
                const auto fresh_lane = fresh_lanes(t, u);
                carry_hi[u] = fresh_lane ? splat<V>(0) : carry_hi[u];
                carry_lo[u] = fresh_lane ? splat<V>(0) : carry_lo[u];
            }
        }
        V hi[U];
        V lo[U];
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            if constexpr (kAhead == 0) {
                const uint64_t block = load8(reinterpret_cast<const uint8_t *>(in_[u] + offset_of(t)));
                split_blocks<V, O>(&block, hi[u], lo[u]);
            } else {
                split_blocks<V, O>(blocks + u * W, hi[u], lo[u]);
            }
            if constexpr (D == Dir::encrypt) {
                // X = P ^ C(prev); C = E(X) ^ X(prev)
                hi[u] ^= carry_hi[u];
                lo[u] ^= carry_lo[u];
                store_halves(blocks + u * W, hi[u], lo[u]);
            } else {
                // X = D(C ^ X(prev)); P = X ^ C(prev)
                store_halves(blocks + u * W, hi[u], lo[u]);
                hi[u] ^= carry_hi[u];
                lo[u] ^= carry_lo[u];
            }
        }
        [[maybe_unused]] const uintptr_t write_at = offset_of(t - 1);
        [[maybe_unused]] const uintptr_t read_at = offset_of(t + 1);
        fetch_ahead(t);
        if constexpr (kPieces == kCycles) {
            // A loop, one cycle and one piece of the moves a turn: unrolled,
            // the step of many lanes would no longer fit the instruction
            // cache beside the work between steps.
#pragma GCC unroll 1
            for (int r = 0; r < kCycles; ++r) {
                transform_cycles<V, U, D, Std>(key, c_->sum, hi, lo, r, r + 1);
                move_blocks(r * (L / kCycles), (r + 1) * (L / kCycles), moving, write_at, read_at);
            }
        } else {
            transform_cycles<V, U, D, Std>(key, c_->sum, hi, lo, 0, kCycles);
        }
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            V late_hi;
            V late_lo;
            load_halves(late + u * W, late_hi, late_lo);
            if (fresh) [[unlikely]] {
                const auto fresh_lane = fresh_lanes(t, u);
                late_hi = fresh_lane ? splat<V>(0) : late_hi;
                late_lo = fresh_lane ? splat<V>(0) : late_lo;
            }
            V out_hi;
            V out_lo;
            if constexpr (D == Dir::encrypt) {
                hi[u] ^= late_hi;
                lo[u] ^= late_lo;
                carry_hi[u] = out_hi = hi[u];
                carry_lo[u] = out_lo = lo[u];
            } else {
                carry_hi[u] = hi[u];
                carry_lo[u] = lo[u];
                out_hi = hi[u] ^ late_hi;
                out_lo = lo[u] ^ late_lo;
            }
            if constexpr (kAhead == 0) {
                uint64_t block;
                join_blocks<V, O>(&block, out_hi, out_lo);
                store8(reinterpret_cast<uint8_t *>(out_[u] + offset_of(t)), block);
            } else {
                join_blocks<V, O>(late + u * W, out_hi, out_lo);
            }
        }
        if (fresh) [[unlikely]] {
            std::memset(fresh_[t & 1], 0, sizeof fresh_[t & 1]);
            fresh_any_[t & 1] = false;
        }
    }

    // The lines the lanes will read and write a cache line's worth of steps
    // later (the next step's block already comes in now), fetched now: every
    // step an eighth of the lanes, so that each line of each lane is asked
    // for once. The lanes' streams are too many for the hardware to follow
    // when the messages do not fit the cache. (A fetch never faults,
    // whatever the address.)
    static constexpr int32_t kLineSteps = 64 / kBlock;
    [[gnu::always_inline]] void fetch_ahead(int64_t t) const {
        const uintptr_t ahead = offset_of(t + kLineSteps + 1);
        for (int l = static_cast<int>(t & (kLineSteps - 1)); l < L; l += kLineSteps) {
            __builtin_prefetch(reinterpret_cast<const void *>(in_[l] + ahead));
            __builtin_prefetch(reinterpret_cast<const void *>(out_[l] + ahead), 1);
        }
    }

    // Lanes [from, to): the result of the last step out, then the block of
    // the next step in.
    [[gnu::always_inline]] void move_blocks(int from, int to, uint64_t *moving,
                                            uintptr_t write_at, uintptr_t read_at) {
#pragma GCC unroll 8
        for (int l = from; l < to; ++l) {
            store8(reinterpret_cast<uint8_t *>(out_[l] + write_at), moving[l]);
            moving[l] = load8(reinterpret_cast<const uint8_t *>(in_[l] + read_at));
        }
    }

    // Which words of vector u belong to lanes whose chain starts afresh at
    // step t (a vector of -1 and 0, or for plain words a bool).
    [[gnu::always_inline]] auto fresh_lanes(int64_t t, int u) const {
        const uint32_t bits = fresh_[t & 1][u];
        if constexpr (W == 1) {
            return bits != 0;
        } else {
            return (splat<V>(bits) & lane_bits()) != 0;
        }
    }

    // Word I: the bit of its lane.
    static V lane_bits() {
        return lane_bits(std::make_index_sequence<W>{});
    }
    template <size_t... I>
    static V lane_bits(std::index_sequence<I...>) {
        return V{(1u << lane_of_word<W>(static_cast<int>(I)))...};
    }

    // ---- between steps ---------------------------------------------------

    // The lanes with an event before this step, and the next event: before
    // step t, the output side of a lane whose input side took a message at
    // step t - 1 moves to it (switch_output), then a lane whose input run
    // ends at step t + 1 takes its next run (next_input); for plain words
    // (kAhead 0) a lane whose run ends at step t takes its next, and its
    // output side follows at once. Both are found a vector of lanes at once
    // (one word: the output sides in its low half, the input sides in its
    // high half) and gathered into bit masks of 64 lanes, so that the pass
    // branches on the lanes at an event only.
    void events() {
        const Messages m = messages_;
        const int64_t t = step_;
        const uint32_t now = low_bits(t);
        // Bit l % 64 of word l / 64: lane l.
        uint64_t moving[kWords] = {};
        uint64_t ending[kWords] = {};
        int32_t next;  // steps ahead of t
        if constexpr (W == 1) {
            next = INT32_MAX;
            // (Only input sides: an output side moves with its input side.)
            for (int l = 0; l < L; ++l) {
                const int32_t end = ahead_of(in_end_[l], now);
                ending[0] |= end == 0 ? uint64_t{1} << l : 0;
                next = end != 0 && end < next ? end : next;
            }
        } else {
            const Steps none = Steps{} + INT32_MAX;
            Steps later = none;
            for (int u = 0; u < U; ++u) {
                V start;
                V last;
                std::memcpy(&start, in_start_ + u * W, sizeof start);
                std::memcpy(&last, in_end_ + u * W, sizeof last);
                // Wrapping differences, then read as signed.
                const Steps change = (Steps)(start + (kAhead - now));
                const Steps end = (Steps)(last - (kAhead + now));
                const Steps move = change == 0;  // all ones where due
                const Steps finish = end == 0;
                const auto bits = static_cast<uint32_t>(
                    or_of_words<W, W>((move & lane_order()) | (finish & (lane_order() << 16))));
                const int shift = (u * W) % 64;
                moving[u * W / 64] |= uint64_t{bits & 0xFFFFu} << shift;
                ending[u * W / 64] |= uint64_t{bits >> 16} << shift;
                const Steps lane_next = change > 0 && change < end ? change : end;
                later = (move | finish) != 0 ? later : (lane_next < later ? lane_next : later);
            }
            next = min_of_words<W, W>(later);
        }
        for (int w = 0; w < kWords; ++w) {
            for (uint64_t bits = moving[w]; bits != 0; bits &= bits - 1) {
                const int l = 64 * w + std::countr_zero(bits);
                switch_output(l, m);
                const int32_t end = ahead_of(in_end_[l] - kAhead, now);
                next = end != 0 && end < next ? end : next;
            }
        }
        for (int w = 0; w < kWords; ++w) {
            for (uint64_t bits = ending[w]; bits != 0; bits &= bits - 1) {
                const int l = 64 * w + std::countr_zero(bits);
                next_input(l, m);
                if constexpr (kAhead == 0) {
                    if (in_start_[l] == now) {
                        switch_output(l, m);
                    }
                }
                const int32_t change = ahead_of(in_start_[l] + kAhead, now);
                const int32_t end = ahead_of(in_end_[l] - kAhead, now);
                const int32_t lane_next = change > 0 && change < end ? change : end;
                next = lane_next < next ? lane_next : next;
            }
        }
        next_event_ = t + next;
    }

    // Word k: the bit of lane k (the lanes' own order, as the step arrays
    // hold them).
    static Steps lane_order() {
        return lane_order(std::make_index_sequence<W>{});
    }
    template <size_t... K>
    static Steps lane_order(std::index_sequence<K...>) {
        return Steps{static_cast<int32_t>(1u << K)...};
    }

    // Lane l reads `run` blocks from `in` on, from step t + kAhead on.
    void arm_input(int l, const uint8_t *in, int64_t run) {
        const int64_t first = step_ + kAhead;
        in_[l] = reinterpret_cast<uintptr_t>(in) - offset_of(first);
        in_end_[l] = low_bits(first + run);
    }

    // The input side of lane l goes on with its message, or takes the next.
    [[gnu::always_inline]] void next_input(int l, const Messages &m) {
        if constexpr (D == Dir::encrypt) {
            // A long plaintext is read in three runs: its first two blocks
            // and its last ones laid out in its output (lay_out_edges), the
            // rest from where it lies.
            if (in_msg_[l] >= kMoreRuns) [[unlikely]] {
                const int32_t i = in_msg_[l] & ~kMoreRuns;
                const int64_t b = ahead_of(low_bits(step_ + kAhead), in_start_[l]);
                const int64_t n = m.src_len[i];
                const int64_t total = padded_length(n);
                const int64_t body = total - n - kTrailer;
                const int64_t direct_end = (body + n) / kBlock;
                if (b < direct_end) {
                    arm_input(l, m.src[i] + (b * kBlock - body), direct_end - b);
                } else {
                    in_msg_[l] = i;  // the last run
                    arm_input(l, m.out[i] + b * kBlock, total / kBlock - b);
                }
                return;
            }
        }
        take(l, m);
    }

    // The message of a lane's input side has more runs to come (a flag
    // beside its index, which stays below kMessages).
    static constexpr int32_t kMoreRuns = int32_t{1} << 30;

    // Gives lane l the next pending message from step t + kAhead on, or
    // idles it. Its output side moves over kAhead steps later (plain words:
    // in the same pass, right after).
    [[gnu::always_inline]] void take(int l, const Messages &m) {
        const int64_t first = step_ + kAhead;
        const int64_t i = next_pending(m);
        in_start_[l] = low_bits(first);
        if (i < 0) {
            in_msg_[l] = -1;
            in_[l] = reinterpret_cast<uintptr_t>(idle_) - offset_of(first);
            in_end_[l] = low_bits(first + kIdleBlocks - 2);
            return;
        }
        ++active_;
        fresh_[first & 1][static_cast<unsigned>(l) / W] |= 1u << (static_cast<unsigned>(l) % W);
        fresh_any_[first & 1] = true;
        const int64_t n = m.src_len[i];
        const uint8_t *const src = m.src[i];
        int64_t run;
        const uint8_t *in;
        if constexpr (D == Dir::encrypt) {
            uint8_t *const out = m.out[i];
            const int64_t cap = m.out_capacity[i];
            const int64_t total = padded_length(n);
            const int64_t body = total - n - kTrailer;  // header, fill count + 2 zero bytes
            m.result[i] = total;
            in = out;
            if (n <= kStagedLength) {
                // A short message is cheaper laid out whole in its output
                // (as one message is) than read in pieces: one run. Each
                // block is read before its result overwrites it.
                in_msg_[l] = static_cast<int32_t>(i);
                run = total / kBlock;
                stage_padded(src, out, body, n, total);
            } else {
                in_msg_[l] = static_cast<int32_t>(i) | kMoreRuns;
                run = kHeadBlocks;
                lay_out_edges(src, out, body, n, total);
            }
            if (cap > total) [[unlikely]] {
                std::memset(out + total, 0, static_cast<size_t>(cap - total));
            }
        } else {
            in_msg_[l] = static_cast<int32_t>(i);
            in = src;
            run = n / kBlock;
        }
        in_[l] = reinterpret_cast<uintptr_t>(in) - offset_of(first);
        in_end_[l] = low_bits(first + run);
    }

    // The output side of lane l finishes its message and moves to the one
    // its input side took (starting at step t - kAhead), or to the scratch
    // area.
    [[gnu::always_inline]] void switch_output(int l, const Messages &m) {
        const int32_t done = out_msg_[l];
        if (done >= 0) {
            if constexpr (D == Dir::decrypt) {
                if (kAhead == 0 && m.src_len[done] == kMinCiphertext) {
                    release_held(l, done, m);
                } else {
                    finish(done, m);
                }
            }
            --active_;
        }
        const int32_t i = in_msg_[l] < 0 ? -1 : in_msg_[l] & ~kMoreRuns;
        const uintptr_t base = offset_of(step_ - kAhead);  // the step the message starts
        if constexpr (D == Dir::decrypt) {
            // Only a 16-byte ciphertext can be refused after its first
            // block (fill count 7), and nothing may be written before:
            // decided here, before its first block goes out, or (plain
            // words, whose output side moves before the block is made)
            // once both blocks are held in the lane's own scratch.
            if (i >= 0 && m.src_len[i] == kMinCiphertext) {
                if constexpr (kAhead == 0) {
                    out_msg_[l] = i;
                    out_[l] = reinterpret_cast<uintptr_t>(held_[l]) - base;
                    return;
                } else if (first_fill(l) == 7) {
                    m.result[i] = m.refusal(QULO_E_FILL);  // nothing was written
                    ++refused_;
                    --active_;
                    out_msg_[l] = -1;
                    out_[l] = reinterpret_cast<uintptr_t>(idle_) - base;
                    return;
                }
            }
        }
        out_msg_[l] = i;
        out_[l] = reinterpret_cast<uintptr_t>(i >= 0 ? m.out[i] : idle_) - base;
    }

    // A 16-byte plaintext held in lane l's scratch: refused by its fill
    // count (nothing written), or placed in its output and finished.
    void release_held(int l, int32_t j, const Messages &m) {
        if ((held_[l][0] & 0x07) == 7) {
            m.result[j] = m.refusal(QULO_E_FILL);
            ++refused_;
            return;
        }
        std::memcpy(m.out[j], held_[l], sizeof held_[l]);
        finish(j, m);
    }

    // The fill count of the plaintext block lane l computed last, still in
    // the ring (slot t + 1 before step t).
    uint8_t first_fill(int l) const {
        uint8_t header;
        std::memcpy(&header, &ring_[slot(step_ + 1)][l], 1);
        return header & 0x07;
    }

    // A decrypted message whose every block is out: its plaintext placed,
    // its result.
    [[gnu::always_inline]] void finish(int32_t j, const Messages &m) {
        uint8_t *const out = m.out[j];
        const int64_t n = m.src_len[j];
        const int64_t fill = out[0] & 0x07;
        const int64_t plain = n - fill - 10;
        if (m.start != nullptr) {
            m.start[j] = fill + 3;
        } else {
            // The move ends before the trailer, still where it was decrypted.
            qulo::move_down(out, out + fill + 3, plain);
        }
        m.result[j] = plain;
        if (m.verify) [[unlikely]] {
            verify(j, m);
        }
    }

    // A verified decryption: message j is refused when its trailer (the
    // move to the front ends before it) is not zero. Out of line, so that
    // the kernel's code without verification stays as it was.
    [[gnu::noinline, gnu::cold]] void verify(int32_t j, const Messages &m) {
        if (!trailer_is_zero(m.out[j] + m.src_len[j] - kTrailer)) {
            m.result[j] = m.refusal(QULO_E_CHECK);
            ++refused_;
        }
    }

    // ---- the order of the messages ---------------------------------------

    // The next pending message, or -1 when none is left. The messages are
    // taken a window at a time (kWindow of them, the last window ending with
    // the job), each window longest first: lanes that are free at about the
    // same step then take messages of one size, end together again and
    // share their passes, and at the end of the job they run out of work at
    // about the same time. A window of one size class keeps the caller's
    // order.
    [[gnu::always_inline]] int64_t next_pending(const Messages &m) {
        if (window_pos_ < window_len_) [[likely]] {
            if (window_pos_ + kFetchAhead < window_len_) {
                fetch_message(m, window_start_ + order_[window_pos_ + kFetchAhead]);
            }
            return window_start_ + order_[window_pos_++];
        }
        if (next_ < window_end_ && m.result[next_] == kPending) [[likely]] {
            if (next_ + kFetchAhead < window_end_) {
                fetch_message(m, next_ + kFetchAhead);
            }
            return next_++;
        }
        return next_window(m);
    }

    // When a message is taken, the one this many places on is fetched:
    // short messages out of the caches are too many streams for the
    // hardware, and a window ordered by size is read out of the caller's
    // order anyway (100,000 x 64 B: AVX-512 14 to 21% faster, mixed lengths
    // 4 to 19%; in the caches within 2% either way).
    static constexpr int32_t kFetchAhead = 16;

    // Its source's first line and its output's. For an encryption also
    // their second and last lines: the layout of a plaintext up to 128
    // bytes reads and writes all its lines when a lane takes it (a longer
    // one's, its edges), where a ciphertext is read a block at a time and
    // its later lines are the lanes' own fetching (fetch_ahead); every
    // line for it too makes decryption in the caches 2% slower. As
    // integers: a short message's second line lies outside it (a fetch
    // never faults).
    [[gnu::always_inline]] static void fetch_message(const Messages &m, int32_t i) {
        const auto src = reinterpret_cast<uintptr_t>(m.src[i]);
        const auto out = reinterpret_cast<uintptr_t>(m.out[i]);
        fetch<0>(src);
        fetch<1>(out);
        if constexpr (D == Dir::encrypt) {
            const int64_t n = m.src_len[i];
            fetch<0>(src + 64);
            fetch<0>(src + static_cast<uintptr_t>(n) - 1);
            fetch<1>(out + 64);
            fetch<1>(out + static_cast<uintptr_t>(padded_length(n)) - 1);
        }
    }

    template <int Write>
    [[gnu::always_inline]] static void fetch(uintptr_t at) {
        __builtin_prefetch(reinterpret_cast<const void *>(at), Write);
    }

    [[gnu::noinline]] int64_t next_window(const Messages &m) {
        for (;;) {
            while (next_ < window_end_) {
                const int32_t i = next_++;
                if (m.result[i] == kPending) {
                    return i;
                }
            }
            if (window_pos_ < window_len_) {
                return window_start_ + order_[window_pos_++];
            }
            const auto count = static_cast<int32_t>(m.count);
            if (window_end_ == count) {
                exhausted_ = true;
                return -1;
            }
            // The first window takes what whole windows leave over.
            const int32_t rest = count % kWindow;
            window_start_ = window_end_;
            window_end_ += window_start_ == 0 && rest != 0 ? rest : kWindow;
            order_window(m);
        }
    }

    // The window's pending messages in order_, longest first (order.hpp).
    // When they all have one size class, or one length, the window is left
    // to the caller's order.
    [[gnu::noinline]] void order_window(const Messages &m) {
        window_len_ = 0;
        window_pos_ = 0;
        next_ = window_start_;
        uint8_t place[kWindow];
        const Places found = places_of<D>(m.src_len + window_start_, m.result + window_start_,
                                          window_end_ - window_start_, place);
        if (found.equal_lengths || found.lowest >= found.highest) {
            return;  // one class, or none pending
        }
        next_ = window_end_;
        window_len_ = order_by_place(place, found.lowest, found.highest, order_);
        for (int32_t k = 0; k < kFetchAhead && k < window_len_; ++k) {
            fetch_message(m, window_start_ + order_[k]);
        }
    }

    const Messages messages_;
    const Secret<Consts<V>> c_;  // the key words and sums
    // The ring: slot s holds step s's blocks, lane after lane.
    alignas(64) uint64_t ring_[3][L];
    // Between runs of steps: the chained block each step starts from.
    V carry_hi_[U], carry_lo_[U];
    // Where each lane reads, and where its output side writes, less kBlock
    // per step (see arm_input), as integers: the base may lie outside any
    // object.
    uintptr_t in_[L];
    uintptr_t out_[L];
    uint32_t in_end_[L];    // the step at which the lane's input run ends (low bits)
    uint32_t in_start_[L];  // the step at which the input side's message began (low bits)
    int32_t in_msg_[L];    // the message of the input side, or -1
    int32_t out_msg_[L];   // the message of the output side, or -1
    // The lanes whose chain starts afresh at a step, per parity of the step:
    // a bit per lane of each vector.
    uint32_t fresh_[2][U] = {};
    bool fresh_any_[2] = {};
    alignas(8) uint8_t idle_[kIdleBlocks * kBlock] = {};
    // Plain words: each lane's 16-byte ciphertext decrypted, until checked.
    alignas(8) uint8_t held_[kAhead == 0 ? L : 1][kMinCiphertext];
    uint8_t order_[kWindow];    // a mixed window's messages, as offsets from its start
    int32_t window_start_ = 0;  // the window: messages window_start_ .. window_end_ - 1
    int32_t window_end_ = 0;
    int32_t window_len_ = 0;    // a mixed window's pending messages, taken up to window_pos_
    int32_t window_pos_ = 0;
    int32_t next_ = 0;          // a window of one class: the next in the caller's order
    int64_t step_ = 0;
    int64_t next_event_ = 0;
    int32_t active_ = 0;  // messages taken whose output is not finished
    bool exhausted_ = false;
    int64_t refused_ = 0;
};

}  // namespace
}  // namespace qulo::batch
