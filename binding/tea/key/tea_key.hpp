// The key of a TEA object, for the modules that take one as a key argument:
// the one accessor qulo._tea gives them. Only binding/tea knows the object's
// layout; the others link this accessor (library qulo_tea_key) instead.
// (qulo._tea's namespace and type dictionary are fixed, so it is published
// at build level rather than as a capsule.)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qulo/tea.h"

namespace qulo {

// A copy of the key words of `tea`, an object of qulo._tea's TEA type, taken
// with the interpreter lock held: TEA.key is assigned under the same lock,
// so the copy is one whole key, old or new. The caller clears it when done.
qulo_key tea_key(PyObject *tea);

}  // namespace qulo
