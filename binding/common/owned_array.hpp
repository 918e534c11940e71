// An array owned for one call, in the interpreter's memory. Unlike `new[]`
// it needs nothing of the C++ runtime library, which the wheels do not
// depend on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace qulo {

template <class T>
class OwnedArray {
public:
    OwnedArray() noexcept = default;
    OwnedArray(OwnedArray &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    OwnedArray &operator=(OwnedArray &&other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    OwnedArray(const OwnedArray &) = delete;
    OwnedArray &operator=(const OwnedArray &) = delete;
    ~OwnedArray() { reset(); }

    // `n` value-initialised elements (room for one when n is 0); false with
    // MemoryError set when the memory cannot be had.
    bool allocate(Py_ssize_t n) {
        reset();
        const size_t count = n > 0 ? static_cast<size_t>(n) : 1;
        void *memory = PyMem_Calloc(count, sizeof(T));
        if (memory == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = static_cast<T *>(memory);
        for (size_t i = 0; i < count; ++i) {
            new (data_ + i) T();
        }
        size_ = count;
        return true;
    }

    void reset() noexcept {
        for (size_t i = size_; i > 0; --i) {
            data_[i - 1].~T();
        }
        PyMem_Free(data_);
        data_ = nullptr;
        size_ = 0;
    }

    T &operator[](Py_ssize_t i) const noexcept { return data_[i]; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    T *data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace qulo
