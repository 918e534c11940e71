// The lanes of a kernel and their schedule: which message each lane
// carries, where its blocks are read and written, and the step that moves
// every lane's chain one block on. Internal linkage, as everything of the
// kernels (see batch_kernels.hpp).
#pragma once

#include "job.hpp"
#include "layout.hpp"
#include "padding.hpp"
#include "transform.hpp"
#include "qulo/block.hpp"
#include "qulo/mode.h"
#include "qulo/move_down.hpp"
#include "qulo/operation.hpp"
#include "qulo/secret.hpp"

#include <cstdint>
#include <cstring>

namespace qulo::batch {
namespace {

// An idle lane runs over a scratch area of this many blocks, again and again.
constexpr int64_t kIdleBlocks = 32;

// A kernel's state, on the stack of the calling thread (see OnPage).
template <class V, int U, Order O, Dir D, bool Std>
class Lanes {
public:
    static constexpr int W = kWidth<V>;
    static constexpr int L = U * W;
    static_assert(W == 1 || W % 4 == 0, "vectors are split in groups of four words");

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
                read_lanes<V, O>(in_ + u * W, at, hi[u], lo[u]);
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
                write_lanes<V, O>(out_ + u * W, at, hi[u], lo[u]);
            }
        }
    }

    // The blocks of the step at offset `at` (a step_offset()) into ahead_.
    // Each lane's 8 bytes are taken as they lie; the byte order and the
    // split into halves happen in the vectors, all lanes at once.
    [[gnu::always_inline]] void read_ahead(uintptr_t at) {
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            read_lanes<V, O>(in_ + u * W, at, ahead_[0][u], ahead_[1][u]);
        }
    }

    // The results in done_ to the lanes, for the step at offset `at`.
    [[gnu::always_inline]] void write_back(uintptr_t at) {
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            write_lanes<V, O>(out_ + u * W, at, done_[0][u], done_[1][u]);
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

    uintptr_t step_offset() const { return static_cast<uintptr_t>(step_) * kBlock; }

    // Lane l reads `run` blocks from `in` on and writes them from `out` on,
    // starting with the next step.
    void arm(int l, const uint8_t *in, uint8_t *out, int64_t run) {
        in_[l] = reinterpret_cast<uintptr_t>(in) - step_offset();
        out_[l] = reinterpret_cast<uintptr_t>(out) - step_offset();
        end_[l] = step_ + run;
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

    // Block b of the padded plaintext into edge_[l]: header byte, zero fill,
    // whatever part of the plaintext falls inside, trailing zeros. Only long
    // messages come here, at their edges.
    [[gnu::noinline]] void assemble(int l, int64_t b) {
        const Message &m = msg_[l];
        pad_block(edge_[l], b, m.body, job_.src[m.index], job_.src_len[m.index]);
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
    // (see arm), as integers: the base may lie outside any object.
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

}  // namespace
}  // namespace qulo::batch
