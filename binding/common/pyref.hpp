// Small RAII helpers over the Python/C API: owned references and the
// released interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qulo {

// An owned (strong) reference; releases it on scope exit unless handed on.
class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (may be null after a failed call).
    static Ref steal(PyObject *o) noexcept { return Ref(o); }

    Ref(Ref &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            Py_XSETREF(obj_, std::exchange(other.obj_, nullptr));
        }
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Ref(PyObject *o) noexcept : obj_(o) {}
    PyObject *obj_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the guard. Only plain
// memory may be touched while it is alive.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;

private:
    PyThreadState *state_;
};

// Holds the pending exception aside while other API calls run, and puts it
// back on scope exit.
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(exc_); }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;

private:
    PyObject *exc_;
};

}  // namespace qulo
