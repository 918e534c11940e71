// Native benchmark of the many-messages entry points: aggregate throughput
// of each kernel this CPU runs against qulo_encrypt_qq (and
// qulo_decrypt_qq) called once per message on the same messages; and, on
// the fastest kernel, qulo_batch_run with the same operation, which reports
// statuses where the named entry points report -1.
//
// Each kernel is also set against its ceiling: the bare block transform of
// its own width (ceiling.hpp), blocks held in registers, no mode, no memory,
// the fastest of a few group sizes. That share is counted in blocks, the
// ciphertext's (a 64-byte plaintext is 80 bytes of blocks), since blocks are
// what both transform. A shape of mixed lengths (uniform over twice its
// mean) is also set against the equal lengths of the same count and mean:
// the ratio of their shares.
//
// Every figure is a ratio of two timings taken in the same rounds: the
// variants are interleaved round after round and each keeps its best batch,
// so a slow spell of the shared machine hits them alike.
//
// Usage: qulo_batch_bench [--reps N] [--json FILE] [--shape MESSAGESxBYTES[-mixed] ...]
// (--shape keeps only the shapes named, e.g. --shape 64x1024 --shape 1024x1024-mixed)

#include "ceiling.hpp"
#include "qulo/batch.h"
#include "qulo/batch_hooks.hpp"
#include "qulo/mode.h"
#include "qulo/tea.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A timed batch runs at least this long, so the clock's resolution is noise.
constexpr double kMinBatchSeconds = 0.004;

struct Shape {
    int messages;
    int64_t bytes;  // plaintext bytes per message, or their mean
    bool mixed;     // lengths uniform over [0, 2 * bytes) instead of equal
};

constexpr std::array<Shape, 11> kShapes = {{
    {64, 1024, false},
    {256, 1024, false},
    {256, 1024, true},
    {1024, 1024, false},
    {1024, 1024, true},
    {1024, 64, false},
    {10000, 64, false},  // the Python benchmark's shape, without Python
    {10000, 64, true},
    {100000, 64, false},  // short messages out of the caches
    {100000, 64, true},
    {64, 64 * 1024, false},
}};

// The messages of one shape with their outputs, in both directions.
struct Set {
    Shape shape;
    std::vector<std::vector<uint8_t>> plain, cipher, out;
    std::vector<const uint8_t *> plain_ptr, cipher_ptr;
    std::vector<uint8_t *> out_ptr;
    std::vector<int64_t> plain_len, cipher_len, cap, result;
    int64_t total_plain = 0;
    int64_t total_cipher = 0;  // bytes of blocks, either direction
};

Set make_set(const Shape &s, const qulo_key &key) {
    Set set{s, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, 0, 0};
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int i = 0; i < s.messages; ++i) {
        const int64_t n = s.mixed ? static_cast<int64_t>(next() % (2 * s.bytes)) : s.bytes;
        std::vector<uint8_t> p(static_cast<size_t>(n));
        for (auto &b : p) {
            b = static_cast<uint8_t>(next());
        }
        const int64_t t = qulo_encrypt_len(n);
        std::vector<uint8_t> c(static_cast<size_t>(t));
        if (qulo_encrypt_qq(&key, p.data(), n, c.data(), t) != t) {
            std::abort();
        }
        set.plain.push_back(std::move(p));
        set.cipher.push_back(std::move(c));
        set.out.emplace_back(static_cast<size_t>(t));
        set.total_plain += n;
        set.total_cipher += t;
    }
    for (int i = 0; i < s.messages; ++i) {
        set.plain_ptr.push_back(set.plain[static_cast<size_t>(i)].data());
        set.cipher_ptr.push_back(set.cipher[static_cast<size_t>(i)].data());
        set.out_ptr.push_back(set.out[static_cast<size_t>(i)].data());
        set.plain_len.push_back(static_cast<int64_t>(set.plain[static_cast<size_t>(i)].size()));
        set.cipher_len.push_back(static_cast<int64_t>(set.cipher[static_cast<size_t>(i)].size()));
        set.cap.push_back(static_cast<int64_t>(set.out[static_cast<size_t>(i)].size()));
    }
    set.result.resize(static_cast<size_t>(s.messages));
    return set;
}

enum class Dir { encrypt, decrypt };

// One timed thing: a kernel's batch call, the one-message loop (kernel
// empty), or a bare transform (bare set, no messages).
struct Variant {
    Set *set;
    Dir dir;
    std::string kernel;
    bool by_descriptor = false;  // qulo_batch_run rather than the named entry point
    const bench::Bare *bare = nullptr;
    int calls = 1;
    double best = std::numeric_limits<double>::infinity();  // seconds per call
};

// Transform steps of a bare group per call.
constexpr int64_t kBareSteps = 256;
// Where a bare transform's result goes, so that it is computed.
volatile uint32_t g_bare_sink;

void run_once(const Variant &v, const qulo_key &key) {
    if (v.bare != nullptr) {
        g_bare_sink = v.bare->run[v.dir == Dir::encrypt ? 0 : 1](qulo::words_of(&key), kBareSteps);
        return;
    }
    Set &s = *v.set;
    const auto count = static_cast<int64_t>(s.shape.messages);
    if (v.kernel.empty()) {
        for (int64_t i = 0; i < count; ++i) {
            const auto k = static_cast<size_t>(i);
            const int64_t r =
                v.dir == Dir::encrypt
                    ? qulo_encrypt_qq(&key, s.plain_ptr[k], s.plain_len[k], s.out_ptr[k], s.cap[k])
                    : qulo_decrypt_qq(&key, s.cipher_ptr[k], s.cipher_len[k], s.out_ptr[k],
                                      s.cap[k]);
            s.result[k] = r;
        }
        return;
    }
    const bool encrypting = v.dir == Dir::encrypt;
    const uint8_t *const *src = encrypting ? s.plain_ptr.data() : s.cipher_ptr.data();
    const int64_t *len = encrypting ? s.plain_len.data() : s.cipher_len.data();
    uint8_t *const *out = s.out_ptr.data();
    const qulo_op op{encrypting ? QULO_ENCRYPT : QULO_DECRYPT, QULO_BIG_ENDIAN, nullptr, 0};
    const int64_t failed =
        v.by_descriptor ? qulo_batch_run(&key, &op, count, src, len, out, s.cap.data(),
                                         s.result.data())
        : encrypting    ? qulo_batch_encrypt_qq(&key, count, src, len, out, s.cap.data(),
                                                s.result.data())
                        : qulo_batch_decrypt_qq(&key, count, src, len, out, s.cap.data(),
                                                s.result.data());
    if (failed != 0) {
        std::fprintf(stderr, "batch call refused %lld messages\n", static_cast<long long>(failed));
        std::exit(1);
    }
}

double time_batch(const Variant &v, const qulo_key &key) {
    if (v.bare == nullptr && !v.kernel.empty() && !qulo::batch::select(v.kernel.c_str())) {
        std::abort();
    }
    run_once(v, key);  // the buffers into cache, the kernel chosen
    const auto t0 = Clock::now();
    for (int i = 0; i < v.calls; ++i) {
        run_once(v, key);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The batch results must be the one-message results, byte for byte.
void check(Set &s, const qulo_key &key, const std::string &kernel) {
    qulo::batch::select(kernel.c_str());
    for (Dir d : {Dir::encrypt, Dir::decrypt}) {
        run_once({&s, d, kernel}, key);
        for (size_t i = 0; i < s.out.size(); ++i) {
            const auto &want = d == Dir::encrypt ? s.cipher[i] : s.plain[i];
            if (s.result[i] != static_cast<int64_t>(want.size()) ||
                std::memcmp(s.out[i].data(), want.data(), want.size()) != 0) {
                std::fprintf(stderr, "%s: message %zu differs from the one-message result\n",
                             kernel.c_str(), i);
                std::exit(1);
            }
        }
    }
}

std::string shape_label(const Shape &s) {
    std::string size = s.bytes >= 1024 ? std::to_string(s.bytes / 1024) + " KiB"
                                       : std::to_string(s.bytes) + " B";
    return std::to_string(s.messages) + " x " + size + (s.mixed ? " mixed" : "");
}

// The shape's name for --shape: 64x1024, 1024x1024-mixed.
std::string shape_option(const Shape &s) {
    return std::to_string(s.messages) + "x" + std::to_string(s.bytes) + (s.mixed ? "-mixed" : "");
}

// Every bare group of the kernels this CPU runs.
std::vector<const bench::Bare *> bare_groups(const std::vector<std::string> &kernels) {
    std::vector<std::span<const bench::Bare>> sets = {bench::scalar_bare()};
#if defined(__x86_64__)
    sets.push_back(bench::avx2_bare());
    sets.push_back(bench::avx512_bare());
#endif
    std::vector<const bench::Bare *> groups;
    for (const auto &set : sets) {
        for (const bench::Bare &b : set) {
            if (std::find(kernels.begin(), kernels.end(), b.kernel) != kernels.end()) {
                groups.push_back(&b);
            }
        }
    }
    return groups;
}

// Blocks per second of a timed variant, in bytes.
double block_rate(const Variant &v) {
    const double bytes = v.bare != nullptr
                             ? static_cast<double>(kBareSteps) * v.bare->lanes * 8
                             : static_cast<double>(v.set->total_cipher);
    return bytes / v.best;
}

// The ceiling of a kernel in one direction: its fastest bare group.
const Variant *ceiling_of(const std::vector<Variant> &variants, const std::string &kernel,
                          Dir dir) {
    const Variant *best = nullptr;
    for (const Variant &v : variants) {
        if (v.bare != nullptr && v.kernel == kernel && v.dir == dir &&
            (best == nullptr || block_rate(v) > block_rate(*best))) {
            best = &v;
        }
    }
    return best;
}

// For a batch call on mixed lengths, the same call on the equal lengths of
// the same count and mean, when that shape is measured.
const Variant *equal_of(const std::vector<Variant> &variants, const Variant &v) {
    if (v.bare != nullptr || v.kernel.empty() || !v.set->shape.mixed) {
        return nullptr;
    }
    for (const Variant &e : variants) {
        if (e.bare == nullptr && e.kernel == v.kernel && e.dir == v.dir &&
            e.by_descriptor == v.by_descriptor && !e.set->shape.mixed &&
            e.set->shape.messages == v.set->shape.messages &&
            e.set->shape.bytes == v.set->shape.bytes) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    int reps = 15;
    std::string json_path;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--reps" && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--json" && i + 1 < argc) {
            json_path = argv[++i];
        } else if (a == "--shape" && i + 1 < argc) {
            only.emplace_back(argv[++i]);
        } else if (a == "--wide" && i + 1 < argc) {
            // The wider form of a kernel that has one (AVX-512's 128 lanes):
            // "on", "off", or by default where this CPU gains by it.
            const std::string_view w = argv[++i];
            qulo::batch::select_wide(w == "on" ? 1 : w == "off" ? 0 : -1);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--reps N] [--json FILE] [--shape MxN[-mixed] ...] "
                         "[--wide on|off]\n",
                         argv[0]);
            return 2;
        }
    }
    const qulo_key key{0x01234567u, 0x89ABCDEFu, 0xFEDCBA98u, 0x76543210u};
    std::vector<std::string> kernels;
    for (size_t i = 0; const char *k = qulo::batch::known(i); ++i) {
        if (qulo::batch::supported(k)) {
            kernels.emplace_back(k);
        }
    }

    std::vector<Set> sets;
    sets.reserve(kShapes.size());
    for (const Shape &s : kShapes) {
        if (!only.empty() && std::find(only.begin(), only.end(), shape_option(s)) == only.end()) {
            continue;
        }
        sets.push_back(make_set(s, key));
    }
    std::vector<Variant> variants;
    for (Set &s : sets) {
        for (const std::string &k : kernels) {
            check(s, key, k);
        }
        for (Dir d : {Dir::encrypt, Dir::decrypt}) {
            variants.push_back({&s, d, ""});
            for (const std::string &k : kernels) {
                variants.push_back({&s, d, k});
            }
            variants.push_back({&s, d, kernels.front(), true});
        }
    }
    for (const bench::Bare *b : bare_groups(kernels)) {
        for (Dir d : {Dir::encrypt, Dir::decrypt}) {
            variants.push_back({nullptr, d, b->kernel, false, b});
        }
    }
    for (Variant &v : variants) {
        while (time_batch(v, key) < kMinBatchSeconds && v.calls < (1 << 24)) {
            v.calls *= 2;
        }
    }
    for (int rep = 0; rep < reps; ++rep) {
        for (Variant &v : variants) {
            v.best = std::min(v.best, time_batch(v, key) / v.calls);
        }
    }
    qulo::batch::select(nullptr);

    std::printf("kernel at start-up: %s; best of %d rounds\n\n",
                qulo_batch_kernel() != nullptr ? qulo_batch_kernel() : "(none)", reps);
    std::ofstream json;
    if (!json_path.empty()) {
        json.open(json_path);
        json << "{\n  \"repetitions\": " << reps << ",\n  \"ceilings\": [\n";
    }
    std::printf("%-22s %-8s %-22s %10s\n", "bare transform", "dir", "group", "MB/s");
    bool first = true;
    for (const Variant &v : variants) {
        if (v.bare == nullptr) {
            continue;
        }
        const char *dir = v.dir == Dir::encrypt ? "encrypt" : "decrypt";
        const double mbs = block_rate(v) / 1e6;
        const bool top = ceiling_of(variants, v.kernel, v.dir) == &v;
        const std::string group = std::to_string(v.bare->vectors) + " x " +
                                  std::to_string(v.bare->lanes / v.bare->vectors) + " lanes" +
                                  (top ? " (ceiling)" : "");
        std::printf("%-22s %-8s %-22s %10.1f\n", v.kernel.c_str(), dir, group.c_str(), mbs);
        if (json.is_open()) {
            json << (first ? "" : ",\n") << "    {\"kernel\": \"" << v.kernel
                 << "\", \"direction\": \"" << dir << "\", \"vectors\": " << v.bare->vectors
                 << ", \"lanes\": " << v.bare->lanes << ", \"mb_per_s\": " << mbs
                 << ", \"ceiling\": " << (top ? "true" : "false") << "}";
            first = false;
        }
    }
    if (json.is_open()) {
        json << "\n  ],\n  \"results\": [\n";
    }
    std::printf("\n%-22s %-8s %-22s %10s %12s %10s %12s\n", "messages", "dir", "variant", "MB/s",
                "x one-by-one", "of ceiling", "mixed/equal");
    first = true;
    for (const Variant &v : variants) {
        if (v.bare != nullptr) {
            continue;
        }
        const Variant *base = nullptr;
        for (const Variant &b : variants) {
            if (b.set == v.set && b.dir == v.dir && b.kernel.empty()) {
                base = &b;
            }
        }
        const double mbs = static_cast<double>(v.set->total_plain) / v.best / 1e6;
        const double ratio = base->best / v.best;
        const char *dir = v.dir == Dir::encrypt ? "encrypt" : "decrypt";
        const std::string name = v.kernel.empty()   ? "one message per call"
                                 : v.by_descriptor ? "batch_run " + v.kernel
                                                   : "batch " + v.kernel;
        const Variant *ceiling = v.kernel.empty() ? nullptr : ceiling_of(variants, v.kernel, v.dir);
        const double share = ceiling != nullptr ? block_rate(v) / block_rate(*ceiling) : 0.0;
        const Variant *equal = equal_of(variants, v);
        const double mixed_to_equal = equal != nullptr ? block_rate(v) / block_rate(*equal) : 0.0;
        std::printf("%-22s %-8s %-22s %10.1f %12.2f", shape_label(v.set->shape).c_str(), dir,
                    name.c_str(), mbs, ratio);
        if (ceiling != nullptr) {
            std::printf(" %10.2f", share);
        }
        if (equal != nullptr) {
            std::printf(" %12.2f", mixed_to_equal);
        }
        std::printf("\n");
        if (json.is_open()) {
            json << (first ? "" : ",\n") << "    {\"messages\": " << v.set->shape.messages
                 << ", \"bytes\": " << v.set->shape.bytes
                 << ", \"mixed\": " << (v.set->shape.mixed ? "true" : "false")
                 << ", \"direction\": \"" << dir << "\", \"kernel\": \""
                 << (v.kernel.empty() ? "one-by-one" : v.kernel)
                 << "\", \"entry\": \"" << (v.by_descriptor ? "qulo_batch_run" : "named")
                 << "\", \"mb_per_s\": " << mbs
                 << ", \"ratio_to_one_by_one\": " << ratio;
            if (ceiling != nullptr) {
                json << ", \"share_of_ceiling\": " << share;
            }
            if (equal != nullptr) {
                json << ", \"mixed_to_equal\": " << mixed_to_equal;
            }
            json << "}";
            first = false;
        }
    }
    if (json.is_open()) {
        json << "\n  ]\n}\n";
        std::printf("\nwrote %s\n", json_path.c_str());
    }
    return 0;
}
