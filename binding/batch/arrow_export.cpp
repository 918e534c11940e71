#include "arrow_export.hpp"

#include <cstring>

// ---- the C data interface's callbacks ------------------------------------------
//
// The format strings are static and a schema owns nothing else; an array
// owns one reference to its chunk; a stream one to each chunk of its column.

namespace {

using qulo::arrow::ColumnType;
using qulo::arrow::OutChunk;

struct StreamState {
    ColumnType type;
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

static void qulo_export_schema(ColumnType type, ArrowSchema *out) {
    *out = ArrowSchema{qulo::arrow::format_string(type),
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
    qulo_export_schema(static_cast<StreamState *>(stream->private_data)->type, out);
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

namespace qulo::arrow {
namespace {

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

}  // namespace

PyObject *schema_capsule(ColumnType type) {
    return capsule_of<ArrowSchema>("arrow_schema", qulo_free_schema_capsule, [type](ArrowSchema *s) {
        qulo_export_schema(type, s);
        return true;
    });
}

PyObject *array_capsule(OutChunk *chunk) {
    return capsule_of<ArrowArray>("arrow_array", qulo_free_array_capsule, [chunk](ArrowArray *a) {
        qulo_export_array(chunk, a);
        return true;
    });
}

PyObject *stream_capsule(ColumnType type, OutChunk *const *chunks, Py_ssize_t count) {
    return capsule_of<ArrowArrayStream>(
        "arrow_array_stream", qulo_free_stream_capsule, [=](ArrowArrayStream *s) {
            auto *state = static_cast<StreamState *>(PyMem_RawMalloc(sizeof(StreamState)));
            auto **held = static_cast<OutChunk **>(
                PyMem_RawMalloc(static_cast<size_t>(count > 0 ? count : 1) * sizeof(OutChunk *)));
            if (state == nullptr || held == nullptr) {
                PyMem_RawFree(state);
                PyMem_RawFree(held);
                PyErr_NoMemory();
                return false;
            }
            for (Py_ssize_t k = 0; k < count; ++k) {
                chunks[k]->retain();
                held[k] = chunks[k];
            }
            *state = StreamState{type, count, 0, held};
            *s = ArrowArrayStream{qulo_stream_schema, qulo_stream_next, qulo_stream_error,
                                  qulo_release_stream, state};
            return true;
        });
}

}  // namespace qulo::arrow
