// Native benchmark of the cipher core.
//
// One message is a single dependency chain (every block waits for the one
// before), so the figure that matters is core cycles per byte set against the
// latency bound of that chain: 4 dependent one-cycle operations per
// half-cycle x 32 half-cycles per 8-byte block = 16 core cycles per byte.
//
// The time-stamp counter ticks at a fixed rate, not at the core clock, so
// both are measured: the counter's rate against steady_clock, and the core
// clock with two dependent chains whose latencies are known, register adds
// (1 cycle each) and multiplies (3 cycles each). The two must agree, or the
// run is refused: a chain that some core shortens would otherwise skew every
// cycles-per-byte figure unnoticed. Ticks are then converted into core cycles.
//
// Usage: qulo_core_bench [--reps N] [--json FILE] [--calibrate-only]

#include "qulo/tea.h"

#if !defined(__x86_64__)
#error "the core benchmark reads the x86-64 time-stamp counter"
#endif
#include <x86intrin.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr double kBoundCyclesPerByte = 16.0;
constexpr std::array<int64_t, 4> kSizes = {64, 1024, 64 * 1024, 1024 * 1024};
// A timed batch runs at least this many counter ticks, so that reading the
// counter is noise against the work inside.
constexpr uint64_t kMinBatchTicks = 2'000'000;

// ---- clocks ----------------------------------------------------------------

inline uint64_t ticks_begin() {
    _mm_lfence();
    const uint64_t t = __rdtsc();
    _mm_lfence();
    return t;
}

inline uint64_t ticks_end() {
    unsigned aux;
    const uint64_t t = __rdtscp(&aux);
    _mm_lfence();
    return t;
}

// Counter ticks per second, against the monotonic wall clock.
double measure_tsc_hz() {
    using clock = std::chrono::steady_clock;
    double best = 0.0;
    double best_spread = std::numeric_limits<double>::infinity();
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto w0 = clock::now();
        const uint64_t t0 = ticks_begin();
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        const auto w1 = clock::now();
        const uint64_t t1 = ticks_end();
        // The wall-clock reads bracket the counter reads; keep the attempt
        // whose brackets are tightest (the least preempted one).
        const auto w2 = clock::now();
        const double secs = std::chrono::duration<double>(w1 - w0).count();
        const double spread = std::chrono::duration<double>(w2 - w1).count();
        if (spread < best_spread) {
            best_spread = spread;
            best = static_cast<double>(t1 - t0) / secs;
        }
    }
    return best;
}

// Chains of 256 dependent instructions. Both take a register operand: newer
// cores fold chains of adds of small immediates at rename and retire several
// per cycle, which made an immediate-add chain report a clock 3.3 times too
// fast. No core shortens an add of a register (latency 1) or a 64-bit
// multiply (latency 3), so these run at exactly 256 and 768 core cycles.
constexpr double kAddLatency = 1.0;
constexpr double kImulLatency = 3.0;
// The two chains must agree within this share, or the calibration is refused.
constexpr double kCalibrationTolerance = 0.03;

inline uint64_t add_chain_256(uint64_t x, uint64_t step) {
    asm volatile(".rept 256\n\taddq %1, %0\n\t.endr" : "+r"(x) : "r"(step));
    return x;
}

inline uint64_t imul_chain_256(uint64_t x, uint64_t factor) {
    asm volatile(".rept 256\n\timulq %1, %0\n\t.endr" : "+r"(x) : "r"(factor));
    return x;
}

// Core cycles per counter tick, from each chain.
struct Calibration {
    double by_add = 0.0;
    double by_imul = 0.0;

    double disagreement() const { return std::abs(by_add / by_imul - 1.0); }
    bool consistent() const { return disagreement() <= kCalibrationTolerance; }
};

// Best of several runs of each chain, the two interleaved so that both see
// the same clock.
Calibration measure_core_per_tick() {
    constexpr int kChains = 20'000;  // about 5 million cycles per add run
    constexpr double kLinks = 256.0 * kChains;
    // Opaque to the compiler, so the operands stay in registers as written.
    volatile uint64_t one = 1;
    const uint64_t step = one;
    Calibration best;
    uint64_t sink = 3;
    for (int run = 0; run < 15; ++run) {
        uint64_t t0 = ticks_begin();
        for (int i = 0; i < kChains; ++i) {
            sink = add_chain_256(sink, step);
        }
        uint64_t t1 = ticks_end();
        best.by_add = std::max(best.by_add, kAddLatency * kLinks / static_cast<double>(t1 - t0));
        t0 = ticks_begin();
        for (int i = 0; i < kChains; ++i) {
            sink = imul_chain_256(sink, step);
        }
        t1 = ticks_end();
        best.by_imul =
            std::max(best.by_imul, kImulLatency * kLinks / static_cast<double>(t1 - t0));
    }
    if (sink == 0) {  // keeps the chains observable
        std::puts("");
    }
    return best;
}

// Refuses (false, with the reason on stderr) a calibration whose two chains
// disagree: one of them did not run at its known latency.
bool check_calibration(const char *when, const Calibration &c, double tsc_hz) {
    if (c.consistent()) {
        return true;
    }
    std::fprintf(stderr,
                 "calibration %s disagrees with itself: the add chain gives a %.3f GHz core "
                 "clock, the multiply chain %.3f GHz (%.1f%% apart, more than %.0f%%); "
                 "cycle figures would be wrong, so none are given\n",
                 when, tsc_hz * c.by_add / 1e9, tsc_hz * c.by_imul / 1e9,
                 100.0 * c.disagreement(), 100.0 * kCalibrationTolerance);
    return false;
}

// ---- entry points ----------------------------------------------------------

enum class Dir { encrypt, decrypt };

struct Entry {
    const char *name;
    Dir dir;
    qulo_qq_fn qq;        // set for the standard-sum pair
    qulo_table_fn table;  // set for the sum-table entry points
};

constexpr std::array<Entry, 6> kEntries = {{
    {"qulo_encrypt_qq", Dir::encrypt, qulo_encrypt_qq, nullptr},
    {"qulo_decrypt_qq", Dir::decrypt, qulo_decrypt_qq, nullptr},
    {"qulo_encrypt", Dir::encrypt, nullptr, qulo_encrypt},
    {"qulo_decrypt", Dir::decrypt, nullptr, qulo_decrypt},
    {"qulo_encrypt_native_endian", Dir::encrypt, nullptr, qulo_encrypt_native_endian},
    {"qulo_decrypt_native_endian", Dir::decrypt, nullptr, qulo_decrypt_native_endian},
}};

// The standard sums in host order, so that every entry point does the same
// amount of work on equal inputs.
std::array<uint8_t, 64> standard_table() {
    std::array<uint8_t, 64> t{};
    for (uint32_t r = 0; r < 16; ++r) {
        const uint32_t s = (r + 1) * 0x9E3779B9u;
        std::memcpy(t.data() + 4 * r, &s, sizeof s);
    }
    return t;
}

int64_t call(const Entry &e, const qulo_key &key, const uint8_t *table, const uint8_t *src,
             int64_t n, uint8_t *out, int64_t cap) {
    return e.qq != nullptr ? e.qq(&key, src, n, out, cap)
                           : e.table(&key, table, src, n, out, cap);
}

// Input and output buffers of one entry point at one size. Decryption reads
// a ciphertext made by the matching encryption.
struct Case {
    const Entry *entry;
    int64_t plain;
    int64_t total;
    std::vector<uint8_t> src;
    std::vector<uint8_t> out;
    uint64_t best_ticks = std::numeric_limits<uint64_t>::max();
    int calls_per_batch = 1;
};

const Entry &encryptor_of(const Entry &e) {
    for (const Entry &c : kEntries) {
        if (c.dir == Dir::encrypt && (c.qq != nullptr) == (e.qq != nullptr) &&
            std::string_view(c.name).ends_with("native_endian") ==
                std::string_view(e.name).ends_with("native_endian")) {
            return c;
        }
    }
    std::abort();
}

Case make_case(const Entry &e, int64_t n, const qulo_key &key, const uint8_t *table) {
    Case c{&e, n, qulo_encrypt_len(n), {}, {}};
    std::vector<uint8_t> plain(static_cast<size_t>(n));
    for (size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<uint8_t>(i * 131u + 7u);
    }
    if (e.dir == Dir::encrypt) {
        c.src = std::move(plain);
    } else {
        c.src.resize(static_cast<size_t>(c.total));
        if (call(encryptor_of(e), key, table, plain.data(), n, c.src.data(), c.total) !=
            c.total) {
            std::abort();
        }
    }
    c.out.resize(static_cast<size_t>(c.total));
    const int64_t want = e.dir == Dir::encrypt ? c.total : n;
    if (call(e, key, table, c.src.data(), static_cast<int64_t>(c.src.size()), c.out.data(),
             c.total) != want) {
        std::fprintf(stderr, "%s: unexpected result at %lld bytes\n", e.name,
                     static_cast<long long>(n));
        std::exit(1);
    }
    if (e.dir == Dir::decrypt && std::memcmp(c.out.data(), plain.data(), plain.size()) != 0) {
        std::fprintf(stderr, "%s: round trip failed at %lld bytes\n", e.name,
                     static_cast<long long>(n));
        std::exit(1);
    }
    return c;
}

uint64_t run_batch(Case &c, const qulo_key &key, const uint8_t *table) {
    const auto len = static_cast<int64_t>(c.src.size());
    // One untimed call first, so that every batch starts with its own
    // buffers in cache rather than those of the case before it.
    call(*c.entry, key, table, c.src.data(), len, c.out.data(), c.total);
    const uint64_t t0 = ticks_begin();
    for (int i = 0; i < c.calls_per_batch; ++i) {
        call(*c.entry, key, table, c.src.data(), len, c.out.data(), c.total);
    }
    return ticks_end() - t0;
}

// ---- report ----------------------------------------------------------------

struct Row {
    const Case *c;
    double ns_per_byte;
    double ticks_per_byte;
    double cycles_per_byte;        // core cycles per plaintext byte
    double cycles_per_block_byte;  // core cycles per byte of ciphertext blocks
    double to_bound;
    double to_encrypt_qq;
};

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("model name")) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string json_escape(std::string_view s) {
    std::string r;
    for (const char ch : s) {
        if (ch == '"' || ch == '\\') {
            r += '\\';
        }
        if (static_cast<unsigned char>(ch) >= 0x20) {
            r += ch;
        }
    }
    return r;
}

void write_json(const std::string &path, const std::vector<Row> &rows, double tsc_hz,
                double core_per_tick, const Calibration &cal, int reps) {
    std::ofstream f(path);
    if (!f) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    f << "{\n  \"cpu\": \"" << json_escape(cpu_model()) << "\",\n";
    f << "  \"tsc_hz\": " << tsc_hz << ",\n";
    f << "  \"core_hz\": " << tsc_hz * core_per_tick << ",\n";
    f << "  \"core_cycles_per_tick\": " << core_per_tick << ",\n";
    f << "  \"core_hz_by_add_chain\": " << tsc_hz * cal.by_add << ",\n";
    f << "  \"core_hz_by_imul_chain\": " << tsc_hz * cal.by_imul << ",\n";
    f << "  \"bound_cycles_per_byte\": " << kBoundCyclesPerByte << ",\n";
    f << "  \"repetitions\": " << reps << ",\n  \"results\": [\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row &r = rows[i];
        f << "    {\"entry\": \"" << r.c->entry->name << "\", \"bytes\": " << r.c->plain
          << ", \"ciphertext_bytes\": " << r.c->total << ", \"ns_per_byte\": " << r.ns_per_byte
          << ", \"tsc_ticks_per_byte\": " << r.ticks_per_byte
          << ", \"cycles_per_byte\": " << r.cycles_per_byte
          << ", \"cycles_per_block_byte\": " << r.cycles_per_block_byte
          << ", \"ratio_to_bound\": " << r.to_bound
          << ", \"ratio_to_encrypt_qq\": " << r.to_encrypt_qq << "}"
          << (i + 1 < rows.size() ? ",\n" : "\n");
    }
    f << "  ]\n}\n";
}

std::string size_label(int64_t n) {
    if (n >= 1024 * 1024) {
        return std::to_string(n / (1024 * 1024)) + " MiB";
    }
    if (n >= 1024) {
        return std::to_string(n / 1024) + " KiB";
    }
    return std::to_string(n) + " B";
}

}  // namespace

int main(int argc, char **argv) {
    int reps = 40;
    std::string json_path;
    bool calibrate_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--reps" && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--json" && i + 1 < argc) {
            json_path = argv[++i];
        } else if (a == "--calibrate-only") {
            calibrate_only = true;
        } else {
            std::fprintf(stderr, "usage: %s [--reps N] [--json FILE] [--calibrate-only]\n",
                         argv[0]);
            return 2;
        }
    }

    if (calibrate_only) {
        const double tsc_hz = measure_tsc_hz();
        const Calibration cal = measure_core_per_tick();
        std::printf("time-stamp counter %.3f GHz; core clock %.3f GHz by the add chain, "
                    "%.3f GHz by the multiply chain\n",
                    tsc_hz / 1e9, tsc_hz * cal.by_add / 1e9, tsc_hz * cal.by_imul / 1e9);
        return check_calibration("", cal, tsc_hz) ? 0 : 1;
    }

    const qulo_key key{0x01234567u, 0x89ABCDEFu, 0xFEDCBA98u, 0x76543210u};
    const auto table = standard_table();

    std::vector<Case> cases;
    for (const int64_t n : kSizes) {
        for (const Entry &e : kEntries) {
            cases.push_back(make_case(e, n, key, table.data()));
        }
    }

    // Warm up (and let the clock settle), then size each batch.
    for (Case &c : cases) {
        while (run_batch(c, key, table.data()) < kMinBatchTicks && c.calls_per_batch < (1 << 24)) {
            c.calls_per_batch *= 2;
        }
    }
    const double tsc_hz = measure_tsc_hz();
    const Calibration before = measure_core_per_tick();
    if (!check_calibration("before the run", before, tsc_hz)) {
        return 1;
    }

    // Rounds over all cases, best batch of each: entry points measured in
    // the same round see the same clock, which keeps their ratios honest.
    for (int rep = 0; rep < reps; ++rep) {
        for (Case &c : cases) {
            c.best_ticks = std::min(c.best_ticks, run_batch(c, key, table.data()));
        }
    }
    const Calibration after = measure_core_per_tick();
    if (!check_calibration("after the run", after, tsc_hz)) {
        return 1;
    }
    // The faster reading of each is the less disturbed one.
    const Calibration cal{std::max(before.by_add, after.by_add),
                          std::max(before.by_imul, after.by_imul)};
    const double core_per_tick = cal.by_add;

    std::vector<Row> rows;
    for (const Case &c : cases) {
        const double ticks = static_cast<double>(c.best_ticks) / c.calls_per_batch;
        const double per_byte = ticks / static_cast<double>(c.plain);
        const double cycles_block = ticks * core_per_tick / static_cast<double>(c.total);
        rows.push_back({&c, per_byte / tsc_hz * 1e9, per_byte, per_byte * core_per_tick,
                        cycles_block, cycles_block / kBoundCyclesPerByte, 0.0});
    }
    for (Row &r : rows) {
        for (const Row &base : rows) {
            if (base.c->plain == r.c->plain && base.c->entry == &kEntries[0]) {
                r.to_encrypt_qq = r.cycles_per_byte / base.cycles_per_byte;
            }
        }
    }

    std::printf("cpu: %s\n", cpu_model().c_str());
    std::printf("time-stamp counter %.3f GHz, core clock %.3f GHz (%.3f core cycles per tick; "
                "the multiply chain gives %.3f GHz)\n",
                tsc_hz / 1e9, tsc_hz * core_per_tick / 1e9, core_per_tick,
                tsc_hz * cal.by_imul / 1e9);
    std::printf("bound: %.0f core cycles per byte; best of %d batches\n\n", kBoundCyclesPerByte,
                reps);
    std::printf("%-8s %-28s %9s %9s %9s %11s %8s %8s\n", "size", "entry point", "ns/B",
                "ticks/B", "cycles/B", "cyc/blk B", "/bound", "/enc_qq");
    for (const Row &r : rows) {
        std::printf("%-8s %-28s %9.3f %9.2f %9.2f %11.2f %8.3f %8.3f\n",
                    size_label(r.c->plain).c_str(), r.c->entry->name, r.ns_per_byte,
                    r.ticks_per_byte, r.cycles_per_byte, r.cycles_per_block_byte, r.to_bound,
                    r.to_encrypt_qq);
    }
    if (!json_path.empty()) {
        write_json(json_path, rows, tsc_hz, core_per_tick, cal, reps);
        std::printf("\nwrote %s\n", json_path.c_str());
    }
    return 0;
}
