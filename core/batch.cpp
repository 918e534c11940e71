// The many-messages entry points: the checks of the one-message contract,
// the choice of kernel, and the hand-over to it.
//
// Each message is first settled as far as its lengths allow: a refusal by
// length gets its status at once (-1 for the named entry points), and a
// message whose source overlaps its own output (allowed for one message,
// but a lane reads its source while it writes) goes to qulo_run, which
// handles that case, as does one longer than the lanes take (4 GiB). The
// rest are marked pending and run in the lanes of the kernel in use.

#include "qulo/batch.h"

#include "lanes/job.hpp"
#include "qulo/batch_hooks.hpp"
#include "qulo/block.hpp"
#include "qulo/mode.h"
#include "qulo/operation.hpp"
#include "qulo/ranges.hpp"
#include "qulo/secret.hpp"
#include "qulo/tea.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

using namespace qulo;
using batch::Job;
using batch::KernelOps;

// ---- kernel choice ----------------------------------------------------------

#if defined(__x86_64__)
bool runs_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl");
}

bool runs_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

// Whether eight vectors of lanes outrun four: on cores that run 512-bit
// integer operations on full-width units of their own (AMD from family 26,
// Zen 5: the bare transform 1.42 times as fast with eight), not where two
// ports carry them (Intel's server cores: eight vectors 2% faster there, the
// whole kernel 8 to 12% slower with 128 lanes than with 64).
bool wide_lanes_pay() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) == 0) {
        return false;
    }
    const bool amd = b == 0x68747541u && d == 0x69746e65u && c == 0x444d4163u;  // AuthenticAMD
    if (!amd || __get_cpuid(1, &a, &b, &c, &d) == 0) {
        return false;
    }
    unsigned family = (a >> 8) & 0xFu;
    if (family == 0xFu) {
        family += (a >> 20) & 0xFFu;
    }
    return family >= 0x1Au;
}
#else
bool wide_lanes_pay() { return false; }
#endif

bool runs_anywhere() { return true; }

struct Kernel {
    const char *name;
    const KernelOps *ops;
    bool (*cpu_runs)();
};

// Every kernel this build has, fastest first; the last one runs on every
// CPU. The choice, its error text and the hooks all read this table. The
// vector kernels are those of the architecture compiled for (the same test
// as in core/CMakeLists.txt and lanes/job.hpp); elsewhere only the
// portable one.
constexpr Kernel kKernels[] = {
#if defined(__x86_64__)
    {"avx512", &batch::kAvx512Kernel, runs_avx512},
    {"avx2", &batch::kAvx2Kernel, runs_avx2},
#elif defined(__aarch64__)
    {"neon", &batch::kNeonKernel, runs_anywhere},  // Advanced SIMD is baseline AArch64
#endif
    {"scalar", &batch::kScalarKernel, runs_anywhere},
};
constexpr int kKernelCount = static_cast<int>(std::size(kKernels));

// A choice: an index into kKernels, or why there is none.
enum Choice : int { kNoSuchKernel = -1, kCannotRun = -2, kUnchosen = -3 };

int find_kernel(const char *name) {
    for (int i = 0; i < kKernelCount; ++i) {
        if (std::strcmp(kKernels[i].name, name) == 0) {
            return i;
        }
    }
    return kNoSuchKernel;
}

// The variable's value as the start-up choice read it: as many bytes as its
// sentence can show (kShownValue, and one more to know it is longer). The
// variable may change later; what was refused is what was read.
constexpr size_t kShownValue = 32;

struct StartupChoice {
    int kernel;
    char wanted[kShownValue + 2];
};

// The environment's kernel, or the fastest this CPU runs.
StartupChoice make_startup_choice() {
    StartupChoice c{kUnchosen, {}};
    const char *wanted = std::getenv("QULO_BATCH_KERNEL");
    if (wanted == nullptr || wanted[0] == '\0') {
        int i = 0;
        while (!kKernels[i].cpu_runs()) {
            ++i;  // ends at the last kernel, which runs everywhere
        }
        c.kernel = i;
        return c;
    }
    std::strncpy(c.wanted, wanted, sizeof c.wanted - 1);
    const int k = find_kernel(wanted);
    c.kernel = k < 0 || kKernels[k].cpu_runs() ? k : kCannotRun;
    return c;
}

// The start-up choice, made once, on first use; it depends only on the
// environment and the CPU.
const StartupChoice &startup_choice() {
    static const StartupChoice choice = make_startup_choice();
    return choice;
}

// A kernel selected through the hooks, or kUnchosen.
std::atomic<int> g_selected{kUnchosen};

// The width the hooks asked for: 1 wide, 0 not, -1 as the CPU pays.
std::atomic<int> g_wide{-1};

bool wide_lanes() {
    static const bool pays = wide_lanes_pay();
    const int w = g_wide.load(std::memory_order_relaxed);
    return w < 0 ? pays : w != 0;
}

int kernel_choice() {
    if (const int k = g_selected.load(std::memory_order_relaxed); k >= 0) {
        return k;
    }
    return startup_choice().kernel;
}

// The text of qulo_batch_kernel_error, written with snprintf's contract:
// as much as fits, always terminated, and the whole length counted.
class Text {
public:
    Text(char *buf, size_t size) : buf_(buf), size_(size) {}
    ~Text() {
        if (size_ > 0) {
            buf_[len_ < size_ ? len_ : size_ - 1] = '\0';
        }
    }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;

    Text &operator<<(char c) {
        if (len_ + 1 < size_) {
            buf_[len_] = c;
        }
        ++len_;
        return *this;
    }
    Text &operator<<(const char *s) {
        while (*s != '\0') {
            *this << *s++;
        }
        return *this;
    }
    size_t length() const { return len_; }

private:
    char *buf_;
    size_t size_;
    size_t len_ = 0;
};

// One byte of the variable as ASCII: a printable character as it is, a
// backslash doubled, any other byte as \xNN.
struct Escaped {
    char text[5];
    explicit Escaped(uint8_t b) : text{} {
        constexpr char kHex[] = "0123456789abcdef";
        if (b == '\\') {
            text[0] = text[1] = '\\';
        } else if (b >= 0x20 && b < 0x7F) {
            text[0] = static_cast<char>(b);
        } else {
            text[0] = '\\';
            text[1] = 'x';
            text[2] = kHex[b >> 4];
            text[3] = kHex[b & 0x0F];
        }
    }
    size_t size() const { return std::strlen(text); }
};

// The variable's value escaped; when that is longer than kShownValue
// characters, cut after the last whole byte that fits with "..." behind it.
void add_value(Text &text, const char *value) {
    size_t full = 0;
    for (const char *p = value; *p != '\0'; ++p) {
        full += Escaped(static_cast<uint8_t>(*p)).size();
    }
    const size_t room = full <= kShownValue ? kShownValue : kShownValue - 3;
    size_t shown = 0;
    for (const char *p = value; *p != '\0'; ++p) {
        const Escaped e(static_cast<uint8_t>(*p));
        shown += e.size();
        if (shown > room) {
            text << "...";
            return;
        }
        text << e.text;
    }
}

// The kernels of the table, or those this CPU runs, as "a, b, c".
void add_names(Text &text, bool runnable_only) {
    const char *sep = "";
    for (const Kernel &k : kKernels) {
        if (!runnable_only || k.cpu_runs()) {
            text << sep << k.name;
            sep = ", ";
        }
    }
}

// ---- the driver ---------------------------------------------------------------

// Settles every message its lengths decide (and those the lanes cannot
// take) and marks the rest pending, counting them in job.pending; returns
// how many it refused.
template <Dir D>
int64_t settle(const qulo_key *key, const qulo_op *op, Job &job) {
    int64_t refused = 0;
    for (int64_t i = 0; i < job.count; ++i) {
        const uint8_t *src = job.src[i];
        uint8_t *out = job.out[i];
        const int64_t n = job.src_len[i];
        const int64_t cap = job.out_capacity[i];
        int64_t r = length_status<D>(n, cap);
        if (r == 0) {
            // A lane reads its source while it writes: a source overlapping
            // its own output (in-place decryption aside) goes to qulo_run,
            // which handles any overlap.
            const bool in_place = D == Dir::decrypt && src == out;
            const bool lanes_take =
                n <= batch::kLaneMaxLength && (in_place || !overlaps(src, n, out, cap));
            r = lanes_take ? batch::kPending : qulo_run(key, op, src, n, out, cap);
        }
        if (r == batch::kPending) {
            ++job.pending;
        } else if (r < 0) {
            r = job.refusal(r);
            ++refused;
        }
        if (job.start != nullptr) {
            job.start[i] = 0;  // a ciphertext, or a plaintext qulo_run moved to the front
        }
        job.result[i] = r;
    }
    return refused;
}

int64_t run_batch(const qulo_key *key, const qulo_op *op, bool named, int64_t count,
                  const uint8_t *const *src, const int64_t *src_len, uint8_t *const *out,
                  const int64_t *out_capacity, int64_t *result, int64_t *start = nullptr) {
    if (op == nullptr) {
        return QULO_E_NULL;
    }
    const std::optional<Operation> operation = read_op(*op);
    if (!operation || count < 0) {
        return QULO_E_ARGUMENT;
    }
    const int kernel = kernel_choice();
    if (kernel < 0) {
        return QULO_E_STATE;
    }
    Secret<Job> job(std::in_place, [&] {
        return Job{words_of(key), sums_of(*op), count, src, src_len, out, out_capacity, result,
                   start, operation->verify, named};
    });
    job->wide = wide_lanes();
    int64_t refused = operation->dir == Dir::encrypt ? settle<Dir::encrypt>(key, op, *job)
                                                     : settle<Dir::decrypt>(key, op, *job);
    if (job->pending > 0) {
        const KernelOps &ops = *kKernels[kernel].ops;
        refused += dispatch(*operation, [&]<Dir D, Order O, bool Std>() {
            return ops.get<D, O, Std>()(*job);
        });
    }
    return refused;
}

// The fixed operation of a named entry point (they never verify).
constexpr qulo_op named_op(int32_t direction, int32_t order, const uint8_t *sumtable) {
    return {direction, order, sumtable, 0};
}

}  // namespace

namespace qulo::batch {

const char *known(size_t i) {
    return i < static_cast<size_t>(kKernelCount) ? kKernels[i].name : nullptr;
}

bool supported(const char *name) {
    const int k = name != nullptr ? find_kernel(name) : kNoSuchKernel;
    return k >= 0 && kKernels[k].cpu_runs();
}

void select_wide(int wide) { g_wide.store(wide < 0 ? -1 : wide != 0, std::memory_order_relaxed); }


bool select(const char *name) {
    if (name == nullptr) {
        g_selected.store(kUnchosen, std::memory_order_relaxed);
        return true;
    }
    if (!supported(name)) {
        return false;
    }
    g_selected.store(find_kernel(name), std::memory_order_relaxed);
    return true;
}

}  // namespace qulo::batch

extern "C" {

int64_t qulo_batch_run(const qulo_key *key, const qulo_op *op, int64_t count,
                       const uint8_t *const *src, const int64_t *src_len, uint8_t *const *out,
                       const int64_t *out_capacity, int64_t *result) {
    return run_batch(key, op, false, count, src, src_len, out, out_capacity, result);
}

int64_t qulo_batch_run_placed(const qulo_key *key, const qulo_op *op, int64_t count,
                              const uint8_t *const *src, const int64_t *src_len,
                              uint8_t *const *out, const int64_t *out_capacity, int64_t *result,
                              int64_t *start) {
    if (start == nullptr) {
        return QULO_E_NULL;
    }
    return run_batch(key, op, false, count, src, src_len, out, out_capacity, result, start);
}

int64_t qulo_batch_encrypt_qq(const qulo_key *key, int64_t count, const uint8_t *const *src,
                              const int64_t *src_len, uint8_t *const *out,
                              const int64_t *out_capacity, int64_t *result) {
    const qulo_op op = named_op(QULO_ENCRYPT, QULO_BIG_ENDIAN, nullptr);
    return as_named(run_batch(key, &op, true, count, src, src_len, out, out_capacity, result));
}

int64_t qulo_batch_decrypt_qq(const qulo_key *key, int64_t count, const uint8_t *const *src,
                              const int64_t *src_len, uint8_t *const *out,
                              const int64_t *out_capacity, int64_t *result) {
    const qulo_op op = named_op(QULO_DECRYPT, QULO_BIG_ENDIAN, nullptr);
    return as_named(run_batch(key, &op, true, count, src, src_len, out, out_capacity, result));
}

int64_t qulo_batch_encrypt(const qulo_key *key, const uint8_t *sumtable, int64_t count,
                           const uint8_t *const *src, const int64_t *src_len,
                           uint8_t *const *out, const int64_t *out_capacity, int64_t *result) {
    const qulo_op op = named_op(QULO_ENCRYPT, QULO_BIG_ENDIAN, sumtable);
    return as_named(run_batch(key, &op, true, count, src, src_len, out, out_capacity, result));
}

int64_t qulo_batch_decrypt(const qulo_key *key, const uint8_t *sumtable, int64_t count,
                           const uint8_t *const *src, const int64_t *src_len,
                           uint8_t *const *out, const int64_t *out_capacity, int64_t *result) {
    const qulo_op op = named_op(QULO_DECRYPT, QULO_BIG_ENDIAN, sumtable);
    return as_named(run_batch(key, &op, true, count, src, src_len, out, out_capacity, result));
}

int64_t qulo_batch_encrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                         int64_t count, const uint8_t *const *src,
                                         const int64_t *src_len, uint8_t *const *out,
                                         const int64_t *out_capacity, int64_t *result) {
    const qulo_op op = named_op(QULO_ENCRYPT, QULO_HOST_ORDER, sumtable);
    return as_named(run_batch(key, &op, true, count, src, src_len, out, out_capacity, result));
}

int64_t qulo_batch_decrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                         int64_t count, const uint8_t *const *src,
                                         const int64_t *src_len, uint8_t *const *out,
                                         const int64_t *out_capacity, int64_t *result) {
    const qulo_op op = named_op(QULO_DECRYPT, QULO_HOST_ORDER, sumtable);
    return as_named(run_batch(key, &op, true, count, src, src_len, out, out_capacity, result));
}

const char *qulo_batch_kernel(void) {
    const int k = kernel_choice();
    return k >= 0 ? kKernels[k].name : nullptr;
}

size_t qulo_batch_kernel_error(char *buf, size_t size) {
    const int k = kernel_choice();
    Text text(buf, size);
    if (k >= 0) {
        return 0;
    }
    text << "QULO_BATCH_KERNEL=";
    add_value(text, startup_choice().wanted);
    if (k == kNoSuchKernel) {
        text << " names no kernel (known: ";
        add_names(text, false);
        text << "; this CPU runs: ";
    } else {
        text << " names a kernel this CPU cannot run (this CPU runs: ";
    }
    add_names(text, true);
    text << ')';
    return text.length();
}

const char *qulo_batch_kernel_known(size_t i) { return batch::known(i); }

int qulo_batch_kernel_supported(const char *name) { return batch::supported(name) ? 1 : 0; }

int qulo_batch_select_kernel(const char *name) { return batch::select(name) ? 0 : -1; }

}  // extern "C"
