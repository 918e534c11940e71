/* docs/examples/capi_example.c: an extension module in C that uses qulo.
 *
 *   encrypt_qq(key, text) -> bytes           the entry point, without the lock
 *   decrypt_qq_in_place(key, buffer) -> int  decryption in place, same way
 *   encrypt_with(tea, text) -> bytes         a qulo.TEA object's method table
 *
 * Build it with the folder that qulo.get_include() returns on the include
 * path; nothing needs to be linked. */
#define PY_SSIZE_T_CLEAN
#include <qulo/capi.h>

static qulo_capi qulo;                    /* the seven entry points */
static const qulo_tea_methods *tea_table; /* the TEA type's C-level methods */

/* Each key word is four key bytes read big-endian. */
static int key_from(const Py_buffer *b, qulo_key *key) {
    const uint8_t *k = b->buf;
    if (b->len != 16) {
        PyErr_SetString(PyExc_ValueError, "key must be 16 bytes");
        return -1;
    }
    key->k0 = (uint32_t)k[0] << 24 | (uint32_t)k[1] << 16 | (uint32_t)k[2] << 8 | k[3];
    key->k1 = (uint32_t)k[4] << 24 | (uint32_t)k[5] << 16 | (uint32_t)k[6] << 8 | k[7];
    key->k2 = (uint32_t)k[8] << 24 | (uint32_t)k[9] << 16 | (uint32_t)k[10] << 8 | k[11];
    key->k3 = (uint32_t)k[12] << 24 | (uint32_t)k[13] << 16 | (uint32_t)k[14] << 8 | k[15];
    return 0;
}

static PyObject *encrypt_qq(PyObject *self, PyObject *args) {
    Py_buffer key_buf, text;
    qulo_key key;
    PyObject *result = NULL;
    (void)self;
    if (!PyArg_ParseTuple(args, "y*y*", &key_buf, &text)) {
        return NULL;
    }
    if (key_from(&key_buf, &key) == 0) {
        int64_t need = qulo.encrypt_len(text.len);
        result = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)need);
        if (result != NULL) {
            uint8_t *out = (uint8_t *)PyBytes_AS_STRING(result);
            Py_BEGIN_ALLOW_THREADS /* the entry points need no interpreter lock */
            qulo.encrypt_qq(&key, text.buf, text.len, out, need); /* == need */
            Py_END_ALLOW_THREADS
        }
    }
    PyBuffer_Release(&text);
    PyBuffer_Release(&key_buf);
    return result;
}

static PyObject *decrypt_qq_in_place(PyObject *self, PyObject *args) {
    Py_buffer key_buf, buf;
    qulo_key key;
    int64_t n = -1;
    int key_ok;
    (void)self;
    if (!PyArg_ParseTuple(args, "y*w*", &key_buf, &buf)) {
        return NULL;
    }
    key_ok = key_from(&key_buf, &key) == 0;
    if (key_ok) {
        Py_BEGIN_ALLOW_THREADS /* source and output are the same bytes */
        n = qulo.decrypt_qq(&key, buf.buf, buf.len, buf.buf, buf.len);
        Py_END_ALLOW_THREADS
    }
    PyBuffer_Release(&buf);
    PyBuffer_Release(&key_buf);
    if (!key_ok) {
        return NULL;
    }
    if (n < 0) { /* nothing was written */
        PyErr_SetString(PyExc_ValueError,
                        "not a ciphertext: under 16 bytes, not a multiple of 8, or a bad header");
        return NULL;
    }
    return PyLong_FromLongLong(n);
}

static PyObject *encrypt_with(PyObject *self, PyObject *args) {
    PyObject *tea, *result;
    Py_buffer text;
    qulo_const_byte_view view;
    (void)self;
    if (!PyArg_ParseTuple(args, "Oy*", &tea, &text)) {
        return NULL;
    }
    view.holder = text.obj;
    view.data = text.buf;
    view.length = text.len;
    view.stride = 1;
    view.suboffset = -1;
    result = tea_table->encrypt_qq(tea, &view); /* TypeError unless tea is a TEA */
    PyBuffer_Release(&text);
    return result;
}

static PyMethodDef methods[] = {
    {"encrypt_qq", encrypt_qq, METH_VARARGS, "encrypt_qq(key, text) -> bytes"},
    {"decrypt_qq_in_place", decrypt_qq_in_place, METH_VARARGS,
     "decrypt_qq_in_place(key, buffer) -> plaintext length"},
    {"encrypt_with", encrypt_with, METH_VARARGS, "encrypt_with(tea, text) -> bytes"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "capi_example", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

/* The method table lives in the TEA type's dictionary, as an unnamed capsule. */
static int find_tea_table(void) {
    PyObject *package = PyImport_ImportModule("qulo");
    PyObject *type = package ? PyObject_GetAttrString(package, "TEA") : NULL;
    PyObject *dict = type ? PyType_GetDict((PyTypeObject *)type) : NULL;
    PyObject *capsule = dict ? PyDict_GetItemString(dict, QULO_TEA_METHODS_ATTR) : NULL;
    if (capsule != NULL) {
        tea_table = PyCapsule_GetPointer(capsule, NULL);
    } else if (dict != NULL) {
        PyErr_SetString(PyExc_AttributeError, "qulo.TEA has no method table");
    }
    Py_XDECREF(dict);
    Py_XDECREF(type);
    Py_XDECREF(package);
    return tea_table != NULL ? 0 : -1;
}

PyMODINIT_FUNC PyInit_capi_example(void) {
    if (qulo_import_capi(&qulo) < 0 || find_tea_table() < 0) {
        return NULL; /* the Python error is set */
    }
    return PyModule_Create(&module);
}
