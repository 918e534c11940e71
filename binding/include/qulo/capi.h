/*
 * qulo for extension authors: the cipher's entry points through the
 * capsules of qulo._tea, and the TEA type's C-level method table.
 *
 * Put the folder that qulo.get_include() returns on the include path; it
 * holds this header, <qulo/tea.h>, which declares qulo_key and the
 * signatures and contracts of the entry points, <qulo/batch.h>, those of
 * the batch entry points (many messages per call), and <qulo/stream.h>,
 * those of the incremental contexts (one message in chunks).
 *
 *     #include <qulo/capi.h>
 *
 *     static qulo_capi qulo;                     // filled once, at start-up
 *
 *     PyMODINIT_FUNC PyInit_mine(void) {
 *         if (qulo_import_capi(&qulo) < 0) return NULL;   // GIL held
 *         ...
 *     }
 *
 *     // later, on any thread, with or without the GIL:
 *     qulo_key key = {0x00112233, 0x44556677, 0x8899aabb, 0xccddeeff};
 *     int64_t n = qulo.encrypt_qq(&key, src, src_len, out, capacity);
 *
 * The no-lock contract: the seven entry points touch no Python object and
 * no interpreter state, so they may be called on any thread without the
 * interpreter lock, also concurrently with one key record and one sum
 * table. Only the output must not be shared between concurrent calls. In
 * one call, src and out may overlap in any way, in encryption and in
 * decryption alike (<qulo/tea.h> says what is written). Release the lock
 * (Py_BEGIN_ALLOW_THREADS) around long runs so that other Python threads
 * keep going.
 *
 * The pointers stay valid for the life of the process: qulo._tea is never
 * unloaded once imported.
 */
#ifndef QULO_CAPI_H
#define QULO_CAPI_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <string.h>

#include "qulo/batch.h"
#include "qulo/stream.h"
#include "qulo/tea.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the capsules' names ------------------------------------------------ */

/* Each capsule is named "qulo." followed by the name of its entry point,
 * which is also the attribute that holds it in the module that publishes it
 * and in the package (where PyCapsule_Import looks). These lists are the
 * one record of the names: the modules publish from them, in this order,
 * and the import helpers below read them; the fields of qulo_capi,
 * qulo_batch_capi and qulo_stream_capi follow the same order. */
enum { QULO_CAPI_COUNT = 7, QULO_BATCH_CAPI_COUNT = 7, QULO_STREAM_CAPI_COUNT = 13 };

static const char *const qulo_capi_names[QULO_CAPI_COUNT] = {
    "qulo.qulo_encrypt_qq", "qulo.qulo_decrypt_qq",
    "qulo.qulo_encrypt", "qulo.qulo_decrypt",
    "qulo.qulo_encrypt_native_endian", "qulo.qulo_decrypt_native_endian",
    "qulo.qulo_encrypt_len",
};

static const char *const qulo_batch_capi_names[QULO_BATCH_CAPI_COUNT] = {
    "qulo.qulo_batch_encrypt_qq", "qulo.qulo_batch_decrypt_qq",
    "qulo.qulo_batch_encrypt", "qulo.qulo_batch_decrypt",
    "qulo.qulo_batch_encrypt_native_endian", "qulo.qulo_batch_decrypt_native_endian",
    "qulo.qulo_batch_kernel",
};

static const char *const qulo_stream_capi_names[QULO_STREAM_CAPI_COUNT] = {
    "qulo.qulo_encryptor_init", "qulo.qulo_encryptor_update_len",
    "qulo.qulo_encryptor_update", "qulo.qulo_encryptor_finish",
    "qulo.qulo_encryptor_length", "qulo.qulo_encryptor_given",
    "qulo.qulo_encryptor_wipe",
    "qulo.qulo_decryptor_init", "qulo.qulo_decryptor_update_len",
    "qulo.qulo_decryptor_update", "qulo.qulo_decryptor_finish",
    "qulo.qulo_decryptor_given", "qulo.qulo_decryptor_wipe",
};

/* ---- the seven entry points ------------------------------------------- */

/* One field per capsule; the signatures and contracts are those of the
 * functions of the same name (with the qulo_ prefix) in <qulo/tea.h>. */

typedef struct qulo_capi {
    qulo_qq_fn encrypt_qq;
    qulo_qq_fn decrypt_qq;
    qulo_table_fn encrypt;
    qulo_table_fn decrypt;
    qulo_table_fn encrypt_native_endian;
    qulo_table_fn decrypt_native_endian;
    qulo_len_fn encrypt_len;
} qulo_capi;

/* Imports `count` capsules by their full names into `pointers`: 0, or -1
 * with the Python exception set. Shared by the import helpers below. */
static inline int qulo_import_capsules_(const char *const *names, int count, void **pointers) {
    for (int i = 0; i < count; ++i) {
        pointers[i] = PyCapsule_Import(names[i], 0);
        if (pointers[i] == NULL) {
            return -1;
        }
    }
    return 0;
}

/* Imports all seven capsules (qulo_capi_names) into `api`.
 * Returns 0, or -1 with a Python exception set (ImportError when the package
 * cannot be imported, AttributeError when a capsule is missing, is not a
 * capsule or carries another name); `api` is left untouched on failure.
 * Call with the GIL held, typically from the importing module's PyInit. */
static inline int qulo_import_capi(qulo_capi *api) {
    void *pointers[QULO_CAPI_COUNT];
    qulo_capi found;
    if (qulo_import_capsules_(qulo_capi_names, QULO_CAPI_COUNT, pointers) < 0) {
        return -1;
    }
    /* A capsule holds a data pointer. Copying its bytes into the function
     * pointer (they have the same size wherever CPython runs) avoids the
     * object-to-function pointer cast that ISO C leaves undefined. */
    memcpy(&found.encrypt_qq, &pointers[0], sizeof found.encrypt_qq);
    memcpy(&found.decrypt_qq, &pointers[1], sizeof found.decrypt_qq);
    memcpy(&found.encrypt, &pointers[2], sizeof found.encrypt);
    memcpy(&found.decrypt, &pointers[3], sizeof found.decrypt);
    memcpy(&found.encrypt_native_endian, &pointers[4], sizeof found.encrypt_native_endian);
    memcpy(&found.decrypt_native_endian, &pointers[5], sizeof found.decrypt_native_endian);
    memcpy(&found.encrypt_len, &pointers[6], sizeof found.encrypt_len);
    *api = found;
    return 0;
}

/* ---- the batch entry points --------------------------------------------- */

/* Many messages per call, from qulo._batch (re-exported by the package): one
 * field per capsule, with the signatures and contracts of the functions of
 * the same name (with the qulo_ prefix) in <qulo/batch.h>. Each message
 * gets exactly what the one-message entry point gives it; the same no-lock
 * contract holds. A separate struct, so that callers of qulo_import_capi
 * above are unaffected.
 *
 *     static qulo_batch_capi batch;
 *     if (qulo_import_batch_capi(&batch) < 0) return NULL;   // GIL held
 *     ...
 *     int64_t refused = batch.encrypt_qq(&key, count, srcs, lens, outs, caps, results);
 *
 * kernel() names the kernel in use, or returns NULL when QULO_BATCH_KERNEL
 * names one the CPU cannot run; every batch call then returns -1 and writes
 * nothing. */

typedef struct qulo_batch_capi {
    qulo_batch_qq_fn encrypt_qq;
    qulo_batch_qq_fn decrypt_qq;
    qulo_batch_table_fn encrypt;
    qulo_batch_table_fn decrypt;
    qulo_batch_table_fn encrypt_native_endian;
    qulo_batch_table_fn decrypt_native_endian;
    qulo_batch_kernel_fn kernel;
} qulo_batch_capi;

/* Imports the seven batch capsules (qulo_batch_capi_names) into `api`, with
 * the same results and errors as qulo_import_capi; `api` is left untouched
 * on failure. */
static inline int qulo_import_batch_capi(qulo_batch_capi *api) {
    void *pointers[QULO_BATCH_CAPI_COUNT];
    qulo_batch_capi found;
    if (qulo_import_capsules_(qulo_batch_capi_names, QULO_BATCH_CAPI_COUNT, pointers) < 0) {
        return -1;
    }
    memcpy(&found.encrypt_qq, &pointers[0], sizeof found.encrypt_qq);
    memcpy(&found.decrypt_qq, &pointers[1], sizeof found.decrypt_qq);
    memcpy(&found.encrypt, &pointers[2], sizeof found.encrypt);
    memcpy(&found.decrypt, &pointers[3], sizeof found.decrypt);
    memcpy(&found.encrypt_native_endian, &pointers[4], sizeof found.encrypt_native_endian);
    memcpy(&found.decrypt_native_endian, &pointers[5], sizeof found.decrypt_native_endian);
    memcpy(&found.kernel, &pointers[6], sizeof found.kernel);
    *api = found;
    return 0;
}

/* ---- the incremental entry points --------------------------------------- */

/* One message in chunks, from qulo._stream (re-exported by the package): one
 * field per capsule, with the signatures and contracts of the functions of
 * the same name (with the qulo_ prefix) in <qulo/stream.h>. The contexts
 * are the caller's own storage; the calls touch no Python object, so they
 * may run on any thread without the interpreter lock (one thread per
 * context at a time).
 *
 *     static qulo_stream_capi stream;
 *     if (qulo_import_stream_capi(&stream) < 0) return NULL;   // GIL held
 *     ...
 *     qulo_encryptor e;
 *     qulo_op op = {QULO_ENCRYPT, QULO_BIG_ENDIAN, NULL, 0};
 *     int64_t total = stream.encryptor_init(&e, &key, &op, n);
 *     for each chunk: w = stream.encryptor_update(&e, chunk, len, out, cap);
 *     w = stream.encryptor_finish(&e, out, cap); */

typedef struct qulo_stream_capi {
    qulo_encryptor_init_fn encryptor_init;
    qulo_encryptor_update_len_fn encryptor_update_len;
    qulo_encryptor_update_fn encryptor_update;
    qulo_encryptor_finish_fn encryptor_finish;
    qulo_encryptor_count_fn encryptor_length;
    qulo_encryptor_count_fn encryptor_given;
    qulo_encryptor_wipe_fn encryptor_wipe;
    qulo_decryptor_init_fn decryptor_init;
    qulo_decryptor_update_len_fn decryptor_update_len;
    qulo_decryptor_update_fn decryptor_update;
    qulo_decryptor_finish_fn decryptor_finish;
    qulo_decryptor_count_fn decryptor_given;
    qulo_decryptor_wipe_fn decryptor_wipe;
} qulo_stream_capi;

/* Imports the thirteen stream capsules (qulo_stream_capi_names) into `api`,
 * with the same results and errors as qulo_import_capi; `api` is left
 * untouched on failure. */
static inline int qulo_import_stream_capi(qulo_stream_capi *api) {
    void *pointers[QULO_STREAM_CAPI_COUNT];
    qulo_stream_capi found;
    if (qulo_import_capsules_(qulo_stream_capi_names, QULO_STREAM_CAPI_COUNT, pointers) < 0) {
        return -1;
    }
    memcpy(&found.encryptor_init, &pointers[0], sizeof found.encryptor_init);
    memcpy(&found.encryptor_update_len, &pointers[1], sizeof found.encryptor_update_len);
    memcpy(&found.encryptor_update, &pointers[2], sizeof found.encryptor_update);
    memcpy(&found.encryptor_finish, &pointers[3], sizeof found.encryptor_finish);
    memcpy(&found.encryptor_length, &pointers[4], sizeof found.encryptor_length);
    memcpy(&found.encryptor_given, &pointers[5], sizeof found.encryptor_given);
    memcpy(&found.encryptor_wipe, &pointers[6], sizeof found.encryptor_wipe);
    memcpy(&found.decryptor_init, &pointers[7], sizeof found.decryptor_init);
    memcpy(&found.decryptor_update_len, &pointers[8], sizeof found.decryptor_update_len);
    memcpy(&found.decryptor_update, &pointers[9], sizeof found.decryptor_update);
    memcpy(&found.decryptor_finish, &pointers[10], sizeof found.decryptor_finish);
    memcpy(&found.decryptor_given, &pointers[11], sizeof found.decryptor_given);
    memcpy(&found.decryptor_wipe, &pointers[12], sizeof found.decryptor_wipe);
    *api = found;
    return 0;
}

/* ---- the TEA type's C-level method table ------------------------------ */

/* The TEA type publishes its twelve cipher methods as C functions: the
 * capsule under this name in qulo._tea.TEA.__dict__ has no name (pass NULL
 * to PyCapsule_GetPointer) and points at a qulo_tea_methods table. Every
 * TEA object refers to the same table.
 *
 *     PyObject *dict = PyType_GetDict(tea_type);               // new ref
 *     PyObject *cap = PyDict_GetItemString(dict, QULO_TEA_METHODS_ATTR);
 *     const qulo_tea_methods *m = PyCapsule_GetPointer(cap, NULL);
 */
#define QULO_TEA_METHODS_ATTR "__qulo_methods__"

/* A byte view as the methods take it: length contiguous bytes at data.
 * holder is the object that exported them (Py_None for a view of None;
 * then data is NULL and length 0); stride is 1 and suboffset -1 for the
 * views the binding makes. The entries read only data and length; they
 * neither keep nor release views, so a caller may point one at any memory
 * it keeps alive for the call. */
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
 * arguments are converted, including the sum-table and output-size checks
 * and their exceptions. `self` must be a qulo._tea.TEA object (otherwise
 * TypeError). Unlike the entry points above, these need the GIL: call them
 * with it held; they release it around the cipher itself, after taking a
 * copy of the object's key, so each result is made under one whole key even
 * while another thread assigns TEA.key. text and out may overlap in any way,
 * as for the entry points.
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
