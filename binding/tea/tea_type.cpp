#include "tea_type.hpp"

#include "binder.hpp"
#include "byte_view.hpp"
#include "function.hpp"
#include "key_words.hpp"
#include "methods.hpp"
#include "pyref.hpp"
#include "traceback.hpp"
#include "qulo/mode.h"

#include <array>
#include <cstring>

namespace qulo {

namespace {

constexpr Py_ssize_t kKeyBytes = 16;
constexpr size_t kFreeListSize = 8;

constexpr char kCinit[] = "qulo._tea.TEA.__cinit__";
constexpr char kKeySet[] = "qulo._tea.TEA.key.__set__";
constexpr char kKeyGet[] = "qulo._tea.TEA.key.__get__";
constexpr char kRefusal[] = "no default __reduce__ due to non-trivial __cinit__";

// Released objects kept for reuse; guarded by the interpreter lock.
struct FreeList {
    std::array<TeaObject *, kFreeListSize> slots{};
    size_t count = 0;
};
FreeList g_free;

// Key material must not outlive the object in freed memory.
void wipe(qulo_key &key) { qulo_wipe(&key, sizeof key); }

// Length check, then the four words from the first 16 bytes, big-endian.
bool set_key_from_view(TeaObject *self, const ConstByteView &view) {
    const bool bad = g_state.assertions ? view.length != kKeyBytes : view.length < kKeyBytes;
    if (bad) {
        // Under -O a short key is still refused: there is nothing to read.
        PyErr_SetString(g_state.assertions ? PyExc_AssertionError : PyExc_ValueError,
                        "key must be 16 bytes len");
        add_traceback(kKeySet);
        return false;
    }
    self->key = key_from_bytes(view.data);
    return true;
}

PyObject *tea_alloc(PyTypeObject *type) {
    if (g_free.count > 0) {
        TeaObject *o = g_free.slots[--g_free.count];
        std::memset(static_cast<void *>(o), 0, sizeof *o);
        return PyObject_Init(reinterpret_cast<PyObject *>(o), type);
    }
    return type->tp_alloc(type, 0);
}

void tea_dealloc(PyObject *self) {
    auto *o = reinterpret_cast<TeaObject *>(self);
    PyTypeObject *type = Py_TYPE(self);
    wipe(o->key);
    if (g_free.count < kFreeListSize) {
        g_free.slots[g_free.count++] = o;
    } else {
        type->tp_free(self);
    }
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject *tea_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    Ref self = Ref::steal(tea_alloc(type));
    if (!self) {
        add_traceback(kCinit);
        return nullptr;
    }
    auto *o = reinterpret_cast<TeaObject *>(self.get());
    o->methods = &kTeaMethods;

    PyObject *const names[] = {g_names.key};
    Ref key;  // ours: the keyword dict may lose its references meanwhile
    ConstView view;
    if (!args::bind_tuple_dict("__cinit__", names, args, kwds, &key) ||
        !view.acquire(key.get(), NoneAs::empty) || !set_key_from_view(o, view.view())) {
        add_traceback(kCinit);
        return nullptr;
    }
    return self.release();
}

PyObject *key_get(PyObject *self, void *) {
    PyObject *out = PyBytes_FromStringAndSize(nullptr, kKeyBytes);
    if (out == nullptr) {
        add_traceback(kKeyGet);
        return nullptr;
    }
    const qulo_key &k = reinterpret_cast<TeaObject *>(self)->key;
    auto *p = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out));
    key_to_bytes(k, p);
    return out;
}

int key_set(PyObject *self, PyObject *value, void *) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        add_traceback(kKeySet);
        return -1;
    }
    ConstView view;
    if (!view.acquire(value, NoneAs::empty)) {
        add_traceback(kKeySet);
        return -1;
    }
    return set_key_from_view(reinterpret_cast<TeaObject *>(self), view.view()) ? 0 : -1;
}

// ---- refusal to be pickled or copied ----------------------------------

// Both refusers are methods of TEA: self first, then their own parameters.
template <const char *Name, const char *Traceback, int NParams>
PyObject *refuse_pickling(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1 || !is_tea(args[0])) {
        raise_not_tea(Name, nargs < 1 ? nullptr : args[0]);
    } else {
        PyObject *const names[] = {g_names.state};
        PyObject *values[1];
        if (args::bind_fastcall(Name, std::span(names, NParams), args + 1, nargs - 1, kwnames,
                                values)) {
            PyErr_SetString(PyExc_TypeError, kRefusal);
        }
    }
    add_traceback(Traceback);
    return nullptr;
}

constexpr char kReduce[] = "__reduce__";
constexpr char kReduceTb[] = "qulo._tea.TEA.__reduce__";
constexpr char kSetstate[] = "__setstate__";
constexpr char kSetstateTb[] = "qulo._tea.TEA.__setstate__";

const FunctionDef kRefusers[] = {
    {kReduce, "TEA.__reduce__", "TEA.__reduce__(self)",
     refuse_pickling<kReduce, kReduceTb, 0>},
    {kSetstate, "TEA.__setstate__", "TEA.__setstate__(self, state)",
     refuse_pickling<kSetstate, kSetstateTb, 1>},
};

PyGetSetDef tea_getset[] = {
    {"key", key_get, key_set, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tea_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(tea_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(tea_dealloc)},
    {Py_tp_getset, tea_getset},
    {0, nullptr},
};

// Not a base type, no __dict__, no weak references, not GC-tracked.
PyType_Spec tea_spec = {
    "qulo._tea.TEA",                               // name
    sizeof(TeaObject),                             // basicsize
    0,                                             // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,  // flags
    tea_slots,                                     // slots
};

}  // namespace

void raise_not_tea(const char *method_name, PyObject *self) {
    if (self == nullptr) {
        PyErr_Format(PyExc_TypeError, "descriptor '%.200s' of 'qulo._tea.TEA' object needs an argument",
                     method_name);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%.200s' for 'qulo._tea.TEA' objects doesn't apply to a '%.100s' object",
                     method_name, Py_TYPE(self)->tp_name);
    }
}

bool ready_tea_type(PyObject *module) {
    if (g_state.tea_type == nullptr) {
        PyObject *type = type_from_spec(tea_spec);
        if (type == nullptr) {
            return false;
        }
        g_state.tea_type = reinterpret_cast<PyTypeObject *>(type);
    }
    PyTypeObject *type = g_state.tea_type;
    Ref table = Ref::steal(PyCapsule_New(const_cast<qulo_tea_methods *>(&kTeaMethods), nullptr,
                                         nullptr));
    if (!table || !add_to_type(type, QULO_TEA_METHODS_ATTR, table.get())) {
        return false;
    }
    if (PyModule_AddObjectRef(module, "TEA", reinterpret_cast<PyObject *>(type)) < 0) {
        return false;
    }
    return add_functions(type, kRefusers);
}

}  // namespace qulo
