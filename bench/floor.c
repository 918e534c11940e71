/*
 * Test-only extension for the Python benchmark. Never installed.
 *
 * floor(buf), Floor().floor(buf)
 *     The least a cipher method can cost: one buffer argument taken with the
 *     methods' request flags through the fast calling convention with
 *     keywords, the interpreter lock released and retaken once, and a new
 *     16-byte bytes object returned.
 *
 * Floor().floor_core(buf)
 *     The floor with the cipher work of encrypt_qq done inside it: the least
 *     any binding of encrypt_qq can cost, to set the method against.
 *
 * core_loop(op, key, sumtable, src, out, reps, label=None) -> (ns, result)
 *     The cipher core alone: one entry point, fetched from qulo's capsules,
 *     called reps times in C with the lock released, so that no Python cost
 *     is left in the figure.
 *
 * set_clock(cpu)
 *     Time the loops by the calling thread's CPU time (the default) or, with
 *     cpu false, by the monotonic wall clock.
 *
 * call_n(callable, args, n, label=None) -> ns
 *     callable(*args) n times through vectorcall; the loop is the one
 *     function that callgrind counts (--toggle-collect), and each labelled
 *     run ends with a dump of its own.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>
#include <time.h>

#include "qulo/tea.h"

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define HAVE_CALLGRIND 1
#endif
#endif
#ifndef HAVE_CALLGRIND
#define HAVE_CALLGRIND 0
#endif

/* Entry points in the order of the op argument of core_loop. */
enum { OP_ENCRYPT_QQ, OP_DECRYPT_QQ, OP_ENCRYPT, OP_DECRYPT, OP_ENCRYPT_NATIVE,
       OP_DECRYPT_NATIVE, OP_COUNT };

static const char *const capsule_names[OP_COUNT] = {
    "qulo.qulo_encrypt_qq",  "qulo.qulo_decrypt_qq",
    "qulo.qulo_encrypt",     "qulo.qulo_decrypt",
    "qulo.qulo_encrypt_native_endian", "qulo.qulo_decrypt_native_endian",
};

static void *entry_points[OP_COUNT];

/* The clock of core_loop and call_n: the calling thread's CPU time (what
 * the loop itself used, whatever else runs on the machine), or wall time. */
static clockid_t timing_clock = CLOCK_THREAD_CPUTIME_ID;

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(timing_clock, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void dump_stats(const char *label) {
#if HAVE_CALLGRIND
    if (label != NULL) {
        CALLGRIND_DUMP_STATS_AT(label);
    }
#else
    (void)label;
#endif
}

/* ---- the floor ---------------------------------------------------------- */

/* The floor, and with `with_core` the cipher work of encrypt_qq inside it:
 * a new bytes object of the ciphertext length that one entry point call
 * fills while the lock is released. */
static PyObject *floor_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                            int with_core) {
    if (nargs != 1 || (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "floor() takes exactly one positional argument");
        return NULL;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        return NULL;
    }
    static const qulo_key key = {0x01234567, 0x89abcdef, 0xfedcba98, 0x76543210};
    const Py_ssize_t size = with_core ? view.len + (7 - (view.len + 1) % 8) + 10 : 16;
    PyObject *result = PyBytes_FromStringAndSize(NULL, size);
    if (result != NULL) {
        uint8_t *data = (uint8_t *)PyBytes_AS_STRING(result);
        Py_BEGIN_ALLOW_THREADS
        if (with_core) {
            ((qulo_qq_fn)entry_points[OP_ENCRYPT_QQ])(&key, (const uint8_t *)view.buf, view.len,
                                                      data, size);
        } else {
            memset(data, 0, 16);
        }
        Py_END_ALLOW_THREADS
    }
    PyBuffer_Release(&view);
    return result;
}

static PyObject *floor_impl(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    (void)self;
    return floor_call(args, nargs, kwnames, 0);
}

static PyObject *floor_core_impl(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) {
    (void)self;
    return floor_call(args, nargs, kwnames, 1);
}

/* ---- the core alone ------------------------------------------------------ */

static qulo_key key_from_bytes(const uint8_t *b) {
    qulo_key k;
    uint32_t w[4];
    for (int i = 0; i < 4; ++i) {
        w[i] = (uint32_t)b[4 * i] << 24 | (uint32_t)b[4 * i + 1] << 16 |
               (uint32_t)b[4 * i + 2] << 8 | (uint32_t)b[4 * i + 3];
    }
    k.k0 = w[0];
    k.k1 = w[1];
    k.k2 = w[2];
    k.k3 = w[3];
    return k;
}

struct core_job {
    int op;
    const qulo_key *key;
    const uint8_t *sums;
    const uint8_t *src;
    int64_t src_len;
    uint8_t *out;
    int64_t capacity;
    Py_ssize_t reps;
};

__attribute__((noinline)) int64_t qulo_bench_core_calls(const struct core_job *j) {
    int64_t r = 0;
    if (j->op == OP_ENCRYPT_QQ || j->op == OP_DECRYPT_QQ) {
        qulo_qq_fn fn = (qulo_qq_fn)entry_points[j->op];
        for (Py_ssize_t i = 0; i < j->reps; ++i) {
            r = fn(j->key, j->src, j->src_len, j->out, j->capacity);
        }
    } else {
        qulo_table_fn fn = (qulo_table_fn)entry_points[j->op];
        for (Py_ssize_t i = 0; i < j->reps; ++i) {
            r = fn(j->key, j->sums, j->src, j->src_len, j->out, j->capacity);
        }
    }
    return r;
}

static PyObject *core_loop(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    static char *kwlist[] = {"op", "key", "sumtable", "src", "out", "reps", "label", NULL};
    int op;
    Py_buffer key, sums, src, out;
    Py_ssize_t reps;
    const char *label = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iy*z*y*w*n|z", kwlist, &op, &key, &sums,
                                     &src, &out, &reps, &label)) {
        return NULL;
    }
    PyObject *result = NULL;
    if (op < 0 || op >= OP_COUNT) {
        PyErr_SetString(PyExc_ValueError, "op out of range");
    } else if (key.len != 16 || (op >= OP_ENCRYPT && sums.len < 64)) {
        PyErr_SetString(PyExc_ValueError, "key must be 16 bytes, sum table 64");
    } else {
        const qulo_key k = key_from_bytes((const uint8_t *)key.buf);
        struct core_job job = {op, &k, (const uint8_t *)sums.buf, (const uint8_t *)src.buf,
                               (int64_t)src.len, (uint8_t *)out.buf, (int64_t)out.len, reps};
        int64_t r, start, stop;
        Py_BEGIN_ALLOW_THREADS
        start = now_ns();
        r = qulo_bench_core_calls(&job);
        stop = now_ns();
        Py_END_ALLOW_THREADS
        dump_stats(label);
        if (r < 0) {
            PyErr_SetString(PyExc_ValueError, "the entry point refused its input");
        } else {
            result = Py_BuildValue("(LL)", (long long)(stop - start), (long long)r);
        }
    }
    PyBuffer_Release(&key);
    PyBuffer_Release(&sums);
    PyBuffer_Release(&src);
    PyBuffer_Release(&out);
    return result;
}

/* ---- calls without the interpreter loop ------------------------------- */

__attribute__((noinline)) int qulo_bench_measured_calls(PyObject *callable,
                                                         PyObject *const *argv, size_t argc,
                                                         Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *r = PyObject_Vectorcall(callable, argv, argc, NULL);
        if (r == NULL) {
            return -1;
        }
        Py_DECREF(r);
    }
    return 0;
}

static PyObject *call_n(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    static char *kwlist[] = {"callable", "args", "n", "label", NULL};
    PyObject *callable, *tuple;
    Py_ssize_t n;
    const char *label = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!n|z", kwlist, &callable, &PyTuple_Type,
                                     &tuple, &n, &label)) {
        return NULL;
    }
    const int64_t start = now_ns();
    const int failed = qulo_bench_measured_calls(callable, &PyTuple_GET_ITEM(tuple, 0),
                                                 (size_t)PyTuple_GET_SIZE(tuple), n);
    const int64_t stop = now_ns();
    dump_stats(label);
    if (failed) {
        return NULL;
    }
    return PyLong_FromLongLong((long long)(stop - start));
}

static PyObject *set_clock(PyObject *self, PyObject *cpu) {
    (void)self;
    const int flag = PyObject_IsTrue(cpu);
    if (flag < 0) {
        return NULL;
    }
    timing_clock = flag ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
    Py_RETURN_NONE;
}

/* ---- module ------------------------------------------------------------- */

static PyMethodDef floor_type_methods[] = {
    {"floor", (PyCFunction)(void (*)(void))floor_impl, METH_FASTCALL | METH_KEYWORDS,
     "floor(buf) -> bytes: the trivial method"},
    {"floor_core", (PyCFunction)(void (*)(void))floor_core_impl, METH_FASTCALL | METH_KEYWORDS,
     "floor_core(buf) -> bytes: the floor doing the work of encrypt_qq"},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_type_slots[] = {
    {Py_tp_methods, floor_type_methods},
    {0, NULL},
};

static PyType_Spec floor_type_spec = {
    "floor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    floor_type_slots,
};

static PyMethodDef module_methods[] = {
    {"floor", (PyCFunction)(void (*)(void))floor_impl, METH_FASTCALL | METH_KEYWORDS,
     "floor(buf) -> bytes: the trivial function"},
    {"core_loop", (PyCFunction)(void (*)(void))core_loop, METH_VARARGS | METH_KEYWORDS,
     "core_loop(op, key, sumtable, src, out, reps, label=None) -> (ns, result)"},
    {"set_clock", set_clock, METH_O, "set_clock(cpu): thread CPU time or wall time"},
    {"call_n", (PyCFunction)(void (*)(void))call_n, METH_VARARGS | METH_KEYWORDS,
     "call_n(callable, args, n, label=None) -> ns"},
    {NULL, NULL, 0, NULL},
};

static int floor_exec(PyObject *module) {
    for (int i = 0; i < OP_COUNT; ++i) {
        entry_points[i] = PyCapsule_Import(capsule_names[i], 0);
        if (entry_points[i] == NULL) {
            return -1;
        }
    }
    PyObject *type = PyType_FromModuleAndSpec(module, &floor_type_spec, NULL);
    if (type == NULL) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "Floor", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    Py_DECREF(type);
    return PyModule_AddIntConstant(module, "HAVE_CALLGRIND", HAVE_CALLGRIND);
}

static PyModuleDef_Slot floor_slots[] = {
    {Py_mod_exec, floor_exec},
    {0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "floor", "qulo benchmark helpers (test-only)", 0, module_methods,
    floor_slots, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_floor(void) { return PyModuleDef_Init(&floor_module); }
