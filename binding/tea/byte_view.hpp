// Byte views: a buffer argument as one dimension of contiguous bytes, read
// in place for one call and given back before the call returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qulo/capi.h"

#include <cstdint>
#include <type_traits>

namespace qulo {

// The view record the cipher methods (and the C-level method table) see:
// holder, data, length, stride, suboffset, laid out as in <qulo/capi.h>.
// `Byte` is `const uint8_t` for the read-only kind, `uint8_t` for writable.
template <class Byte>
using ByteView =
    std::conditional_t<std::is_const_v<Byte>, qulo_const_byte_view, qulo_byte_view>;

using ConstByteView = ByteView<const uint8_t>;
using MutableByteView = ByteView<uint8_t>;

// Owns the export of one argument for one call (an exact bytes object is
// read without one). Not movable: the exporter may point the buffer's shape
// at the buffer record itself. Nothing is initialised but the flag: views
// are made on every call.
template <class Byte>
class AcquiredView {
public:
    static constexpr bool kWritable = !std::is_const_v<Byte>;

    AcquiredView() noexcept {}
    AcquiredView(const AcquiredView &) = delete;
    AcquiredView &operator=(const AcquiredView &) = delete;
    ~AcquiredView() { release(); }

    // Converts `obj`; false with a Python exception set when refused (then
    // nothing stays acquired).
    bool acquire(PyObject *obj) {
        release();
        if constexpr (!kWritable) {
            if (PyBytes_CheckExact(obj)) {
                // Immutable, and the caller's reference keeps it alive for
                // the whole call: its export could only hand out this very
                // memory, and giving it back would change nothing.
                view_ = {obj, reinterpret_cast<Byte *>(PyBytes_AS_STRING(obj)),
                         PyBytes_GET_SIZE(obj), 1, -1};
                return true;
            }
        }
        return request(obj);
    }
    // Gives the buffer back; idempotent.
    void release() noexcept {
        if (acquired_) {
            acquired_ = false;
            PyBuffer_Release(&buffer_);
        }
    }

    // Valid after a successful acquire.
    const ByteView<Byte> &view() const noexcept { return view_; }

private:
    // The buffer request and its checks.
    bool request(PyObject *obj);

    Py_buffer buffer_;
    ByteView<Byte> view_;
    bool acquired_ = false;
};

using ConstView = AcquiredView<const uint8_t>;
using MutableView = AcquiredView<uint8_t>;

// The three calls under their domain names.
inline bool acquire_const_byte_view(PyObject *obj, ConstView &into) { return into.acquire(obj); }
inline bool acquire_byte_view(PyObject *obj, MutableView &into) { return into.acquire(obj); }
template <class Byte>
void release_byte_view(AcquiredView<Byte> &view) noexcept {
    view.release();
}

// Releases views in the order given (the calling order of the arguments).
template <class... Views>
void release_in_order(Views &...views) noexcept {
    (release_byte_view(views), ...);
}

extern template class AcquiredView<const uint8_t>;
extern template class AcquiredView<uint8_t>;

}  // namespace qulo
