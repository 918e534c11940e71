// A caller's buffer borrowed for one call as plain contiguous bytes, and
// given back on every path. For the modules whose byte arguments are plain
// buffers (anything contiguous, measured in bytes by its `len`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qulo {

class Buffer {
public:
    Buffer() noexcept {}
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { release(); }

    // Borrows `obj`'s bytes, writable when asked; false with the exporter's
    // own exception set (TypeError for a non-buffer, BufferError for a
    // read-only or non-contiguous one).
    bool acquire(PyObject *obj, bool writable = false) {
        release();
        if (PyObject_GetBuffer(obj, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) < 0) {
            return false;
        }
        held_ = true;
        return true;
    }
    void release() noexcept {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }

    const uint8_t *data() const noexcept { return static_cast<const uint8_t *>(view_.buf); }
    uint8_t *mutable_data() const noexcept { return static_cast<uint8_t *>(view_.buf); }
    Py_ssize_t size() const noexcept { return held_ ? view_.len : 0; }

private:
    Py_buffer view_;
    bool held_ = false;
};

}  // namespace qulo
