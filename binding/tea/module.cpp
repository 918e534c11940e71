// Module start-up: the module definition, the create and execute steps,
// the namespace (TEA, encrypt_len, the seven capsules) and encrypt_len.
#include "binder.hpp"
#include "capsules.hpp"
#include "function.hpp"
#include "methods.hpp"
#include "pyref.hpp"
#include "state.hpp"
#include "tea_type.hpp"
#include "traceback.hpp"

#include "qulo/capi.h"
#include "qulo/mode.h"
#include "qulo/tea.h"

#include <cstdio>
#include <iterator>

namespace qulo {

namespace {

constexpr char kInit[] = "init qulo._tea";
constexpr char kEncryptLen[] = "qulo._tea.encrypt_len";

// ---- encrypt_len ----------------------------------------------------------

// An int by value; anything else through its type's __int__ (not
// __index__), as a C long long conversion of old did.
bool to_int64(PyObject *obj, int64_t &value) {
    Ref number;
    if (!PyLong_Check(obj)) {
        PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        number = Ref::steal(nb->nb_int(obj));
        if (!number) {
            return false;
        }
        if (!PyLong_CheckExact(number.get())) {
            if (!PyLong_Check(number.get())) {
                PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                             Py_TYPE(number.get())->tp_name);
                return false;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return "
                                 "an instance of a strict subclass of int is deprecated, and may "
                                 "be removed in a future version of Python.",
                                 Py_TYPE(number.get())->tp_name) < 0) {
                return false;
            }
        }
        obj = number.get();
    }
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    value = v;
    return true;
}

PyObject *encrypt_len_call(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *const names[] = {g_names.src};
    PyObject *src = nullptr;
    int64_t n = 0;
    if (!args::bind_fastcall("encrypt_len", names, args, PyVectorcall_NARGS(nargsf), kwnames,
                             &src) ||
        !to_int64(src, n)) {
        add_traceback(kEncryptLen);
        return nullptr;
    }
    // The seventeen largest inputs have a ciphertext length beyond int64; the
    // core says which (negative inputs follow the rule, and have no room).
    const qulo_op encrypt{QULO_ENCRYPT, QULO_BIG_ENDIAN, nullptr, 0};
    if (n >= 0 && qulo_output_capacity(&encrypt, n) < 0) {
        PyErr_SetString(PyExc_OverflowError,
                        "encrypt_len() result does not fit in a signed 64-bit integer");
        add_traceback(kEncryptLen);
        return nullptr;
    }
    PyObject *result = PyLong_FromLongLong(qulo_encrypt_len(n));
    if (result == nullptr) {
        add_traceback(kEncryptLen);
    }
    return result;
}

constexpr FunctionDef kEncryptLenDef = {"encrypt_len", "encrypt_len",
                                        "encrypt_len(int64_t src) -> int64_t", encrypt_len_call};

// ---- capsules ---------------------------------------------------------------

// The entry points in the order of qulo_capi_names, which is also the
// namespace order.
void *const kEntryPoints[] = {
    reinterpret_cast<void *>(qulo_encrypt_qq),
    reinterpret_cast<void *>(qulo_decrypt_qq),
    reinterpret_cast<void *>(qulo_encrypt),
    reinterpret_cast<void *>(qulo_decrypt),
    reinterpret_cast<void *>(qulo_encrypt_native_endian),
    reinterpret_cast<void *>(qulo_decrypt_native_endian),
    reinterpret_cast<void *>(qulo_encrypt_len),
};
static_assert(std::size(kEntryPoints) == QULO_CAPI_COUNT);

// ---- start-up -----------------------------------------------------------------

// Copies spec.<attr> to the module's <key>; a missing attribute is skipped.
bool copy_spec_attribute(PyObject *spec, PyObject *module, const char *attr, const char *key,
                         bool skip_none) {
    PyObject *value = nullptr;
    const int found = PyObject_GetOptionalAttrString(spec, attr, &value);
    if (found < 0) {
        return false;
    }
    Ref held = Ref::steal(value);
    if (found == 0 || (skip_none && value == Py_None)) {
        return true;
    }
    return PyObject_SetAttrString(module, key, value) == 0;
}

PyObject *create_module(PyObject *spec, PyModuleDef *) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return nullptr;
    }
    if (g_state.interpreter_id == -1) {
        g_state.interpreter_id = id;
    } else if (g_state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_state.module != nullptr) {
        return Py_NewRef(g_state.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || !copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, module.get(), "origin", "__file__", false) ||
        !copy_spec_attribute(spec, module.get(), "parent", "__package__", false) ||
        !copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__",
                             true)) {
        return nullptr;
    }
    return module.release();
}

bool intern_names() {
    struct {
        PyObject **slot;
        const char *text;
    } const names[] = {
        {&g_names.text, "text"}, {&g_names.sumtable, "sumtable"}, {&g_names.out, "out"},
        {&g_names.key, "key"},   {&g_names.state, "state"},       {&g_names.src, "src"},
    };
    for (const auto &n : names) {
        if (*n.slot == nullptr && (*n.slot = PyUnicode_InternFromString(n.text)) == nullptr) {
            return false;
        }
    }
    return true;
}

bool warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// __debug__ as the running code sees it, read once for the process.
bool read_assertions_flag() {
    g_state.assertions = true;
    PyObject *builtins = PyEval_GetBuiltins();
    if (builtins == nullptr) {
        return !PyErr_Occurred();
    }
    PyObject *value = nullptr;
    if (PyMapping_GetOptionalItemString(builtins, "__debug__", &value) <= 0) {
        return !PyErr_Occurred();
    }
    Ref held = Ref::steal(value);
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return false;
    }
    g_state.assertions = truth != 0;
    return true;
}

bool register_full_name(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    const int present = PyDict_ContainsString(modules, kModuleName);
    if (present != 0) {
        return present > 0;
    }
    return PyDict_SetItemString(modules, kModuleName, module) == 0;
}

// Steps after the constants are built; a failure here is reported with an
// "init qulo._tea" traceback entry.
bool fill_namespace(PyObject *module) {
    if (!read_assertions_flag() || !register_full_name(module) || !ready_tea_type(module) ||
        !add_cipher_methods(g_state.tea_type)) {
        return false;
    }
    Ref encrypt_len = Ref::steal(new_function(kEncryptLenDef));
    if (!encrypt_len || PyModule_AddObjectRef(module, "encrypt_len", encrypt_len.get()) < 0) {
        return false;
    }
    return add_capsules(module, qulo_capi_names, kEntryPoints) &&
           PyModule_Add(module, "__test__", PyDict_New()) == 0;
}

int exec_module(PyObject *module) {
    if (g_state.module == module) {
        return 0;
    }
    if (g_state.module != nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_tea' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g_state.module = Py_NewRef(module);
    auto fail = [](bool traceback) {
        if (traceback) {
            add_traceback(kInit);
        }
        Py_CLEAR(g_state.module);
        return -1;
    };
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyModule_AddObjectRef(module, "__builtins__", builtins.get()) < 0 ||
        !warn_on_version_mismatch() || !intern_names() || !ready_function_type()) {
        return fail(false);
    }
    if (!fill_namespace(module)) {
        return fail(true);
    }
    return 0;
}

// Exactly these two. Without a slot for several interpreters the import
// system's default holds, which is the stance of the other modules
// (interpreters.hpp); the create step refuses all but the first interpreter.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tea",        // m_name
    nullptr,       // m_doc: __doc__ is None
    0,             // m_size: all state is process-wide
    nullptr,       // m_methods: everything is added by the execute step
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace qulo

extern "C" PyMODINIT_FUNC PyInit__tea(void) { return PyModuleDef_Init(&qulo::module_def); }
