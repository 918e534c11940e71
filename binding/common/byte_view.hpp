// The one way the binding takes a byte argument: a caller's buffer borrowed
// for one call as one dimension of contiguous bytes, and given back before
// the call returns. Every module converts its byte arguments here, so an
// exporter that describes other memory than it hands out (a shape that
// disagrees with its length, strides, suboffsets, wider items) is refused
// the same way wherever it is passed.
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

// What None converts to: qulo._tea reads it as an empty buffer; the other
// modules refuse it as the buffer protocol does (TypeError).
enum class NoneAs { empty, refused };

// An exact bytes object is immutable, so its export could only hand out
// this very memory and giving it back would change nothing: it is read in
// place. True (and `view` set) when `obj` is one. The caller must hold a
// reference to `obj` for as long as it reads the view.
inline bool bytes_in_place(PyObject *obj, ConstByteView &view) {
    if (!PyBytes_CheckExact(obj)) {
        return false;
    }
    view = {obj, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(obj)), PyBytes_GET_SIZE(obj),
            1, -1};
    return true;
}

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

    // Converts `obj` as bytes: one-byte unsigned (or char) items in one
    // contiguous dimension. False with a Python exception set when refused
    // (then nothing stays acquired).
    bool acquire(PyObject *obj, NoneAs none) {
        release();
        if constexpr (!kWritable) {
            if (bytes_in_place(obj, view_)) {
                return true;
            }
        }
        if (obj == Py_None && none == NoneAs::empty) {
            view_ = {Py_None, nullptr, 0, 0, 0};
            return true;
        }
        return request(obj, true);
    }

    // Converts `obj` as raw memory: one contiguous dimension of items of any
    // type and size, measured in bytes (the buffers of an Arrow array, which
    // their exporters describe as signed chars or as their offsets' integers).
    bool acquire_memory(PyObject *obj)
        requires(!kWritable)
    {
        release();
        return bytes_in_place(obj, view_) || request(obj, false);
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
    // The buffer request and its checks; `bytes` asks for byte items.
    bool request(PyObject *obj, bool bytes);

    Py_buffer buffer_;
    ByteView<Byte> view_;
    bool acquired_ = false;
};

using ConstView = AcquiredView<const uint8_t>;
using MutableView = AcquiredView<uint8_t>;

// Releases views in the order given (the calling order of the arguments).
template <class... Views>
void release_in_order(Views &...views) noexcept {
    (views.release(), ...);
}

extern template class AcquiredView<const uint8_t>;
extern template class AcquiredView<uint8_t>;

}  // namespace qulo
