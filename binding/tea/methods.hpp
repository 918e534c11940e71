// The twelve cipher methods of TEA and its C-level method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qulo/capi.h"

namespace qulo {

// Entries in table order; each does what its Python method does once the
// arguments are bound and converted.
extern const qulo_tea_methods kTeaMethods;

// Creates the twelve methods as function objects and stores them in the
// type's dictionary, in table order.
bool add_cipher_methods(PyTypeObject *type);

}  // namespace qulo
