// Which qq-mode operation a driver runs, in one place: the descriptor of
// qulo/mode.h read once, the shape a ciphertext must have, and the one
// dispatch from an operation to the driver instantiation compiled for it.
// Every driver (one message, incremental, many messages) goes through here.
// Not installed.
#pragma once

#include "qulo/block.hpp"
#include "qulo/length_rule.hpp"
#include "qulo/mode.h"

#include <cstdint>
#include <cstring>
#include <optional>

namespace qulo {

inline constexpr int64_t kBlock = 8;
inline constexpr int64_t kMinCiphertext = 16;
inline constexpr int64_t kTrailer = 7;  // zero bytes that end every padded plaintext

enum class Dir { encrypt, decrypt };

// Whether n ciphertext bytes can be decrypted at all (qulo_ciphertext_status).
constexpr int64_t ciphertext_status(int64_t n) {
    if (n < kMinCiphertext) {
        return QULO_E_SHORT;
    }
    return n % kBlock != 0 ? QULO_E_BLOCKS : 0;
}

// The room a result needs for n source bytes (qulo_output_capacity).
constexpr int64_t output_capacity(Dir d, int64_t n) {
    if (d == Dir::encrypt) {
        return n < 0 || n > QULO_MAX_PLAINTEXT_LEN ? int64_t{QULO_E_ARGUMENT} : length_rule(n);
    }
    const int64_t status = ciphertext_status(n);
    return status < 0 ? status : n;
}

// What refuses a message from its lengths alone, before anything is
// written: 0, or the status. A plaintext must have a ciphertext length that
// fits; a ciphertext must have the right shape; either must fit the output.
template <Dir D>
constexpr int64_t length_status(int64_t n, int64_t cap) {
    const int64_t need = output_capacity(D, n);
    if (need < 0) {
        return need;
    }
    return need > cap ? QULO_E_SPACE : 0;
}

// An operation as the drivers run it. The standard sums are compiled in as
// constants only with big-endian blocks (the named qq pair); with host-order
// blocks they run as a table that holds them, so each direction has three
// compiled forms: standard, big-endian table, host-order table.
struct Operation {
    Dir dir;
    Order order;
    bool standard;  // big-endian blocks and the standard sums, as constants
    bool verify;    // decryption: refuse a plaintext whose trailer is not zero
};

// The descriptor, or nothing for an unknown direction or byte order.
constexpr std::optional<Operation> read_op(const qulo_op &op) {
    if ((op.direction != QULO_ENCRYPT && op.direction != QULO_DECRYPT) ||
        (op.order != QULO_BIG_ENDIAN && op.order != QULO_HOST_ORDER)) {
        return std::nullopt;
    }
    const Dir dir = op.direction == QULO_ENCRYPT ? Dir::encrypt : Dir::decrypt;
    const Order order = op.order == QULO_BIG_ENDIAN ? Order::big : Order::host;
    return Operation{dir, order, op.sumtable == nullptr && order == Order::big,
                     dir == Dir::decrypt && op.verify != 0};
}

// The 64-byte sum table a descriptor names: its own, or the standard sums
// laid out as one.
inline const uint8_t *sumtable_of(const qulo_op &op) {
    return op.sumtable != nullptr ? op.sumtable
                                  : reinterpret_cast<const uint8_t *>(kStandardSums.data());
}

// The round sums a descriptor names, copied.
inline Sums sums_of(const qulo_op &op) { return load_sums(sumtable_of(op)); }

// Calls f.template operator()<D, O, Std>() for the operation's form, D
// being fixed: for a driver that serves one direction (a stream context).
template <Dir D, class F>
[[gnu::always_inline]] inline decltype(auto) dispatch_forms(const Operation &op, F &&f) {
    if (op.standard) {
        return f.template operator()<D, Order::big, true>();
    }
    if (op.order == Order::big) {
        return f.template operator()<D, Order::big, false>();
    }
    return f.template operator()<D, Order::host, false>();
}

// Calls f.template operator()<D, O, Std>() for the operation: the one place
// where an operation given at run time becomes a compiled form.
template <class F>
[[gnu::always_inline]] inline decltype(auto) dispatch(const Operation &op, F &&f) {
    if (op.dir == Dir::encrypt) {
        return dispatch_forms<Dir::encrypt>(op, f);
    }
    return dispatch_forms<Dir::decrypt>(op, f);
}

// Whether the seven bytes at p, the end of a decrypted padded plaintext,
// are the zeros every padded plaintext ends with.
inline bool trailer_is_zero(const uint8_t *p) {
    uint64_t v = 0;
    std::memcpy(&v, p, kTrailer);
    return v == 0;
}

// What the named entry points return for a driver's result: every status
// is their one failure value.
constexpr int64_t as_named(int64_t r) { return r < 0 ? -1 : r; }

}  // namespace qulo
