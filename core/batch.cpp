// The many-messages entry points: the checks of the one-message contract,
// the choice of kernel, and the hand-over to it.
//
// Each message is first settled as far as its lengths allow: a refusal by
// length is -1 at once, and a message whose source overlaps its own output
// (allowed for one message, but a lane reads its source while it writes)
// goes to the one-message entry point, which handles that case. The rest
// are marked pending and run in the lanes of the kernel in use.

#include "qulo/batch.h"

#include "batch_kernels.hpp"
#include "qulo/block.hpp"
#include "qulo/length_rule.hpp"
#include "qulo/ranges.hpp"
#include "qulo/tea.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace qulo;
using batch::Dir;
using batch::KernelOps;

// ---- kernel choice ----------------------------------------------------------

constexpr const KernelOps *kKernels[] = {&batch::kAvx512Kernel, &batch::kAvx2Kernel,
                                         &batch::kScalarKernel};

bool cpu_runs(const KernelOps &k) {
    if (&k == &batch::kAvx512Kernel) {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl");
    }
    if (&k == &batch::kAvx2Kernel) {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    }
    return true;
}

const KernelOps *find_kernel(const char *name) {
    for (const KernelOps *k : kKernels) {
        if (std::strcmp(k->name, name) == 0) {
            return k;
        }
    }
    return nullptr;
}

// Why the environment's choice was refused; built once, read-only after.
char g_error[256];

// The start-up choice: the environment's, or the fastest kernel the CPU
// runs. Null (with g_error set) when the environment names one that cannot
// run here.
const KernelOps *startup_choice() {
    const char *wanted = std::getenv("QULO_BATCH_KERNEL");
    if (wanted == nullptr || wanted[0] == '\0') {
        for (const KernelOps *k : kKernels) {
            if (cpu_runs(*k)) {
                return k;
            }
        }
        return &batch::kScalarKernel;
    }
    const KernelOps *k = find_kernel(wanted);
    if (k != nullptr && cpu_runs(*k)) {
        return k;
    }
    char runnable[64] = "";
    for (const KernelOps *c : kKernels) {
        if (cpu_runs(*c)) {
            std::strncat(runnable, runnable[0] != '\0' ? ", " : "", sizeof runnable - 1);
            std::strncat(runnable, c->name, sizeof runnable - std::strlen(runnable) - 1);
        }
    }
    if (k == nullptr) {
        std::snprintf(g_error, sizeof g_error,
                      "QULO_BATCH_KERNEL=%.32s names no kernel (known: avx512, avx2, scalar; "
                      "this CPU runs: %s)",
                      wanted, runnable);
    } else {
        std::snprintf(g_error, sizeof g_error,
                      "QULO_BATCH_KERNEL=%.32s names a kernel this CPU cannot run "
                      "(this CPU runs: %s)",
                      wanted, runnable);
    }
    return nullptr;
}

// The start-up choice is made once; an explicit selection overrides it
// until it is cleared again.
struct Startup {
    const KernelOps *kernel;
    const char *error;
};

// The first caller makes the choice while later ones wait for it (a few
// microseconds, once per process). Spelt out with an atomic rather than a
// guarded static, whose guard lives in the C++ runtime library: the wheel
// must not depend on that library.
Startup g_startup{};
std::atomic<int> g_startup_state{0};  // 0 not chosen, 1 being chosen, 2 chosen

const Startup &startup() {
    if (g_startup_state.load(std::memory_order_acquire) != 2) {
        int expected = 0;
        if (g_startup_state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            const KernelOps *k = startup_choice();
            g_startup = {k, k == nullptr ? g_error : nullptr};
            g_startup_state.store(2, std::memory_order_release);
        } else {
            while (g_startup_state.load(std::memory_order_acquire) != 2) {
            }
        }
    }
    return g_startup;
}

std::atomic<const KernelOps *> g_selected{nullptr};

const KernelOps *kernel_in_use() {
    const KernelOps *k = g_selected.load(std::memory_order_acquire);
    return k != nullptr ? k : startup().kernel;
}

// ---- the driver ---------------------------------------------------------------

// The one-message entry point of the same operation, for the messages the
// lanes do not take.
struct Single {
    const qulo_key *key;
    const uint8_t *sumtable;  // null for the qq pair
    Order order;
    int64_t operator()(Dir d, const uint8_t *src, int64_t n, uint8_t *out, int64_t cap) const {
        if (sumtable == nullptr) {
            return d == Dir::encrypt ? qulo_encrypt_qq(key, src, n, out, cap)
                                     : qulo_decrypt_qq(key, src, n, out, cap);
        }
        if (order == Order::big) {
            return d == Dir::encrypt ? qulo_encrypt(key, sumtable, src, n, out, cap)
                                     : qulo_decrypt(key, sumtable, src, n, out, cap);
        }
        return d == Dir::encrypt ? qulo_encrypt_native_endian(key, sumtable, src, n, out, cap)
                                 : qulo_decrypt_native_endian(key, sumtable, src, n, out, cap);
    }
};

int64_t run_batch(Dir dir, Order order, const qulo_key *key, const uint8_t *sumtable,
                  int64_t count, const uint8_t *const *src, const int64_t *src_len,
                  uint8_t *const *out, const int64_t *out_capacity, int64_t *result) {
    const KernelOps *kernel = kernel_in_use();
    if (count < 0 || kernel == nullptr) {
        return -1;
    }
    const Single single{key, sumtable, order};
    bool any_pending = false;
    int64_t refused = 0;
    for (int64_t i = 0; i < count; ++i) {
        const int64_t n = src_len[i];
        const int64_t cap = out_capacity[i];
        int64_t r = batch::kPending;
        if (dir == Dir::encrypt) {
            if (n < 0 || n > QULO_MAX_PLAINTEXT_LEN || length_rule(n) > cap) {
                r = -1;
            } else if (overlaps(src[i], n, out[i], cap)) {
                r = single(dir, src[i], n, out[i], cap);
            }
        } else {
            if (n < 16 || n % 8 != 0 || n > cap) {
                r = -1;
            } else if (src[i] != out[i] && overlaps(src[i], n, out[i], cap)) {
                r = single(dir, src[i], n, out[i], cap);
            }
        }
        result[i] = r;
        any_pending |= r == batch::kPending;
        refused += r < 0 && r != batch::kPending ? 1 : 0;
    }
    if (any_pending) {
        const batch::Job job{words_of(key),
                             sumtable == nullptr ? kStandardSums : load_sums(sumtable),
                             count,
                             src,
                             src_len,
                             out,
                             out_capacity,
                             result};
        const int d = batch::index_of(dir);
        refused += sumtable == nullptr ? kernel->standard[d](job)
                                       : kernel->table[d][batch::index_of(order)](job);
    }
    return refused;
}

}  // namespace

extern "C" {

int64_t qulo_batch_encrypt_qq(const qulo_key *key, int64_t count, const uint8_t *const *src,
                              const int64_t *src_len, uint8_t *const *out,
                              const int64_t *out_capacity, int64_t *result) {
    return run_batch(Dir::encrypt, Order::big, key, nullptr, count, src, src_len, out,
                     out_capacity, result);
}

int64_t qulo_batch_decrypt_qq(const qulo_key *key, int64_t count, const uint8_t *const *src,
                              const int64_t *src_len, uint8_t *const *out,
                              const int64_t *out_capacity, int64_t *result) {
    return run_batch(Dir::decrypt, Order::big, key, nullptr, count, src, src_len, out,
                     out_capacity, result);
}

int64_t qulo_batch_encrypt(const qulo_key *key, const uint8_t *sumtable, int64_t count,
                           const uint8_t *const *src, const int64_t *src_len,
                           uint8_t *const *out, const int64_t *out_capacity, int64_t *result) {
    return run_batch(Dir::encrypt, Order::big, key, sumtable, count, src, src_len, out,
                     out_capacity, result);
}

int64_t qulo_batch_decrypt(const qulo_key *key, const uint8_t *sumtable, int64_t count,
                           const uint8_t *const *src, const int64_t *src_len,
                           uint8_t *const *out, const int64_t *out_capacity, int64_t *result) {
    return run_batch(Dir::decrypt, Order::big, key, sumtable, count, src, src_len, out,
                     out_capacity, result);
}

int64_t qulo_batch_encrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                         int64_t count, const uint8_t *const *src,
                                         const int64_t *src_len, uint8_t *const *out,
                                         const int64_t *out_capacity, int64_t *result) {
    return run_batch(Dir::encrypt, Order::host, key, sumtable, count, src, src_len, out,
                     out_capacity, result);
}

int64_t qulo_batch_decrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                         int64_t count, const uint8_t *const *src,
                                         const int64_t *src_len, uint8_t *const *out,
                                         const int64_t *out_capacity, int64_t *result) {
    return run_batch(Dir::decrypt, Order::host, key, sumtable, count, src, src_len, out,
                     out_capacity, result);
}

const char *qulo_batch_kernel(void) {
    const KernelOps *k = kernel_in_use();
    return k != nullptr ? k->name : nullptr;
}

const char *qulo_batch_kernel_error(void) {
    return kernel_in_use() != nullptr ? nullptr : startup().error;
}

int qulo_batch_kernel_supported(const char *name) {
    const KernelOps *k = name != nullptr ? find_kernel(name) : nullptr;
    return k != nullptr && cpu_runs(*k) ? 1 : 0;
}

int qulo_batch_select_kernel(const char *name) {
    if (name == nullptr) {
        g_selected.store(nullptr, std::memory_order_release);
        return 0;
    }
    const KernelOps *k = find_kernel(name);
    if (k == nullptr || !cpu_runs(*k)) {
        return -1;
    }
    g_selected.store(k, std::memory_order_release);
    return 0;
}

}  // extern "C"
