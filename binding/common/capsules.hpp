// Publishing a module's capsules under the names <qulo/capi.h> records.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <span>

namespace qulo {

// Adds one capsule per name, in order: capsule `names[i]` ("qulo.<entry>")
// holding `pointers[i]`, as the module's attribute <entry>. False with an
// exception set. The names are string literals of the header, so they live
// as long as the capsules.
inline bool add_capsules(PyObject *module, std::span<const char *const> names,
                         std::span<void *const> pointers) {
    for (size_t i = 0; i < names.size() && i < pointers.size(); ++i) {
        const char *attribute = std::strchr(names[i], '.') + 1;
        if (PyModule_Add(module, attribute, PyCapsule_New(pointers[i], names[i], nullptr)) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace qulo
