// The TEA type: one object, one key, held as ready key words.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "state.hpp"
#include "tea_object.hpp"

namespace qulo {

inline bool is_tea(PyObject *o) { return Py_IS_TYPE(o, g_state.tea_type); }

// Raises the TypeError of a method of TEA called with something else as
// self (`self` null when no argument at all was given).
void raise_not_tea(const char *method_name, PyObject *self);

// Creates the type, publishes its method-table capsule, binds it in the
// module as "TEA" and installs the refusal to be pickled.
bool ready_tea_type(PyObject *module);

}  // namespace qulo
