// The lane kernel of the many-messages engine, written once over a vector
// type and instantiated per instruction set by batch_scalar.cpp,
// batch_avx2.cpp and batch_avx512.cpp (x86-64, each compiled with its own
// target flags) and batch_neon.cpp (AArch64, baseline flags). Not installed.
//
// A kernel runs L = U x W lanes: U vectors of W 32-bit words, interleaved so
// that the core always has independent work. Each lane carries one message
// through the qq-mode chain, one block per step; all lanes step together.
// A lane whose message ends takes the next pending one, so messages of
// mixed lengths keep every lane busy until the queue is empty (the
// schedule: lanes/schedule.hpp). A kernel may have two widths, the wider
// one for jobs with messages enough to fill it, chosen once per call.
//
// The parts, each in core/lanes/: the word type and the transform over U
// vectors (transform.hpp), the moves of the lanes' blocks into vector halves
// and back (layout.hpp), the padding of plaintexts (padding.hpp), and the
// lanes with their schedule and step (schedule.hpp); the interface to the
// driver is job.hpp.
//
// Everything here has internal linkage (an unnamed namespace): each
// instruction-set unit gets its own copy, so code compiled for AVX-512 can
// never be merged into, and then called from, a unit built for the baseline.
#pragma once

#include "lanes/job.hpp"
#include "lanes/schedule.hpp"
#include "qulo/block.hpp"
#include "qulo/operation.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace qulo::batch {
namespace {

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

// One state of U vectors of lanes over the job, in parts of as many
// messages as one state serves. Each width in a frame of its own.
template <class V, int U, Order O, Dir D, bool Std>
[[gnu::noinline]] int64_t run_width(const Job &job) {
    using State = Lanes<V, U, O, D, Std>;
    const Messages all(job);
    int64_t refused = 0;
    for (int64_t first = 0; first < job.count; first += State::kMessages) {
        const int64_t n = job.count - first < State::kMessages ? job.count - first : State::kMessages;
        OnPage<State> lanes(job, all.part(first, n));
        refused += lanes->run();
    }
    return refused;
}

// The kernel of one operation: U vectors of lanes, or Wide vectors when
// the CPU gains by them (Job::wide) and the job has messages enough to fill
// them.
template <class V, int U, int Wide, Order O, Dir D, bool Std>
int64_t run_lanes(const Job &job) {
    if constexpr (Wide != U) {
        if (job.wide && job.pending >= int64_t{Wide} * kWidth<V>) {
            return run_width<V, Wide, O, D, Std>(job);
        }
    }
    return run_width<V, U, O, D, Std>(job);
}

template <class V, int U, int Wide = U>
constexpr KernelOps make_kernel() {
    return {{run_lanes<V, U, Wide, Order::big, Dir::encrypt, true>,
             run_lanes<V, U, Wide, Order::big, Dir::decrypt, true>},
            {{run_lanes<V, U, Wide, Order::big, Dir::encrypt, false>,
              run_lanes<V, U, Wide, Order::host, Dir::encrypt, false>},
             {run_lanes<V, U, Wide, Order::big, Dir::decrypt, false>,
              run_lanes<V, U, Wide, Order::host, Dir::decrypt, false>}}};
}

}  // namespace
}  // namespace qulo::batch
