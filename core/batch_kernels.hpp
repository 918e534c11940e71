// The lane kernel of the many-messages engine, written once over a vector
// type and instantiated per instruction set by batch_scalar.cpp,
// batch_avx2.cpp and batch_avx512.cpp (x86-64, each compiled with its own
// target flags) and batch_neon.cpp (AArch64, baseline flags). Not installed.
//
// A kernel runs L = U x W lanes: U vectors of W 32-bit words, interleaved so
// that the core always has independent work. Each lane carries one message
// through the qq-mode chain, one block per step; all lanes step together.
// Between steps only the lanes that reached an event (the end of a run of
// blocks read straight from the caller's memory) are looked at: they pick
// their next run, finish their message or take the next pending one, so
// messages of mixed lengths keep every lane busy until the queue is empty.
// A lane's addresses are kept relative to the step count and the next event
// is known in advance, so a step itself moves nothing but blocks.
//
// Everything here has internal linkage (an unnamed namespace): each
// instruction-set unit gets its own copy, so code compiled for AVX-512 can
// never be merged into, and then called from, a unit built for the baseline.
#pragma once

#include "qulo/block.hpp"
#include "qulo/length_rule.hpp"
#include "qulo/mode.h"
#include "qulo/move_down.hpp"
#include "qulo/operation.hpp"
#include "qulo/secret.hpp"
#include "qulo/tea.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace qulo::batch {

// What the driver hands a kernel: the messages and the cipher choice. The
// kernel runs the messages whose result is kPending and sets their results;
// the driver has already settled every other one.
struct Job {
    Words key;
    Sums sums;
    int64_t count;
    const uint8_t *const *src;
    const int64_t *src_len;
    uint8_t *const *out;
    const int64_t *out_capacity;
    int64_t *result;
    int64_t *start;  // decryption: where each plaintext is left, or null: moved to out[i][0]
    bool verify;     // decryption: refuse a plaintext whose trailer is not zero
    bool named;      // for a named entry point: every refusal is -1

    // The result of a refused message.
    int64_t refusal(int64_t status) const { return named ? -1 : status; }
};

inline constexpr int64_t kPending = INT64_MIN;

// Runs the pending messages of a job; returns how many of them it refused.
using KernelFn = int64_t (*)(const Job &);

// One instruction set's kernels: the standard sums (big-endian blocks)
// [direction], and a sum table [direction][byte order].
struct KernelOps {
    KernelFn standard[2];
    KernelFn table[2][2];

    // The kernel of one compiled form of an operation (qulo/operation.hpp).
    template <Dir D, Order O, bool Std>
    KernelFn get() const {
        constexpr int d = D == Dir::encrypt ? 0 : 1;
        if constexpr (Std) {
            return standard[d];
        } else {
            return table[d][O == Order::big ? 0 : 1];
        }
    }
};

extern const KernelOps kScalarKernel;
#if defined(__x86_64__)
extern const KernelOps kAvx2Kernel;
extern const KernelOps kAvx512Kernel;
#elif defined(__aarch64__)
extern const KernelOps kNeonKernel;
#endif

namespace {

// ---- the word type: a plain uint32_t or a GCC/Clang vector of them ---------

template <class V>
inline constexpr int kWidth = static_cast<int>(sizeof(V) / sizeof(uint32_t));

template <class V>
[[gnu::always_inline]] inline V splat(uint32_t x) {
    if constexpr (std::is_same_v<V, uint32_t>) {
        return x;
    } else {
        return V{} + x;  // the scalar operand is broadcast to every word
    }
}

// The bytes of a vector of N bytes, as a vector of its own, and its 64-bit
// words likewise.
template <size_t N>
struct ByteVector {
    typedef uint8_t type __attribute__((vector_size(N)));
};

template <size_t N>
struct QwordVector {
    typedef uint64_t type __attribute__((vector_size(N < 8 ? 8 : N)));
};

// ---- the block transform over U vectors at once ----------------------------
//
// The half-cycles of qulo/block.hpp applied to U independent vectors in
// lockstep, so that their operations interleave. The one-message transform
// carries (x << 4) + k beside each half to shorten its single chain; here
// the chains of the other vectors hide that latency, so the terms are
// recomputed instead: the same operation count, half the live registers.

template <class V>
struct Consts {
    V k0, k1, k2, k3;
    V sum[kCycles];
};

template <class V, bool Std>
inline Consts<V> make_consts(const Words &key, const Sums &sums) {
    Consts<V> c;
    c.k0 = splat<V>(key.k0);
    c.k1 = splat<V>(key.k1);
    c.k2 = splat<V>(key.k2);
    c.k3 = splat<V>(key.k3);
    for (int r = 0; r < kCycles; ++r) {
        c.sum[r] = splat<V>((Std ? kStandardSums : sums)[static_cast<size_t>(r)]);
    }
    return c;
}

// The sum of cycle r: for plain words with the standard sums a compile-time
// constant (an immediate operand), otherwise a vector kept in memory. A
// constant vector would be built afresh in every step (a move and a
// broadcast, both on the vector units) where a memory operand costs a load.
template <class V, bool Std>
[[gnu::always_inline]] inline V sum_of(const Consts<V> &c, int r) {
    if constexpr (Std && std::is_same_v<V, uint32_t>) {
        return splat<V>(kStandardSums[static_cast<size_t>(r)]);
    } else {
        return c.sum[r];
    }
}

// F(x) = ((x << 4) + ka) ^ (x + sum) ^ ((x >> 5) + kb)
template <class V>
[[gnu::always_inline]] inline V round_function(V x, V sum, V ka, V kb) {
    return ((x << 4) + ka) ^ (x + sum) ^ ((x >> 5) + kb);
}

// Cycles [from, to) of the transform; the whole of it is [0, kCycles). A
// decryption runs its cycles in reverse: its cycle k is the cipher's cycle
// kCycles - 1 - k.
template <class V, int U, bool Std>
[[gnu::always_inline]] inline void encrypt_cycles(const Consts<V> &c, V (&hi)[U], V (&lo)[U],
                                                  int from, int to) {
#pragma GCC unroll 16
    for (int r = from; r < to; ++r) {
        const V sum = sum_of<V, Std>(c, r);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            hi[u] += round_function(lo[u], sum, c.k0, c.k1);
        }
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            lo[u] += round_function(hi[u], sum, c.k2, c.k3);
        }
    }
}

template <class V, int U, bool Std>
[[gnu::always_inline]] inline void decrypt_cycles(const Consts<V> &c, V (&hi)[U], V (&lo)[U],
                                                  int from, int to) {
#pragma GCC unroll 16
    for (int k = from; k < to; ++k) {
        const V sum = sum_of<V, Std>(c, kCycles - 1 - k);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            lo[u] -= round_function(hi[u], sum, c.k2, c.k3);
        }
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            hi[u] -= round_function(lo[u], sum, c.k0, c.k1);
        }
    }
}

template <class V, int U, Dir D, bool Std>
[[gnu::always_inline]] inline void transform_cycles(const Consts<V> &c, V (&hi)[U], V (&lo)[U],
                                                    int from, int to) {
    if constexpr (D == Dir::encrypt) {
        encrypt_cycles<V, U, Std>(c, hi, lo, from, to);
    } else {
        decrypt_cycles<V, U, Std>(c, hi, lo, from, to);
    }
}

// The bare transform, the yardstick of a kernel: U vectors of blocks held in
// registers, each transformed `steps` times over (each time on its own
// result, a chain as long as a lane's), with the standard sums; no mode, no
// memory. Returns the XOR of every word, so that no lane's work is dropped.
template <class V, int U, Dir D>
uint32_t bare_transform(const Words &key, int64_t steps) {
    const Consts<V> c = make_consts<V, true>(key, kStandardSums);
    V hi[U];
    V lo[U];
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        hi[u] = c.k0 + splat<V>(static_cast<uint32_t>(u));
        lo[u] = c.k1;
    }
    for (int64_t s = 0; s < steps; ++s) {
        transform_cycles<V, U, D, true>(c, hi, lo, 0, kCycles);
    }
    V all = hi[0] ^ lo[0];
    for (int u = 1; u < U; ++u) {
        all ^= hi[u] ^ lo[u];
    }
    uint32_t folded = 0;
    for (int w = 0; w < kWidth<V>; ++w) {
        if constexpr (std::is_same_v<V, uint32_t>) {
            folded ^= all;
        } else {
            folded ^= all[w];
        }
    }
    return folded;
}

// ---- one block of one lane in memory ----------------------------------------

// A block's 8 bytes, copied into a uint64_t as they lie, as the 64-bit value
// of the operation's byte order (and back: the same swap).
template <Order O>
[[gnu::always_inline]] inline uint64_t from_order(uint64_t raw) {
    if constexpr (O == Order::big && std::endian::native == std::endian::little) {
        return __builtin_bswap64(raw);
    } else {
        return raw;
    }
}

// ---- the lanes ----------------------------------------------------------------

// Eight bytes as they lie in memory, and back.
[[gnu::always_inline]] inline uint64_t load8(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store8(uint8_t *p, uint64_t v) {
    std::memcpy(p, &v, sizeof v);
}

// An idle lane runs over a scratch area of this many blocks, again and again.
constexpr int64_t kIdleBlocks = 32;
// Plaintexts up to this length are laid out whole in their output first.
constexpr int64_t kStagedLength = 512;

// A kernel's state, on the stack of the calling thread (see OnPage).
template <class V, int U, Order O, Dir D, bool Std>
class Lanes {
public:
    static constexpr int W = kWidth<V>;
    static constexpr int L = U * W;
    static_assert(W == 1 || W % 4 == 0, "vectors are split in groups of four words");
    // The same bytes as V, seen as W/2 blocks.
    using Qwords = typename QwordVector<sizeof(V)>::type;

    explicit Lanes(const Job &job) : job_(job), c_(make_consts<V, Std>(job.key, job.sums)) {
    #pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            carry_hi_[u] = carry_lo_[u] = splat<V>(0);
            late_[0][0][u] = late_[0][1][u] = late_[1][0][u] = late_[1][1][u] = splat<V>(0);
        }
    }

    // Runs every pending message; returns how many of them were refused.
    int64_t run() {
        for (int l = 0; l < L; ++l) {
            take_next(l);
        }
        next_event_ = earliest_end();
        while (active_ > 0) {
            run_steps();
            // The lanes at an event move on; the next event is found in
            // the same pass.
            int64_t next = INT64_MAX;
            for (int l = 0; l < L; ++l) {
                if (end_[l] == step_) {
                    on_event(l);
                }
                next = end_[l] < next ? end_[l] : next;
            }
            next_event_ = next;
        }
        return refused_;
    }

private:
    // Per-lane state of the message in hand.
    struct Message {
        int64_t index;
        int64_t blocks;      // ciphertext blocks
        int64_t next_block;  // first block after the current run
        int64_t body;        // encryption: where the plaintext starts in the padding
    };

    // The steps up to the next event. The chained block a step starts from
    // (the last ciphertext when encrypting, the last X when decrypting) is
    // the previous step's result: it stays in registers from one step to
    // the next, so the latency chain never passes through memory. The
    // block a step needs only at its end (the last X, the last ciphertext)
    // goes to memory when it is formed, one slot per parity of the step,
    // and is read back a whole transform later.
    void run_steps() {
        V carry_hi[U];
        V carry_lo[U];
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            carry_hi[u] = carry_hi_[u];
            carry_lo[u] = carry_lo_[u];
        }
        if constexpr (kSpread) {
            read_ahead(step_offset());
        }
        bool written = true;  // the previous step's results are out
        do {
            step(carry_hi, carry_lo, written);
            written = false;
        } while (++step_ != next_event_);
        if constexpr (kSpread) {
            write_back(step_offset() - kBlock);
        }
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            carry_hi_[u] = carry_hi[u];
            carry_lo_[u] = carry_lo[u];
        }
    }

    // Vectors spread their lanes' moves through the transform rather than
    // putting them around it: a step reads the next step's blocks halfway
    // through its cycles and writes the previous step's results a few
    // cycles in. Where the chains hand over from one step to the next, the
    // core then finds cipher work instead of a queue of loads, shuffles and
    // stores filling its window while the chains wait. Plain words move a
    // block with a load and a store, nothing to spread; holding the blocks
    // over would only add moves.
    static constexpr bool kSpread = W > 1;
    static constexpr int kWriteAt = 3;  // cycles before the last results go out
    static constexpr int kReadAt = 8;   // cycles before the next blocks come in

    // One step: every lane moves one block along its chain.
    [[gnu::always_inline]] void step(V (&carry_hi)[U], V (&carry_lo)[U], bool written) {
        const uintptr_t at = step_offset();
        V(&late_in)[2][U] = late_[step_ & 1];
        V(&late_out)[2][U] = late_[(step_ & 1) ^ 1];
        V hi[U];
        V lo[U];
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            if constexpr (kSpread) {
                hi[u] = ahead_[0][u];
                lo[u] = ahead_[1][u];
            } else {
                read_lanes(u * W, at, hi[u], lo[u]);
            }
            if constexpr (D == Dir::encrypt) {
                // X = P ^ C(prev); C = E(X) ^ X(prev)
                hi[u] ^= carry_hi[u];
                lo[u] ^= carry_lo[u];
                late_out[0][u] = hi[u];
                late_out[1][u] = lo[u];
            } else {
                // X = D(C ^ X(prev)); P = X ^ C(prev)
                late_out[0][u] = hi[u];
                late_out[1][u] = lo[u];
                hi[u] ^= carry_hi[u];
                lo[u] ^= carry_lo[u];
            }
        }
        if constexpr (kSpread) {
            transform_cycles<V, U, D, Std>(*c_, hi, lo, 0, kWriteAt);
            if (!written) {
                write_back(at - kBlock);
            }
            transform_cycles<V, U, D, Std>(*c_, hi, lo, kWriteAt, kReadAt);
            if (step_ + 1 != next_event_) {
                read_ahead(at + kBlock);
            }
            transform_cycles<V, U, D, Std>(*c_, hi, lo, kReadAt, kCycles);
        } else {
            transform_cycles<V, U, D, Std>(*c_, hi, lo, 0, kCycles);
        }
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            if constexpr (D == Dir::encrypt) {
                hi[u] ^= late_in[0][u];
                lo[u] ^= late_in[1][u];
                carry_hi[u] = hi[u];
                carry_lo[u] = lo[u];
            } else {
                carry_hi[u] = hi[u];
                carry_lo[u] = lo[u];
                hi[u] ^= late_in[0][u];
                lo[u] ^= late_in[1][u];
            }
            if constexpr (kSpread) {
                done_[0][u] = hi[u];
                done_[1][u] = lo[u];
            } else {
                write_lanes(u * W, at, hi[u], lo[u]);
            }
        }
    }

    // The blocks of the step at offset `at` (a step_offset()) into ahead_.
    // Each lane's 8 bytes are taken as they lie; the byte order and the
    // split into halves happen in the vectors, all lanes at once.
    [[gnu::always_inline]] void read_ahead(uintptr_t at) {
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            read_lanes(u * W, at, ahead_[0][u], ahead_[1][u]);
        }
    }

    // The results in done_ to the lanes, for the step at offset `at`.
    [[gnu::always_inline]] void write_back(uintptr_t at) {
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            write_lanes(u * W, at, done_[0][u], done_[1][u]);
        }
    }

    // The step at which the first lane ends its run.
    int64_t earliest_end() const {
        int64_t e = end_[0];
        for (int l = 1; l < L; ++l) {
            e = end_[l] < e ? end_[l] : e;
        }
        return e;
    }

    // The blocks of lanes first .. first + W - 1 into their two halves, in
    // the operation's byte order, and back. Lane first + 4j + i (i < 4) is
    // word i of the vector's j-th group of four: its block is qword i of
    // group j of `a` for i < 2, of `b` for i >= 2, so that the split into
    // halves and the join stay inside each group of four words, one
    // shuffle of two sources per half (shufps, unpck*, uzp/zip).
    void read_lanes(int first, uintptr_t at, V &hi, V &lo) const {
        if constexpr (W == 1) {
            const uint64_t v = from_order<O>(load_lane(first, at));
            hi = static_cast<uint32_t>(v >> 32);
            lo = static_cast<uint32_t>(v);
        } else {
            // Built whole from its loads: element by element, the compiler
            // starts from a stale copy of the vector and inserts into it.
            V pa = std::bit_cast<V>(gather_lanes(first, at, std::make_index_sequence<W / 2>{}));
            V pb = std::bit_cast<V>(gather_lanes(first + 2, at, std::make_index_sequence<W / 2>{}));
            if constexpr (O == Order::big) {
                pa = swap_words(pa);
                pb = swap_words(pb);
            }
            // Word 2i of a qword is the block's first four bytes.
            const V first_words = pick(pa, pb, std::make_index_sequence<W>{}, 0);
            const V second_words = pick(pa, pb, std::make_index_sequence<W>{}, 1);
            if constexpr (O == Order::big) {
                hi = first_words;
                lo = second_words;
            } else {
                hi = second_words;
                lo = first_words;
            }
        }
    }

    void write_lanes(int first, uintptr_t at, V hi, V lo) const {
        if constexpr (W == 1) {
            store_lane(first, at, from_order<O>((uint64_t{hi} << 32) | lo));
        } else {
            const V first_words = O == Order::big ? hi : lo;
            const V second_words = O == Order::big ? lo : hi;
            V pa = weave(first_words, second_words, std::make_index_sequence<W>{}, 0);
            V pb = weave(first_words, second_words, std::make_index_sequence<W>{}, 2);
            if constexpr (O == Order::big) {
                pa = swap_words(pa);
                pb = swap_words(pb);
            }
            const auto a = std::bit_cast<Qwords>(pa);
            const auto b = std::bit_cast<Qwords>(pb);
#pragma GCC unroll 8
            for (int k = 0; k < W / 2; ++k) {
                store_lane(first + (k / 2) * 4 + k % 2, at, a[k]);
                store_lane(first + (k / 2) * 4 + 2 + k % 2, at, b[k]);
            }
        }
    }

    // The blocks of lanes first + 4j + i (j < W / 4, i < 2), in that order.
    template <size_t... K>
    [[gnu::always_inline]] Qwords gather_lanes(int first, uintptr_t at,
                                               std::index_sequence<K...>) const {
        return Qwords{load_lane(first + static_cast<int>(K / 2 * 4 + K % 2), at)...};
    }

    // Lane l's block of this step, `at` being step_offset(): its run's
    // addresses are kept less kBlock per step already taken, so that no
    // step has to move them on.
    uint64_t load_lane(int l, uintptr_t at) const {
        return load8(reinterpret_cast<const uint8_t *>(in_[l] + at));
    }

    void store_lane(int l, uintptr_t at, uint64_t v) const {
        store8(reinterpret_cast<uint8_t *>(out_[l] + at), v);
    }

    uintptr_t step_offset() const { return static_cast<uintptr_t>(step_) * kBlock; }

    // Lane l reads `run` blocks from `in` on and writes them from `out` on,
    // starting with the next step.
    void arm(int l, const uint8_t *in, uint8_t *out, int64_t run) {
        in_[l] = reinterpret_cast<uintptr_t>(in) - step_offset();
        out_[l] = reinterpret_cast<uintptr_t>(out) - step_offset();
        end_[l] = step_ + run;
    }

    // Within each group of four words: words 0 + odd and 2 + odd of a's
    // group, then the same two of b's (shufps).
    template <size_t... I>
    static V pick(V a, V b, std::index_sequence<I...>, int odd) {
        return odd == 0
                   ? __builtin_shufflevector(a, b, ((I & ~3u) + 2 * (I & 1) + (I & 2) / 2 * W)...)
                   : __builtin_shufflevector(a, b,
                                             ((I & ~3u) + 2 * (I & 1) + 1 + (I & 2) / 2 * W)...);
    }

    // Within each group of four words: first[from], second[from],
    // first[from + 1], second[from + 1] (unpcklo for from 0, unpckhi for 2).
    template <size_t... I>
    static V weave(V first, V second, std::index_sequence<I...>, int from) {
        return from == 0
                   ? __builtin_shufflevector(first, second, ((I & ~3u) + (I & 3) / 2 + (I & 1) * W)...)
                   : __builtin_shufflevector(first, second,
                                             ((I & ~3u) + 2 + (I & 3) / 2 + (I & 1) * W)...);
    }

    // The four bytes of every word reversed.
    static V swap_words(V v) {
        typename ByteVector<sizeof(V)>::type b;
        std::memcpy(&b, &v, sizeof v);
        b = swap_bytes(b, std::make_index_sequence<sizeof(V)>{});
        std::memcpy(&v, &b, sizeof v);
        return v;
    }

    template <class B, size_t... I>
    static B swap_bytes(B b, std::index_sequence<I...>) {
        return __builtin_shufflevector(b, b, (I ^ 3)...);
    }

    // Lane l has no message: it keeps stepping over the scratch area (what
    // it computes there is never used), and is armed again when it ends.
    void go_idle(int l) {
        arm(l, idle_, idle_, kIdleBlocks);
        msg_[l].index = -1;
    }

    // A fresh chain in lane l: both carried blocks are zero.
    void reset_chain(int l) {
        // The next step ends with the slot of its own parity.
        V(&late)[2][U] = late_[step_ & 1];
        clear_word(carry_hi_, l);
        clear_word(carry_lo_, l);
        clear_word(late[0], l);
        clear_word(late[1], l);
    }

    // Lane l's word of an array of U vectors is word l of its bytes.
    static void clear_word(V (&v)[U], int l) {
        const uint32_t zero = 0;
        std::memcpy(reinterpret_cast<unsigned char *>(v) + l * sizeof zero, &zero, sizeof zero);
    }

    // Gives lane l the next pending message, or idles it.
    [[gnu::always_inline]] void take_next(int l) {
        while (next_ < job_.count && job_.result[next_] != kPending) {
            ++next_;
        }
        if (next_ == job_.count) {
            go_idle(l);
            return;
        }
        const int64_t i = next_++;
        Message &m = msg_[l];
        m.index = i;
        const int64_t n = job_.src_len[i];
        const int64_t total = output_capacity(D, n);
        if (total < 0) {
            __builtin_unreachable();  // the driver settled every other length
        }
        ++active_;
        reset_chain(l);
        if constexpr (D == Dir::encrypt) {
            m.blocks = total / kBlock;
            m.body = total - n - 7;  // header, fill count + 2 zero bytes
            if (n <= kStagedLength) {
                // A short message is cheaper laid out whole in its output
                // (as one message is) than read in pieces: one run, no
                // stops at its edges. Each block is read before its
                // result overwrites it.
                uint8_t *const out = job_.out[i];
                const uint8_t *const src = job_.src[i];
                arm(l, out, out, m.blocks);
                m.next_block = m.blocks;
                // Last: its stores might alias anything, so what is read
                // above is read before them.
                stage_padded(src, out, m.body, n, total);
                return;
            }
        } else {
            m.blocks = n / kBlock;
        }
        m.next_block = 0;
        start_run(l);
    }

    // Sets lane l up for its next run of blocks, from m.next_block on.
    // Inline: it runs once per message, and a call would cost the kernel
    // its vector registers.
    [[gnu::always_inline]] void start_run(int l) {
        Message &m = msg_[l];
        const int64_t b = m.next_block;
        const int64_t i = m.index;
        uint8_t *const out = job_.out[i] + b * kBlock;
        int64_t run;
        if constexpr (D == Dir::encrypt) {
            // Blocks wholly inside the plaintext are read where they lie;
            // the others (header, the plaintext's edges, the trailing
            // zeros) are put together in the lane's own block first.
            const int64_t n = job_.src_len[i];
            const int64_t direct_begin = (m.body + kBlock - 1) / kBlock;
            const int64_t direct_end = (m.body + n) / kBlock;
            if (b >= direct_begin && b < direct_end) {
                run = direct_end - b;
                arm(l, job_.src[i] + (b * kBlock - m.body), out, run);
            } else {
                assemble(l, b);
                run = 1;
                arm(l, edge_[l], out, run);
            }
        } else {
            const uint8_t *const in = job_.src[i] + b * kBlock;
            if (b == 0 && m.blocks == 2) {
                // Only a 16-byte ciphertext can be refused after its first
                // block (fill count 7): that block goes to the lane's own
                // block and reaches out only once accepted. Longer ones run
                // straight through.
                run = 1;
                arm(l, in, edge_[l], run);
            } else {
                run = m.blocks - b;
                arm(l, in, out, run);
            }
        }
        m.next_block = b + run;
    }

    // The whole padded plaintext of a short message, laid out in its output
    // in a few wide moves, no library call: the head (header and fill, body
    // <= 10) and the last word cleared, the header set, then the plaintext
    // over them in pieces of 32, 16 or 8 bytes, the last piece overlapping
    // the one before. The source does not overlap the output (the driver
    // sends such messages to the one-message entry point), so no byte is
    // read after it is written.
    static void stage_padded(const uint8_t *src, uint8_t *out, int64_t body, int64_t n,
                             int64_t total) {
        copy16(out, kZeros);
        store8(out + total - kBlock, 0);
        out[0] = static_cast<uint8_t>(0xF8u | static_cast<uint32_t>(body - 3));
        uint8_t *const dst = out + body;
        if (n >= 32 && n <= 64) {  // two pieces
            std::memcpy(dst, src, 32);
            std::memcpy(dst + n - 32, src + n - 32, 32);
        } else if (n > 64) {
            int64_t k = 0;
            for (; k + 32 <= n; k += 32) {
                std::memcpy(dst + k, src + k, 32);
            }
            if (k < n) {  // the last piece again, overlapping the one before
                std::memcpy(dst + n - 32, src + n - 32, 32);
            }
        } else if (n >= 16) {
            copy16(dst, src);
            copy16(dst + n - 16, src + n - 16);
        } else if (n >= kBlock) {
            store8(dst, load8(src));
            store8(dst + n - kBlock, load8(src + n - kBlock));
        } else {
            for (int64_t k = 0; k < n; ++k) {
                dst[k] = src[k];
            }
        }
    }

    // Sixteen bytes at once (one vector move where the target has them).
    [[gnu::always_inline]] static void copy16(uint8_t *to, const uint8_t *from) {
        std::memcpy(to, from, 16);
    }
    static constexpr uint8_t kZeros[16] = {};

    // Block b of the padded plaintext into edge_[l]: header byte, zero fill,
    // whatever part of the plaintext falls inside, trailing zeros. Only long
    // messages come here, at their edges.
    [[gnu::noinline]] void assemble(int l, int64_t b) {
        const Message &m = msg_[l];
        const int64_t n = job_.src_len[m.index];
        uint8_t *e = edge_[l];
        std::memset(e, 0, kBlock);
        if (b == 0) {
            e[0] = static_cast<uint8_t>(0xF8u | static_cast<uint32_t>(m.body - 3));
        }
        const int64_t lo = b * kBlock > m.body ? b * kBlock : m.body;
        const int64_t hi = (b + 1) * kBlock < m.body + n ? (b + 1) * kBlock : m.body + n;
        if (lo < hi) {
            std::memcpy(e + (lo - b * kBlock), job_.src[m.index] + (lo - m.body),
                        static_cast<size_t>(hi - lo));
        }
    }

    [[gnu::always_inline]] void on_event(int l) {
        Message &m = msg_[l];
        const int64_t i = m.index;
        if (i < 0) {
            go_idle(l);  // the scratch area once more
            return;
        }
        if constexpr (D == Dir::decrypt) {
            if (m.next_block == 1 && m.blocks == 2) {
                if (job_.src_len[i] - (edge_[l][0] & 0x07) - 10 < 0) {
                    job_.result[i] = job_.refusal(QULO_E_FILL);  // nothing was written
                    ++refused_;
                    finish(l);
                    return;
                }
                std::memcpy(job_.out[i], edge_[l], kBlock);
            }
        }
        if (m.next_block < m.blocks) {
            start_run(l);
            return;
        }
        uint8_t *const out = job_.out[i];
        if constexpr (D == Dir::encrypt) {
            const int64_t total = m.blocks * kBlock;
            if (job_.out_capacity[i] > total) {
                std::memset(out + total, 0, static_cast<size_t>(job_.out_capacity[i] - total));
            }
            job_.result[i] = total;
        } else {
            const int64_t n = job_.src_len[i];
            const int64_t fill = out[0] & 0x07;
            const int64_t plain = n - fill - 10;
            if (job_.start != nullptr) {
                job_.start[i] = fill + 3;
            } else {
                // The move ends before the trailer, still where it was decrypted.
                qulo::move_down(out, out + fill + 3, plain);
            }
            job_.result[i] = plain;
            if (job_.verify) [[unlikely]] {
                verify(i);
            }
        }
        finish(l);
    }

    // A verified decryption: message i is refused when its trailer (the
    // move to the front ends before it) is not zero. Out of line, so that
    // the kernel's code without verification stays as it was.
    [[gnu::noinline, gnu::cold]] void verify(int64_t i) {
        if (!trailer_is_zero(job_.out[i] + job_.src_len[i] - kTrailer)) {
            job_.result[i] = job_.refusal(QULO_E_CHECK);
            ++refused_;
        }
    }

    [[gnu::always_inline]] void finish(int l) {
        --active_;
        take_next(l);
    }

    const Job &job_;
    const Secret<Consts<V>> c_;  // the key words and sums in every word
    // Between runs of steps: the chained block each step starts from, and
    // the one it ends with, [parity of the step][half] (see run_steps).
    V carry_hi_[U], carry_lo_[U];
    V late_[2][2][U];
    // The next step's blocks, read ahead, and the last step's results, not
    // yet written: [half][vector].
    V ahead_[2][U];
    V done_[2][U];
    // Where each lane's run reads and writes, less kBlock per step taken
    // (see load_lane), as integers: the base may lie outside any object.
    uintptr_t in_[L];
    uintptr_t out_[L];
    int64_t end_[L];  // the step at which the lane's run ends
    Message msg_[L];
    alignas(8) uint8_t edge_[L][kBlock];
    alignas(8) uint8_t idle_[kIdleBlocks * kBlock] = {};
    int64_t step_ = 0;
    int64_t next_event_ = 0;
    int64_t next_ = 0;
    int64_t refused_ = 0;
    int active_ = 0;
};

// A T that starts a page of its own, in a frame of its size and one page
// more. Left to the stack frame, where the kernel's state fell within a
// page moved with every change of the code, and the timings with it, by up
// to 7% for 64-byte messages (presumably loads held back behind stores at
// the same offset of another page): on a page boundary it stays put, and
// so do the timings. Declared alignas(4096), the state would also round its
// size up to whole pages, and the frame by up to a page more.
template <class T>
class OnPage {
public:
    static constexpr size_t kPage = 4096;

    template <class... Args>
    explicit OnPage(Args &&...args) {
        const auto at = reinterpret_cast<uintptr_t>(raw_);
        void *page = raw_ + ((kPage - at % kPage) % kPage);
        object_ = new (page) T(std::forward<Args>(args)...);
    }
    ~OnPage() { object_->~T(); }
    OnPage(const OnPage &) = delete;
    OnPage &operator=(const OnPage &) = delete;

    T *operator->() { return object_; }

private:
    alignas(alignof(T)) unsigned char raw_[sizeof(T) + kPage - alignof(T)];
    T *object_;
};

template <class V, int U, Order O, Dir D, bool Std>
int64_t run_lanes(const Job &job) {
    OnPage<Lanes<V, U, O, D, Std>> lanes(job);
    return lanes->run();
}

template <class V, int U>
constexpr KernelOps make_kernel() {
    return {{run_lanes<V, U, Order::big, Dir::encrypt, true>,
             run_lanes<V, U, Order::big, Dir::decrypt, true>},
            {{run_lanes<V, U, Order::big, Dir::encrypt, false>,
              run_lanes<V, U, Order::host, Dir::encrypt, false>},
             {run_lanes<V, U, Order::big, Dir::decrypt, false>,
              run_lanes<V, U, Order::host, Dir::decrypt, false>}}};
}

}  // namespace
}  // namespace qulo::batch
