// The extension module qulo._batch: many messages per call through the
// batch entry points of the cipher core, from a Python iterable of byte
// buffers (list_cipher.cpp) or from Arrow columns (arrow_cipher.cpp), with
// the interpreter lock released once for the whole batch; the kernel
// functions (kernel_hooks.cpp). Here: the method table, the module's state
// and the capsules of the batch entry points for compiled callers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow_cipher.hpp"
#include "arrow_column.hpp"
#include "batch_engine.hpp"
#include "capsules.hpp"
#include "cipher_args.hpp"
#include "interpreters.hpp"
#include "kernel_hooks.hpp"
#include "list_cipher.hpp"
#include "qulo/batch.h"
#include "qulo/capi.h"

#include <iterator>

namespace qulo {
namespace {

// ---- the module ----------------------------------------------------------------------

PyMethodDef kMethods[] = {
    // The public names of this module are what the package re-exports (the
    // capsules and batch_kernel); qulo._many fronts the calls below.
    {"_encrypt_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encrypt_list)),
     METH_VARARGS | METH_KEYWORDS,
     "_encrypt_list(key, messages, *, sumtable=None, native_endian=False) -> list[bytes]\n\n"
     "Encrypts every byte buffer of the iterable `messages` (qulo.encrypt_many)."},
    {"_decrypt_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decrypt_list)),
     METH_VARARGS | METH_KEYWORDS,
     "_decrypt_list(key, messages, *, sumtable=None, native_endian=False, errors='raise', "
     "verify=False) -> list[bytes | None]\n\n"
     "Decrypts every byte buffer of the iterable `messages` (qulo.decrypt_many)."},
    {"_encrypt_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encrypt_arrow)),
     METH_VARARGS | METH_KEYWORDS,
     "_encrypt_arrow(key, column, *, sumtable=None, native_endian=False) -> ArrowColumn\n\n"
     "Encrypts every value of an Arrow binary, large_binary or binary_view column, any object "
     "with __arrow_c_stream__ or __arrow_c_array__ (qulo.encrypt_many)."},
    {"_decrypt_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decrypt_arrow)),
     METH_VARARGS | METH_KEYWORDS,
     "_decrypt_arrow(key, column, *, sumtable=None, native_endian=False, errors='raise', "
     "verify=False) -> ArrowColumn\n\n"
     "Decrypts every value of an Arrow column (qulo.decrypt_many)."},
    {"batch_kernel", batch_kernel, METH_NOARGS,
     "batch_kernel() -> str\n\nThe name of the batch kernel in use."},
    {"_kernels", kernels, METH_NOARGS,
     "_kernels() -> tuple[str, ...]\n\nThe kernels this CPU runs, fastest first."},
    {"_known_kernels", known_kernels, METH_NOARGS,
     "_known_kernels() -> tuple[str, ...]\n\nEvery kernel of this build, fastest first, whether "
     "or not this CPU runs it."},
    {"_select_kernel", select_kernel, METH_O,
     "_select_kernel(name) -> None\n\nUses the named kernel from now on (None: the start-up "
     "choice). For tests and benchmarks."},
    {nullptr, nullptr, 0, nullptr},
};

// The batch entry points in the order of qulo_batch_capi_names.
void *const kEntryPoints[] = {
    reinterpret_cast<void *>(qulo_batch_encrypt_qq),
    reinterpret_cast<void *>(qulo_batch_decrypt_qq),
    reinterpret_cast<void *>(qulo_batch_encrypt),
    reinterpret_cast<void *>(qulo_batch_decrypt),
    reinterpret_cast<void *>(qulo_batch_encrypt_native_endian),
    reinterpret_cast<void *>(qulo_batch_decrypt_native_endian),
    reinterpret_cast<void *>(qulo_batch_kernel),
};
static_assert(std::size(kEntryPoints) == QULO_BATCH_CAPI_COUNT);

int exec_module(PyObject *module) {
    batch::BatchState &state = batch::batch_state(module);
    if (!init_cipher_args_state(module)) {
        return -1;
    }
    state.column_type = make_arrow_column_type(module);
    if (state.column_type == nullptr ||
        PyModule_AddObjectRef(module, "ArrowColumn",
                              reinterpret_cast<PyObject *>(state.column_type)) < 0 ||
        !add_capsules(module, qulo_batch_capi_names, kEntryPoints)) {
        return -1;
    }
    return 0;
}

int traverse_state(PyObject *module, visitproc visit, void *arg) {
    Py_VISIT(batch::batch_state(module).column_type);
    return traverse_cipher_args_state(module, visit, arg);
}

int clear_state(PyObject *module) {
    Py_CLEAR(batch::batch_state(module).column_type);
    return clear_cipher_args_state(module);
}

void free_state(void *module) {
    if (PyModule_GetState(static_cast<PyObject *>(module)) != nullptr) {
        clear_state(static_cast<PyObject *>(module));
    }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    interpreter_slot(),  // one interpreter per process: why in interpreters.hpp
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_batch",
    "Many messages per call: the batch entry points of the cipher core.",
    sizeof(batch::BatchState),
    kMethods,
    kSlots,
    traverse_state,
    clear_state,
    free_state,
};

}  // namespace
}  // namespace qulo

extern "C" PyMODINIT_FUNC PyInit__batch(void) { return PyModuleDef_Init(&qulo::module_def); }
