/*
 * qulo for extension authors: the cipher's entry points through the
 * capsules of qulo._tea, and the TEA type's C-level method table.
 *
 *     #include <qulo/capi.h>
 *     static qulo_capi api;
 *     ...
 *     if (qulo_import_capi(&api) < 0) return NULL;   // with the GIL held
 *     api.encrypt_qq(&key, src, n, out, capacity);      // any thread, no GIL
 *
 * The entry points need no interpreter lock: they touch no Python object
 * and may run on any thread, also concurrently on one key record. Add the
 * folder returned by qulo.get_include() to the include path.
 */
#ifndef QULO_CAPI_H
#define QULO_CAPI_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include "qulo/tea.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the seven entry points ------------------------------------------- */

typedef struct qulo_capi {
    qulo_qq_fn encrypt_qq;
    qulo_qq_fn decrypt_qq;
    qulo_table_fn encrypt;
    qulo_table_fn decrypt;
    qulo_table_fn encrypt_native_endian;
    qulo_table_fn decrypt_native_endian;
    qulo_len_fn encrypt_len;
} qulo_capi;

/* Imports all seven capsules ("qulo.qulo_encrypt_qq", ...) into `api`.
 * Returns 0, or -1 with a Python exception set when the package cannot be
 * imported or a capsule is missing or misnamed. Call with the GIL held. */
static inline int qulo_import_capi(qulo_capi *api) {
    static const char *const names[7] = {
        "qulo.qulo_encrypt_qq", "qulo.qulo_decrypt_qq",
        "qulo.qulo_encrypt", "qulo.qulo_decrypt",
        "qulo.qulo_encrypt_native_endian", "qulo.qulo_decrypt_native_endian",
        "qulo.qulo_encrypt_len",
    };
    void *pointers[7];
    for (int i = 0; i < 7; ++i) {
        pointers[i] = PyCapsule_Import(names[i], 0);
        if (pointers[i] == NULL) {
            return -1;
        }
    }
    api->encrypt_qq = (qulo_qq_fn)pointers[0];
    api->decrypt_qq = (qulo_qq_fn)pointers[1];
    api->encrypt = (qulo_table_fn)pointers[2];
    api->decrypt = (qulo_table_fn)pointers[3];
    api->encrypt_native_endian = (qulo_table_fn)pointers[4];
    api->decrypt_native_endian = (qulo_table_fn)pointers[5];
    api->encrypt_len = (qulo_len_fn)pointers[6];
    return 0;
}

/* ---- the TEA type's C-level method table ------------------------------ */

/* Name of the unnamed capsule in qulo._tea.TEA.__dict__ whose pointer is
 * the qulo_tea_methods table. */
#define QULO_TEA_METHODS_ATTR "__qulo_methods__"

/* A byte view as the methods take it: data[0..length) contiguous. holder
 * is the exporting object (Py_None for a view of None, then data is NULL
 * and length 0). The entries neither keep nor release views. */
typedef struct qulo_const_byte_view {
    PyObject *holder;
    const uint8_t *data;
    Py_ssize_t length;
    Py_ssize_t stride;
    Py_ssize_t suboffset;
} qulo_const_byte_view;

typedef struct qulo_byte_view {
    PyObject *holder;
    uint8_t *data;
    Py_ssize_t length;
    Py_ssize_t stride;
    Py_ssize_t suboffset;
} qulo_byte_view;

/* Each entry does what the Python method of the same name does once its
 * arguments are converted, including the sum-table and output-size checks.
 * `self` must be a qulo._tea.TEA object (otherwise TypeError). Call with
 * the GIL held; the entry releases it around the cipher itself.
 * Allocating entries return a new bytes object or NULL with an exception
 * set; _into entries return the result length or -1 with an exception set. */
typedef PyObject *(*qulo_tea_alloc_qq)(PyObject *self, const qulo_const_byte_view *text);
typedef int64_t (*qulo_tea_into_qq)(PyObject *self, const qulo_const_byte_view *text,
                                    const qulo_byte_view *out);
typedef PyObject *(*qulo_tea_alloc_table)(PyObject *self, const qulo_const_byte_view *text,
                                          const qulo_const_byte_view *sumtable);
typedef int64_t (*qulo_tea_into_table)(PyObject *self, const qulo_const_byte_view *text,
                                       const qulo_const_byte_view *sumtable,
                                       const qulo_byte_view *out);

typedef struct qulo_tea_methods {
    qulo_tea_alloc_qq encrypt_qq;
    qulo_tea_into_qq encrypt_qq_into;
    qulo_tea_alloc_table encrypt;
    qulo_tea_into_table encrypt_into;
    qulo_tea_alloc_table encrypt_native_endian;
    qulo_tea_into_table encrypt_native_endian_into;
    qulo_tea_alloc_qq decrypt_qq;
    qulo_tea_into_qq decrypt_qq_into;
    qulo_tea_alloc_table decrypt;
    qulo_tea_into_table decrypt_into;
    qulo_tea_alloc_table decrypt_native_endian;
    qulo_tea_into_table decrypt_native_endian_into;
} qulo_tea_methods;

#ifdef __cplusplus
}
#endif

#endif /* QULO_CAPI_H */
