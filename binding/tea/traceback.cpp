#include "traceback.hpp"

#include "pyref.hpp"
#include "state.hpp"

#include <frameobject.h>

#include <string_view>

namespace qulo {

namespace {

// The source path relative to the project ("binding/tea/methods.cpp"), so no
// build machine's folders end up in users' tracebacks.
const char *project_relative(const char *path) {
    const std::string_view p(path);
    const size_t at = p.rfind("binding/tea/");
    return at == std::string_view::npos ? path : path + at;
}

}  // namespace

void add_traceback(const char *qualified_name, std::source_location where) {
    if (!PyErr_Occurred()) {
        return;  // an entry belongs to an exception; with none there is nothing to add to
    }
    Ref frame;
    {
        // Building the code and frame objects must not see the pending
        // exception; it is restored before the entry is added.
        SavedError saved;
        PyCodeObject *code =
            PyCode_NewEmpty(project_relative(where.file_name()), qualified_name, static_cast<int>(where.line()));
        if (code == nullptr) {
            PyErr_Clear();
            return;
        }
        Ref code_ref = Ref::steal(reinterpret_cast<PyObject *>(code));
        Ref globals = Ref::steal(PyDict_New());
        if (!globals) {
            PyErr_Clear();
            return;
        }
        PyFrameObject *f = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
        if (f == nullptr) {
            PyErr_Clear();
            return;
        }
        frame = Ref::steal(reinterpret_cast<PyObject *>(f));
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace qulo
