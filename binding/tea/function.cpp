#include "function.hpp"

#include "pyref.hpp"
#include "state.hpp"

#include <cstddef>

namespace qulo {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
};

FunctionObject *as_function(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyTypeObject *type = Py_TYPE(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    type->tp_free(self);
    Py_DECREF(type);
}

// Stored in a type's dictionary, the function binds like a Python function.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<qulo function %U>", as_function(self)->qualname);
}

// Only the offset of the vectorcall pointer, which the type must be made with.
PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Stored once the type exists rather than made from its member table:
// CPython 3.13.0 fills a new type's dictionary from that table through
// dict.setdefault, which, when the table cannot grow, reports success with
// the dictionary counting an entry it lacks (the import, or the collector at
// exit, then crashes). A plain store into the dictionary fails cleanly.
PyMemberDef function_attributes[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "qulo._tea.function",         // name
    sizeof(FunctionObject),       // basicsize
    0,                            // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,  // flags
    function_slots,               // slots
};

}  // namespace

bool ready_function_type() {
    if (g_state.function_type != nullptr) {
        return true;
    }
    Ref type = Ref::steal(type_from_spec(function_spec));
    if (!type) {
        return false;
    }
    auto *as_type = reinterpret_cast<PyTypeObject *>(type.get());
    for (PyMemberDef &attribute : function_attributes) {
        Ref descriptor = Ref::steal(PyDescr_NewMember(as_type, &attribute));
        if (!descriptor || !add_to_type(as_type, attribute.name, descriptor.get())) {
            return false;
        }
    }
    g_state.function_type = reinterpret_cast<PyTypeObject *>(type.release());
    return true;
}

PyObject *type_from_spec(PyType_Spec &spec) {
    PyObject *type = PyType_FromSpec(&spec);
    if (type == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "creating the type %s failed without setting an exception",
                     spec.name);
    }
    return type;
}

PyObject *new_function(const FunctionDef &def) {
    Ref self = Ref::steal(PyType_GenericAlloc(g_state.function_type, 0));
    if (!self) {
        return nullptr;
    }
    FunctionObject *f = as_function(self.get());
    f->vectorcall = def.call;
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = PyUnicode_InternFromString(def.qualname);
    f->module = PyUnicode_InternFromString(kModuleName);
    f->doc = PyUnicode_FromString(def.doc);
    if (f->name == nullptr || f->qualname == nullptr || f->module == nullptr ||
        f->doc == nullptr) {
        return nullptr;
    }
    return self.release();
}

bool add_to_type(PyTypeObject *type, const char *name, PyObject *value) {
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict || PyDict_SetItemString(dict.get(), name, value) < 0) {
        return false;
    }
    PyType_Modified(type);
    return true;
}

bool add_functions(PyTypeObject *type, std::span<const FunctionDef> defs) {
    for (const FunctionDef &def : defs) {
        Ref f = Ref::steal(new_function(def));
        if (!f || !add_to_type(type, def.name, f.get())) {
            return false;
        }
    }
    return true;
}

}  // namespace qulo
