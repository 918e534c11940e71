// The function-object type of the module's functions: fast calls with
// keywords, the usual introspection attributes, and binding as a method
// when stored in a type's dictionary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace qulo {

struct FunctionDef {
    const char *name;      // __name__
    const char *qualname;  // __qualname__
    const char *doc;       // __doc__
    vectorcallfunc call;   // receives the arguments, self first for methods
};

// Readies the type; call once during start-up.
bool ready_function_type();

// PyType_FromSpec, but never null without an exception: CPython 3.13.0
// returns null with nothing pending when the copy of the type's name cannot
// be allocated, and start-up must fail with an exception all the same.
PyObject *type_from_spec(PyType_Spec &spec);

// A new function object of the module (`__module__` is the module's full
// name), or null with an exception set.
PyObject *new_function(const FunctionDef &def);

// Stores `value` in the type's own dictionary under `name`. The types are
// immutable from Python; their dictionaries are filled here, at start-up.
bool add_to_type(PyTypeObject *type, const char *name, PyObject *value);

// Creates each function and stores it in the type's dictionary, in order.
bool add_functions(PyTypeObject *type, std::span<const FunctionDef> defs);

}  // namespace qulo
