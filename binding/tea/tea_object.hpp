// The layout of a qulo._tea.TEA object, read at C level by qulo._tea itself
// and by the modules that take a TEA object as a key.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qulo/capi.h"
#include "qulo/tea.h"

namespace qulo {

struct TeaObject {
    PyObject_HEAD
    const qulo_tea_methods *methods;  // the type's C-level method table
    qulo_key key;
};

// A copy of the key words of `tea` (a TEA object), taken with the
// interpreter lock held. TEA.key is assigned under the same lock, so the
// copy is one whole key, old or new, whatever other threads do once the
// lock is released.
inline qulo_key copy_key(PyObject *tea) { return reinterpret_cast<const TeaObject *>(tea)->key; }

}  // namespace qulo
