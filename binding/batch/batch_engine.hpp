// What the batch functions of qulo._batch share, for lists and Arrow
// columns alike: the module's state, the flat message arrays the batch
// entry points take, the run of a batch window by window with the
// interpreter lock released once, and the errors named by message index.
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

// The state of qulo._batch: the cipher arguments' (first, so that
// cipher_args_state() reads it) and the types the module makes.
struct BatchState {
    CipherArgsState args;
    PyTypeObject *column_type;  // qulo._batch.ArrowColumn
};

inline BatchState &batch_state(PyObject *module) {
    return *static_cast<BatchState *>(PyModule_GetState(module));
}

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
    bool allocate(Py_ssize_t n);

    Py_ssize_t count = 0;
    const uint8_t **src = nullptr;
    int64_t *len = nullptr;
    uint8_t **out = nullptr;
    int64_t *cap = nullptr;
    int64_t *result = nullptr;
    int64_t *start = nullptr;  // where each plaintext begins in its output

    // Where message i's result lies: out[i] + start[i], result[i] bytes.
    uint8_t *value(Py_ssize_t i) const { return out[i] + start[i]; }

private:
    void *block_ = nullptr;
};

// The kernel in use, or RuntimeError saying why there is none.
bool kernel_ready();

// A window of a batch: as many messages as come to about this many bytes,
// but at least enough to keep the lanes of any kernel full.
inline constexpr int64_t kWindowBytes = int64_t{256} << 10;
inline constexpr Py_ssize_t kWindowMessages = 1024;

// Runs the batch with the interpreter lock released once for all of it: the
// messages' memory is held by views or owned by this call, so nothing can
// move under it. The batch runs window by window with the call's key and
// operation, each plaintext left where its blocks put it (Messages::value),
// and after(m, first, last) follows each window, still without the lock,
// while that window's outputs are in the cache; it must touch no Python
// object. Returns how many messages were refused, or -1 with an exception.
template <class After>
int64_t run_windows(const CipherSetup &setup, const Messages &m, After after) {
    int64_t refused = 0;
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
            r = qulo_batch_run_placed(&*setup.key, &setup.op, last - first, m.src + first,
                                      m.len + first, m.out + first, m.cap + first,
                                      m.result + first, m.start + first);
            if (r >= 0) {
                refused += r;
                after(m, first, last);
            }
            first = last;
        }
    }
    if (r < 0) {
        if (kernel_ready()) {
            PyErr_SetString(PyExc_SystemError, "batch call refused");
        }
        return -1;
    }
    return refused;
}

// The same with nothing to do after a window.
inline int64_t run(const CipherSetup &setup, const Messages &m) {
    return run_windows(setup, m, [](const Messages &, Py_ssize_t, Py_ssize_t) {});
}

// Moves plaintexts down, as the kernels do (core/internal/qulo/move_down.hpp).
using qulo::move_down;

// The output room a message of n bytes needs, as the core decides it, or
// its status: a ciphertext the core refuses outright gets no output. The
// core is asked once per run of messages of one length (columns of equal
// lengths are common, and the answer depends on nothing else).
class Rooms {
public:
    explicit Rooms(const CipherSetup &setup) : setup_(setup) {}
    int64_t operator()(int64_t n) {
        if (n != n_) {
            n_ = n;
            room_ = qulo_output_capacity(&setup_.op, n);
        }
        return room_;
    }

private:
    const CipherSetup &setup_;
    int64_t n_ = -1;  // no length asked yet: a negative n is never a message's
    int64_t room_ = 0;
};

// Raises the error of element `index` (of `length` bytes), refused with
// `status`: the module's one translation of a result. Returns null.
inline PyObject *refused(PyObject *module, Py_ssize_t index, int64_t length, int64_t status) {
    return raise_status(batch_state(module).args.decryption_error, status,
                        {nullptr, "call", index, length});
}

// The one check of `errors`, for lists and Arrow arrays alike: "raise" or
// "null"; false with TypeError for what is no str (None included) and
// ValueError for any other str.
bool parse_errors(PyObject *errors, bool &null_errors);

}  // namespace qulo::batch
