// What the batch functions of qulo._batch share, for lists and Arrow
// columns alike: the flat message arrays the batch entry points take, the
// run of a batch window by window with the interpreter lock released once,
// and the errors named by message index.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cipher_args.hpp"
#include "pyref.hpp"
#include "qulo/batch.h"
#include "qulo/mode.h"
#include "qulo/move_down.hpp"
#include "status_error.hpp"

#include <cstdint>

namespace qulo::batch {

// The flat arrays the batch entry points take, carved from one block owned
// for one call. (A block kept from one call for the next measured no
// faster: the allocator serves a block of the same size again from its
// own free memory.)
class Messages {
public:
    Messages() = default;
    Messages(const Messages &) = delete;
    Messages &operator=(const Messages &) = delete;
    ~Messages() { PyMem_RawFree(block_); }

    // Room for n messages (contents unset); false with MemoryError.
    bool allocate(Py_ssize_t n) {
        const size_t per = sizeof *src + sizeof *len + sizeof *out + sizeof *cap + sizeof *result;
        if (static_cast<size_t>(n) > (SIZE_MAX - 1) / per) {
            PyErr_NoMemory();
            return false;
        }
        block_ = PyMem_RawMalloc(static_cast<size_t>(n > 0 ? n : 1) * per);
        if (block_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        // Every array has 8-byte elements, so each starts aligned.
        auto *p = static_cast<unsigned char *>(block_);
        const auto count_of = static_cast<size_t>(n);
        src = reinterpret_cast<const uint8_t **>(p);
        len = reinterpret_cast<int64_t *>(p + count_of * 8);
        out = reinterpret_cast<uint8_t **>(p + count_of * 16);
        cap = reinterpret_cast<int64_t *>(p + count_of * 24);
        result = reinterpret_cast<int64_t *>(p + count_of * 32);
        count = n;
        return true;
    }

    Py_ssize_t count = 0;
    const uint8_t **src = nullptr;
    int64_t *len = nullptr;
    uint8_t **out = nullptr;
    int64_t *cap = nullptr;
    int64_t *result = nullptr;

private:
    void *block_ = nullptr;
};

// The kernel in use, or RuntimeError saying why there is none.
bool kernel_ready();

// A window of a batch: as many messages as come to about this many bytes,
// but at least enough to keep the lanes of any kernel full.
inline constexpr int64_t kWindowBytes = int64_t{256} << 10;
inline constexpr Py_ssize_t kWindowMessages = 1024;

// One batch call over messages [first, first + count) with the call's key
// and operation; the interpreter lock must be released.
inline int64_t call_batch(const CipherSetup &setup, const Messages &m, Py_ssize_t first,
                          Py_ssize_t count) {
    return qulo_batch_run(&setup.key, &setup.op, count, m.src + first, m.len + first,
                          m.out + first, m.cap + first, m.result + first);
}

// Runs the batch with the interpreter lock released once for all of it: the
// messages' memory is held by views or owned by this call, so nothing can
// move under it. The batch runs window by window with the call's key and
// operation, and after(m, first, last) follows each window, still without
// the lock, while that window's outputs are in the cache; it must touch no
// Python object.
template <class After>
bool run_windows(const CipherSetup &setup, const Messages &m, After after) {
    int64_t r = 0;
    {
        GilRelease unlocked;
        Py_ssize_t first = 0;
        while (first < m.count && r >= 0) {
            Py_ssize_t last = first;
            int64_t bytes = 0;
            while (last < m.count && (last - first < kWindowMessages || bytes < kWindowBytes)) {
                bytes += m.len[last++];
            }
            r = call_batch(setup, m, first, last - first);
            if (r >= 0) {
                after(m, first, last);
            }
            first = last;
        }
    }
    if (r < 0) {
        return kernel_ready() && (PyErr_SetString(PyExc_SystemError, "batch call refused"), false);
    }
    return true;
}

// The same with nothing to do after a window.
inline bool run(const CipherSetup &setup, const Messages &m) {
    return run_windows(setup, m, [](const Messages &, Py_ssize_t, Py_ssize_t) {});
}

// Moves plaintexts down, as the kernels do (core/internal/qulo/move_down.hpp).
using qulo::move_down;

// Whether a ciphertext of n bytes can be decrypted at all, as the core
// decides it; the others are refused by the core before it looks at them,
// so they get no output.
inline bool decryptable(int64_t n) { return qulo_ciphertext_status(n) == 0; }

// Raises the error of message `index` (of `length` bytes), refused with
// `status`: the module's one translation of a result. Returns null.
inline PyObject *refused(Py_ssize_t index, int64_t length, int64_t status) {
    return raise_batch_status(status, {index, length});
}

// The one check of `errors`, for lists and Arrow arrays alike: "raise" or
// "null"; false with TypeError for what is no str (None included) and
// ValueError for any other str.
bool parse_errors(PyObject *errors, bool &null_errors);

}  // namespace qulo::batch
