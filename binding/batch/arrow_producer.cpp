#include "arrow_producer.hpp"

#include "pyref.hpp"

#include <cstring>
#include <new>

namespace qulo::arrow {

namespace {

// Raw memory of `size` bytes (at least one, so that a present buffer is
// never null); null with MemoryError set.
void *raw(int64_t size, bool zeroed) {
    const auto n = static_cast<size_t>(size > 0 ? size : 1);
    void *p = zeroed ? PyMem_RawCalloc(n, 1) : PyMem_RawMalloc(n);
    if (p == nullptr) {
        PyErr_NoMemory();
    }
    return p;
}

int64_t bitmap_bytes(int64_t length) { return length / 8 + (length % 8 != 0 ? 1 : 0); }

}  // namespace

OutChunk *OutChunk::create(Format format, int64_t length) {
    // (length + 1) offsets of 8 bytes or length views of 16: the callers'
    // lengths come from arrays in memory, far below this.
    if (length < 0 || length > INT64_MAX / kViewSize - 1) {
        PyErr_NoMemory();
        return nullptr;
    }
    void *memory = PyMem_RawMalloc(sizeof(OutChunk));
    if (memory == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto *c = new (memory) OutChunk(format, length);
    const int64_t size = format == Format::binary_view ? length * kViewSize
                         : format == Format::binary    ? (length + 1) * 4
                                                       : (length + 1) * 8;
    c->index = static_cast<uint8_t *>(raw(size, true));
    if (c->index == nullptr) {
        c->drop();
        return nullptr;
    }
    return c;
}

OutChunk::~OutChunk() {
    PyMem_RawFree(validity);
    PyMem_RawFree(index);
    PyMem_RawFree(data);
    PyMem_RawFree(sizes);
    PyMem_RawFree(buffers);
}

void OutChunk::drop() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        this->~OutChunk();
        PyMem_RawFree(this);
    }
}

bool OutChunk::make_validity() {
    const int64_t bytes = bitmap_bytes(length);
    validity = static_cast<uint8_t *>(raw(bytes, false));
    if (validity != nullptr) {
        std::memset(validity, 0xFF, static_cast<size_t>(bytes));
    }
    return validity != nullptr;
}

bool OutChunk::set_null(int64_t i) {
    if (validity == nullptr && !make_validity()) {
        return false;
    }
    set_bit(validity, i, false);
    ++null_count;
    return true;
}

bool OutChunk::make_data(int64_t size) {
    data = static_cast<uint8_t *>(raw(size, false));
    data_size = size;
    return data != nullptr;
}

void OutChunk::shrink_data(int64_t size) noexcept {
    if (size < data_size) {
        // A failed shrink keeps the larger block, which serves as well.
        if (void *p = PyMem_RawRealloc(data, static_cast<size_t>(size > 0 ? size : 1))) {
            data = static_cast<uint8_t *>(p);
        }
        data_size = size;
    }
}

bool OutChunk::make_data_buffers(int64_t n) {
    if (n > INT32_MAX) {
        PyErr_NoMemory();
        return false;
    }
    sizes = static_cast<int64_t *>(raw(n * static_cast<int64_t>(sizeof *sizes), true));
    n_data = n;
    return sizes != nullptr;
}

bool OutChunk::seal() {
    const bool view = format == Format::binary_view;
    // Validity, offsets, data; or validity, views, the data buffers, their sizes.
    n_buffers = view ? 3 + n_data : 3;
    buffers = static_cast<const void **>(raw(n_buffers * static_cast<int64_t>(sizeof *buffers), true));
    if (buffers == nullptr) {
        return false;
    }
    buffers[0] = validity;
    buffers[1] = index;
    if (!view) {
        buffers[2] = data;
        return true;
    }
    int64_t start = 0;
    for (int64_t k = 0; k < n_data; ++k) {
        buffers[2 + k] = data + start;
        start += sizes[k];
    }
    buffers[n_buffers - 1] = sizes;
    return true;
}

OutChunks::~OutChunks() {
    for (Py_ssize_t c = 0; c < count_; ++c) {
        if (chunks_[c] != nullptr) {
            chunks_[c]->drop();
        }
    }
    PyMem_RawFree(chunks_);
}

bool OutChunks::allocate(Py_ssize_t n) {
    chunks_ = static_cast<OutChunk **>(raw(n * static_cast<int64_t>(sizeof *chunks_), true));
    count_ = chunks_ == nullptr ? 0 : n;
    return chunks_ != nullptr;
}

OutChunk **OutChunks::release(Py_ssize_t &count) {
    count = count_;
    count_ = 0;
    return std::exchange(chunks_, nullptr);
}

}  // namespace qulo::arrow

// ---- the C data interface's callbacks ------------------------------------------
//
// The format strings are static and a schema owns nothing else; an array
// owns one reference to its chunk; a stream one to each chunk of its column.

namespace {

using qulo::arrow::Format;
using qulo::arrow::OutChunk;

struct StreamState {
    Format format;
    int64_t count;
    int64_t next;
    OutChunk **chunks;
};

}  // namespace

extern "C" {

static void qulo_release_schema(ArrowSchema *schema) { schema->release = nullptr; }

static void qulo_release_array(ArrowArray *array) {
    static_cast<OutChunk *>(array->private_data)->drop();
    array->release = nullptr;
}

static void qulo_export_schema(Format format, ArrowSchema *out) {
    *out = ArrowSchema{qulo::arrow::format_string(format),
                       "",
                       nullptr,
                       ARROW_FLAG_NULLABLE,
                       0,
                       nullptr,
                       nullptr,
                       qulo_release_schema,
                       nullptr};
}

static void qulo_export_array(OutChunk *chunk, ArrowArray *out) {
    chunk->retain();
    *out = ArrowArray{chunk->length,
                      chunk->null_count,
                      0,
                      chunk->n_buffers,
                      0,
                      chunk->buffers,
                      nullptr,
                      nullptr,
                      qulo_release_array,
                      chunk};
}

static int qulo_stream_schema(ArrowArrayStream *stream, ArrowSchema *out) {
    qulo_export_schema(static_cast<StreamState *>(stream->private_data)->format, out);
    return 0;
}

static int qulo_stream_next(ArrowArrayStream *stream, ArrowArray *out) {
    auto *state = static_cast<StreamState *>(stream->private_data);
    if (state->next == state->count) {
        std::memset(out, 0, sizeof *out);  // released: the end
        return 0;
    }
    qulo_export_array(state->chunks[state->next++], out);
    return 0;
}

static const char *qulo_stream_error(ArrowArrayStream *) { return nullptr; }

static void qulo_release_stream(ArrowArrayStream *stream) {
    auto *state = static_cast<StreamState *>(stream->private_data);
    for (int64_t c = 0; c < state->count; ++c) {
        state->chunks[c]->drop();
    }
    PyMem_RawFree(state->chunks);
    PyMem_RawFree(state);
    stream->release = nullptr;
}

// A capsule that still holds an unreleased struct when it goes releases it:
// a consumer that moved the struct out has marked it released.
static void qulo_free_schema_capsule(PyObject *capsule) {
    auto *s = static_cast<ArrowSchema *>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (s != nullptr && s->release != nullptr) {
        s->release(s);
    }
    PyMem_Free(s);
}

static void qulo_free_array_capsule(PyObject *capsule) {
    auto *a = static_cast<ArrowArray *>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (a != nullptr && a->release != nullptr) {
        a->release(a);
    }
    PyMem_Free(a);
}

static void qulo_free_stream_capsule(PyObject *capsule) {
    auto *s = static_cast<ArrowArrayStream *>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (s != nullptr && s->release != nullptr) {
        s->release(s);
    }
    PyMem_Free(s);
}

}  // extern "C"

// ---- the Python type ----------------------------------------------------------------

namespace qulo {
namespace {

using arrow::OutChunks;

struct ColumnObject {
    PyObject_HEAD
    Format format;
    Py_ssize_t count;
    Py_ssize_t length;
    OutChunk **chunks;
};

// The type, created once: one interpreter per process (interpreters.hpp),
// and the module holding it lives as long as the process.
PyTypeObject *column_type = nullptr;

ColumnObject *as_column(PyObject *self) { return reinterpret_cast<ColumnObject *>(self); }

void column_dealloc(PyObject *self) {
    ColumnObject *c = as_column(self);
    for (Py_ssize_t k = 0; k < c->count; ++k) {
        c->chunks[k]->drop();
    }
    PyMem_RawFree(c->chunks);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t column_len(PyObject *self) { return as_column(self)->length; }

PyObject *column_repr(PyObject *self) {
    ColumnObject *c = as_column(self);
    static const char *const names[] = {"binary", "large_binary", "binary_view"};
    return PyUnicode_FromFormat("<qulo ArrowColumn of %zd %s values in %zd chunks>", c->length,
                                names[static_cast<int>(c->format)], c->count);
}

// A capsule holding a struct of the interpreter's memory that `fill`
// initialises; null with an exception set.
template <class Struct, class Fill>
PyObject *capsule_of(const char *name, PyCapsule_Destructor destructor, Fill fill) {
    auto *s = static_cast<Struct *>(PyMem_Malloc(sizeof(Struct)));
    if (s == nullptr) {
        return PyErr_NoMemory();
    }
    std::memset(s, 0, sizeof *s);  // released until filled
    PyObject *capsule = PyCapsule_New(s, name, destructor);
    if (capsule == nullptr) {
        PyMem_Free(s);
        return nullptr;
    }
    if (!fill(s)) {
        Py_DECREF(capsule);
        return nullptr;
    }
    return capsule;
}

PyObject *schema_capsule(Format format) {
    return capsule_of<ArrowSchema>("arrow_schema", qulo_free_schema_capsule, [format](ArrowSchema *s) {
        qulo_export_schema(format, s);
        return true;
    });
}

// The requested schema, which consumers may pass, is not acted on: the
// column has one layout, and a consumer checks what it gets.
PyObject *column_schema(PyObject *self, PyObject *) { return schema_capsule(as_column(self)->format); }

PyObject *column_array(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"requested_schema", nullptr};
    PyObject *requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__",
                                     const_cast<char **>(keywords), &requested)) {
        return nullptr;
    }
    ColumnObject *c = as_column(self);
    if (c->count != 1) {
        return PyErr_Format(PyExc_TypeError,
                            "a column of %zd chunks is no single array: read it through "
                            "__arrow_c_stream__",
                            c->count);
    }
    Ref schema = Ref::steal(schema_capsule(c->format));
    if (!schema) {
        return nullptr;
    }
    Ref array = Ref::steal(capsule_of<ArrowArray>(
        "arrow_array", qulo_free_array_capsule, [c](ArrowArray *a) {
            qulo_export_array(c->chunks[0], a);
            return true;
        }));
    if (!array) {
        return nullptr;
    }
    return PyTuple_Pack(2, schema.get(), array.get());
}

PyObject *column_stream(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"requested_schema", nullptr};
    PyObject *requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                     const_cast<char **>(keywords), &requested)) {
        return nullptr;
    }
    ColumnObject *c = as_column(self);
    return capsule_of<ArrowArrayStream>(
        "arrow_array_stream", qulo_free_stream_capsule, [c](ArrowArrayStream *s) {
            auto *state = static_cast<StreamState *>(PyMem_RawMalloc(sizeof(StreamState)));
            auto **chunks = static_cast<OutChunk **>(
                PyMem_RawMalloc(static_cast<size_t>(c->count > 0 ? c->count : 1) * sizeof(OutChunk *)));
            if (state == nullptr || chunks == nullptr) {
                PyMem_RawFree(state);
                PyMem_RawFree(chunks);
                PyErr_NoMemory();
                return false;
            }
            for (Py_ssize_t k = 0; k < c->count; ++k) {
                c->chunks[k]->retain();
                chunks[k] = c->chunks[k];
            }
            *state = StreamState{c->format, c->count, 0, chunks};
            *s = ArrowArrayStream{qulo_stream_schema, qulo_stream_next, qulo_stream_error,
                                  qulo_release_stream, state};
            return true;
        });
}

PyMethodDef column_methods[] = {
    {"__arrow_c_schema__", column_schema, METH_NOARGS,
     "__arrow_c_schema__() -> PyCapsule\n\nThe column's type as an Arrow schema capsule."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__(requested_schema=None) -> tuple[PyCapsule, PyCapsule]\n\n"
     "The column as one Arrow array (a column of one chunk only)."},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None) -> PyCapsule\n\n"
     "The column as an Arrow array stream of its chunks."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot column_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "A binary, large_binary or binary_view column made by encrypt_many or "
                    "decrypt_many, for any Arrow library to import (pyarrow.array, "
                    "pyarrow.chunked_array, polars.Series, ...).")},
    {Py_tp_dealloc, reinterpret_cast<void *>(column_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(column_repr)},
    {Py_tp_methods, column_methods},
    {Py_sq_length, reinterpret_cast<void *>(column_len)},
    {0, nullptr},
};

PyType_Spec column_spec = {
    "qulo._batch.ArrowColumn",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    column_slots,
};

}  // namespace

bool add_arrow_column_type(PyObject *module) {
    if (column_type == nullptr) {
        column_type = reinterpret_cast<PyTypeObject *>(
            PyType_FromModuleAndSpec(module, &column_spec, nullptr));
        if (column_type == nullptr) {
            return false;
        }
    }
    return PyModule_AddObjectRef(module, "ArrowColumn",
                                 reinterpret_cast<PyObject *>(column_type)) == 0;
}

PyObject *new_arrow_column(Format format, OutChunks &chunks) {
    auto *c = PyObject_New(ColumnObject, column_type);
    if (c == nullptr) {
        return nullptr;  // the chunks go with `chunks`
    }
    c->format = format;
    c->chunks = chunks.release(c->count);
    c->length = 0;
    for (Py_ssize_t k = 0; k < c->count; ++k) {
        c->length += static_cast<Py_ssize_t>(c->chunks[k]->length);
    }
    return reinterpret_cast<PyObject *>(c);
}

}  // namespace qulo
