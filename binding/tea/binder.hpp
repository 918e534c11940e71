// Applies the argument-binding decision to real Python arguments and turns
// a refusal into the interpreter-style TypeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyref.hpp"

#include <span>

namespace qulo::args {

// The general case of bind_fastcall: keywords, or a wrong count.
bool bind_fastcall_general(const char *func_name, std::span<PyObject *const> names,
                           PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                           PyObject **values);

// Binds fast-call arguments (positional array; keyword names tuple whose
// values follow the positionals) to `names`, filling `values` with borrowed
// references. On failure raises TypeError naming `func_name`, returns false.
//
// Borrowing is sound here although a keyword name's __eq__ may run: the
// caller owns the argument array and the names tuple for the whole call
// (the interpreter's frame, or its own copy when it unpacks a dict), and
// neither can be changed from Python code.
inline bool bind_fastcall(const char *func_name, std::span<PyObject *const> names,
                          PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                          PyObject **values) {
    // The common case, all positional, stays inline on every call.
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(names.size())) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            values[i] = args[i];
        }
        return true;
    }
    return bind_fastcall_general(func_name, names, args, nargs, kwnames, values);
}

// The same for a positional tuple and an optional keyword dict, filling
// `values` with strong references. The dict may be the caller's own, and a
// keyword name's __eq__ may empty it while the names are matched, so no
// name or value is used through the dict's references.
bool bind_tuple_dict(const char *func_name, std::span<PyObject *const> names,
                     PyObject *args, PyObject *kwds, Ref *values);

// Raises the count message: "f() takes exactly k positional argument(s) (g given)".
void raise_count_error(const char *func_name, Py_ssize_t nparams, Py_ssize_t given);

}  // namespace qulo::args
