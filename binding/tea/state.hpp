// Process-wide state of the extension. The module admits one interpreter
// per process, so there is no per-module state: everything lives here,
// written during start-up only and read afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qulo {

// The module's full name, whatever name the import system used.
inline constexpr const char kModuleName[] = "qulo._tea";

struct ProcessState {
    int64_t interpreter_id = -1;  // -1: none recorded yet
    PyObject *module = nullptr;   // strong reference once the execute step ran
    // Length checks that are assertions run only while this is true; it is
    // read once from __debug__, so -O turns them off for the process.
    bool assertions = true;
    PyTypeObject *tea_type = nullptr;
    PyTypeObject *function_type = nullptr;
};

// Interned parameter names: keywords usually match them by identity.
struct Names {
    PyObject *text = nullptr;
    PyObject *sumtable = nullptr;
    PyObject *out = nullptr;
    PyObject *key = nullptr;
    PyObject *state = nullptr;
    PyObject *src = nullptr;
};

inline ProcessState g_state;
inline Names g_names;

}  // namespace qulo
