// The cipher choice that the modules beyond qulo._tea take as arguments:
// `key` (a TEA object or a 16-byte buffer), `sumtable` (None or a 64-byte
// buffer) and `native_endian` (only with a sum table).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qulo/tea.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qulo {

// Which of the three operation pairs: standard sums, blocks big-endian; a
// sum table, big-endian; a sum table, host order.
enum class Variant { standard, table, table_native };

struct CipherSetup {
    qulo_key key{};
    Variant variant = Variant::standard;
    std::array<uint8_t, 64> sumtable{};  // unused for Variant::standard

    CipherSetup() = default;
    CipherSetup(const CipherSetup &) = default;
    CipherSetup &operator=(const CipherSetup &) = default;
    ~CipherSetup() { wipe(); }
    // Clears the key words and the table so they do not outlive their use.
    void wipe() noexcept;
};

// qulo._tea's TEA type, for a module's state: a new reference, or null with
// an exception set (qulo._tea's ImportError in a second interpreter).
PyTypeObject *import_tea_type();

// Fills `out` from the Python arguments; false with TypeError or ValueError
// set (the messages name the lengths given). `tea_type` is the TEA type of
// the calling module's state. The key words and the table are copied, so
// nothing refers to the caller's objects afterwards.
bool parse_cipher_setup(PyObject *key, PyObject *sumtable, bool native_endian,
                        PyTypeObject *tea_type, CipherSetup &out);

// Zeroes `size` bytes at `p` in a way the compiler cannot drop as dead.
void secure_wipe(void *p, std::size_t size) noexcept;

}  // namespace qulo
