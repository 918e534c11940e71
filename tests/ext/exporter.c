/*
 * Test-only buffer exporter: hands out exactly the buffer description it
 * was built with (format, item size, dimensions, shape, strides,
 * suboffsets), so that the tests can present layouts no built-in object
 * produces. The request flags are ignored, except that a writable request
 * on a read-only exporter is refused.
 *
 * Each object counts its live exports (`exports`) and, when given a `log`
 * list, appends its `label` to it on every release, so that tests can see
 * that and in which order buffers are given back.
 *
 * `length`, when given, is handed out as the buffer's len whatever the
 * shape says: an exporter that breaks the protocol, claiming more (or
 * fewer) items than it gives bytes, or a negative number of them.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

typedef struct {
    PyObject_HEAD
    char *data;
    Py_ssize_t size;
    char *format; /* NULL: no format handed out */
    Py_ssize_t itemsize;
    int ndim;
    Py_ssize_t *shape; /* NULL or ndim entries (at least one allocated) */
    Py_ssize_t *strides;
    Py_ssize_t *suboffsets;
    int readonly;
    int has_length; /* 0: len follows from shape and item size */
    Py_ssize_t length;
    Py_ssize_t exports;
    PyObject *log;   /* list or NULL */
    PyObject *label; /* any object, appended to log on release */
} Exporter;

static void free_fields(Exporter *self) {
    PyMem_Free(self->data);
    PyMem_Free(self->format);
    PyMem_Free(self->shape);
    PyMem_Free(self->strides);
    PyMem_Free(self->suboffsets);
    self->data = NULL;
    self->format = NULL;
    self->shape = self->strides = self->suboffsets = NULL;
}

/* A tuple of ints as a fresh array; None gives NULL with no error. */
static int read_sizes(PyObject *obj, const char *what, Py_ssize_t **out) {
    *out = NULL;
    if (obj == Py_None) {
        return 0;
    }
    if (!PyTuple_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple or None", what);
        return -1;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(obj);
    Py_ssize_t *a = PyMem_Calloc((size_t)(n > 0 ? n : 1), sizeof(Py_ssize_t));
    if (a == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        a[i] = PyLong_AsSsize_t(PyTuple_GET_ITEM(obj, i));
        if (a[i] == -1 && PyErr_Occurred()) {
            PyMem_Free(a);
            return -1;
        }
    }
    *out = a;
    return 0;
}

static PyObject *exporter_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {"data", "format", "itemsize", "ndim", "shape", "strides",
                             "suboffsets", "readonly", "log", "label", "length", NULL};
    Py_buffer data;
    PyObject *format = Py_None, *shape = Py_None, *strides = Py_None, *suboffsets = Py_None;
    PyObject *log = Py_None, *label = Py_None, *length = Py_None;
    Py_ssize_t itemsize = 1;
    int ndim = 1, readonly = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "y*|OniOOOpOOO", kwlist, &data, &format,
                                     &itemsize, &ndim, &shape, &strides, &suboffsets,
                                     &readonly, &log, &label, &length)) {
        return NULL;
    }
    Exporter *self = (Exporter *)type->tp_alloc(type, 0);
    if (self == NULL) {
        PyBuffer_Release(&data);
        return NULL;
    }
    self->size = data.len;
    self->data = PyMem_Malloc((size_t)(data.len > 0 ? data.len : 1));
    if (self->data == NULL) {
        PyBuffer_Release(&data);
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    memcpy(self->data, data.buf, (size_t)data.len);
    PyBuffer_Release(&data);

    if (format != Py_None) {
        Py_ssize_t n;
        const char *s = PyUnicode_AsUTF8AndSize(format, &n);
        if (s == NULL) {
            Py_DECREF(self);
            return NULL;
        }
        self->format = PyMem_Malloc((size_t)n + 1);
        if (self->format == NULL) {
            Py_DECREF(self);
            return PyErr_NoMemory();
        }
        memcpy(self->format, s, (size_t)n + 1);
    }
    if (read_sizes(shape, "shape", &self->shape) < 0 ||
        read_sizes(strides, "strides", &self->strides) < 0 ||
        read_sizes(suboffsets, "suboffsets", &self->suboffsets) < 0) {
        Py_DECREF(self);
        return NULL;
    }
    if (log != Py_None && !PyList_Check(log)) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_TypeError, "log must be a list or None");
        return NULL;
    }
    if (length != Py_None) {
        self->has_length = 1;
        self->length = PyLong_AsSsize_t(length);
        if (self->length == -1 && PyErr_Occurred()) {
            Py_DECREF(self);
            return NULL;
        }
    }
    self->itemsize = itemsize;
    self->ndim = ndim;
    self->readonly = readonly;
    self->log = log == Py_None ? NULL : Py_NewRef(log);
    self->label = Py_NewRef(label);
    return (PyObject *)self;
}

static void exporter_dealloc(Exporter *self) {
    free_fields(self);
    Py_CLEAR(self->log);
    Py_CLEAR(self->label);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free((PyObject *)self);
    Py_DECREF(type);
}

static int exporter_getbuffer(Exporter *self, Py_buffer *view, int flags) {
    if ((flags & PyBUF_WRITABLE) && self->readonly) {
        view->obj = NULL;
        PyErr_SetString(PyExc_BufferError, "Exporter is read-only");
        return -1;
    }
    Py_ssize_t len = self->size;
    if (self->shape != NULL) {
        len = self->itemsize;
        for (int i = 0; i < self->ndim; ++i) {
            len *= self->shape[i];
        }
    }
    if (self->has_length) {
        len = self->length;
    }
    view->obj = Py_NewRef(self);
    view->buf = self->data;
    view->len = len;
    view->readonly = self->readonly;
    view->itemsize = self->itemsize;
    view->format = self->format;
    view->ndim = self->ndim;
    view->shape = self->shape;
    view->strides = self->strides;
    view->suboffsets = self->suboffsets;
    view->internal = NULL;
    ++self->exports;
    return 0;
}

static void exporter_releasebuffer(Exporter *self, Py_buffer *view) {
    (void)view;
    --self->exports;
    if (self->log != NULL) {
        /* Release cannot fail; a failed append is reported, not raised. */
        PyObject *exc = PyErr_GetRaisedException();
        if (PyList_Append(self->log, self->label) < 0) {
            PyErr_WriteUnraisable((PyObject *)self);
        }
        PyErr_SetRaisedException(exc);
    }
}

static PyObject *exporter_get_exports(Exporter *self, void *closure) {
    (void)closure;
    return PyLong_FromSsize_t(self->exports);
}

static PyObject *exporter_get_data(Exporter *self, void *closure) {
    (void)closure;
    return PyBytes_FromStringAndSize(self->data, self->size);
}

static PyGetSetDef exporter_getset[] = {
    {"exports", (getter)exporter_get_exports, NULL, "number of live exports", NULL},
    {"data", (getter)exporter_get_data, NULL, "a copy of the exported bytes", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyType_Slot exporter_slots[] = {
    {Py_tp_new, exporter_new},
    {Py_tp_dealloc, exporter_dealloc},
    {Py_tp_getset, exporter_getset},
    {Py_bf_getbuffer, exporter_getbuffer},
    {Py_bf_releasebuffer, exporter_releasebuffer},
    {0, NULL},
};

static PyType_Spec exporter_spec = {
    "exporter.Exporter",
    sizeof(Exporter),
    0,
    Py_TPFLAGS_DEFAULT,
    exporter_slots,
};

static int exporter_exec(PyObject *module) {
    PyObject *type = PyType_FromModuleAndSpec(module, &exporter_spec, NULL);
    if (type == NULL) {
        return -1;
    }
    int rc = PyModule_AddObjectRef(module, "Exporter", type);
    Py_DECREF(type);
    return rc;
}

static PyModuleDef_Slot exporter_module_slots[] = {
    {Py_mod_exec, exporter_exec},
    {0, NULL},
};

static struct PyModuleDef exporter_module = {
    PyModuleDef_HEAD_INIT,
    "exporter",
    "Test-only exporter of arbitrary buffer descriptions.",
    0,
    NULL,
    exporter_module_slots,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_exporter(void) { return PyModuleDef_Init(&exporter_module); }
