#include "arrow_column.hpp"

#include "arrow_export.hpp"
#include "batch_engine.hpp"
#include "pyref.hpp"

namespace qulo {
namespace {

using arrow::ColumnType;
using arrow::Format;
using arrow::OutChunk;
using arrow::OutChunks;

struct ColumnObject {
    PyObject_HEAD
    ColumnType type;
    Py_ssize_t count;
    Py_ssize_t length;
    OutChunk **chunks;
    OutChunk *whole;  // the chunks as one, made when first asked for; or null
};

ColumnObject *as_column(PyObject *self) { return reinterpret_cast<ColumnObject *>(self); }

void column_dealloc(PyObject *self) {
    ColumnObject *c = as_column(self);
    for (Py_ssize_t k = 0; k < c->count; ++k) {
        c->chunks[k]->drop();
    }
    if (c->whole != nullptr) {
        c->whole->drop();
    }
    PyMem_RawFree(c->chunks);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t column_len(PyObject *self) { return as_column(self)->length; }

const char *type_name(ColumnType t) {
    static const char *const names[2][3] = {{"binary", "large_binary", "binary_view"},
                                            {"string", "large_string", "string_view"}};
    return names[t.text ? 1 : 0][static_cast<int>(t.format)];
}

PyObject *column_repr(PyObject *self) {
    ColumnObject *c = as_column(self);
    return PyUnicode_FromFormat("<qulo ArrowColumn of %zd %s values in %zd chunk%s>", c->length,
                                type_name(c->type), c->count, c->count == 1 ? "" : "s");
}

// A value as Python has it: str for text (valid UTF-8: decrypted text is
// checked), bytes otherwise.
PyObject *value_object(const ColumnObject *c, arrow::Span v) {
    const auto *data = reinterpret_cast<const char *>(v.data);
    return c->type.text ? PyUnicode_DecodeUTF8(data, v.size, "strict")
                        : PyBytes_FromStringAndSize(data, v.size);
}

// Element i of the column (0 <= i < length), or None for a null.
PyObject *element(ColumnObject *c, Py_ssize_t i) {
    Py_ssize_t k = 0;
    while (i >= c->chunks[k]->length) {
        i -= static_cast<Py_ssize_t>(c->chunks[k++]->length);
    }
    const OutChunk &chunk = *c->chunks[k];
    if (chunk.is_null(i)) {
        Py_RETURN_NONE;
    }
    return value_object(c, chunk.value(i));
}

PyObject *column_item(PyObject *self, Py_ssize_t i) {
    ColumnObject *c = as_column(self);
    if (i < 0 || i >= c->length) {
        PyErr_SetString(PyExc_IndexError, "ArrowColumn index out of range");
        return nullptr;
    }
    return element(c, i);
}

PyObject *column_to_pylist(PyObject *self, PyObject *) {
    ColumnObject *c = as_column(self);
    Ref list = Ref::steal(PyList_New(c->length));
    if (!list) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (Py_ssize_t k = 0; k < c->count; ++k) {
        const OutChunk &chunk = *c->chunks[k];
        for (int64_t e = 0; e < chunk.length; ++e) {
            PyObject *item = Py_None;
            if (!chunk.is_null(e)) {
                item = value_object(c, chunk.value(e));
                if (item == nullptr) {
                    return nullptr;  // the list's remaining items are null, which it takes
                }
            } else {
                Py_INCREF(item);
            }
            PyList_SET_ITEM(list.get(), i++, item);
        }
    }
    return list.release();
}

// The requested schema, which consumers may pass, is not acted on: the
// column has one layout, and a consumer checks what it gets.
PyObject *column_schema(PyObject *self, PyObject *) {
    return arrow::schema_capsule(as_column(self)->type);
}

// The column as one array: its one chunk, or its chunks copied into one,
// made once. Consumers that take both interfaces (polars among them) ask
// for an array first, whatever the chunk count.
PyObject *column_array(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"requested_schema", nullptr};
    PyObject *requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__",
                                     const_cast<char **>(keywords), &requested)) {
        return nullptr;
    }
    ColumnObject *c = as_column(self);
    OutChunk *one = c->count == 1 ? c->chunks[0] : c->whole;
    if (one == nullptr) {
        one = c->whole = OutChunk::concatenate(c->type.format, c->chunks, c->count);
        if (one == nullptr) {
            return nullptr;
        }
    }
    Ref schema = Ref::steal(arrow::schema_capsule(c->type));
    Ref array = schema ? Ref::steal(arrow::array_capsule(one)) : Ref();
    return array ? PyTuple_Pack(2, schema.get(), array.get()) : nullptr;
}

PyObject *column_stream(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"requested_schema", nullptr};
    PyObject *requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                     const_cast<char **>(keywords), &requested)) {
        return nullptr;
    }
    ColumnObject *c = as_column(self);
    return arrow::stream_capsule(c->type, c->chunks, c->count);
}

PyMethodDef column_methods[] = {
    {"__arrow_c_schema__", column_schema, METH_NOARGS,
     "__arrow_c_schema__() -> PyCapsule\n\nThe column's type as an Arrow schema capsule."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__(requested_schema=None) -> tuple[PyCapsule, PyCapsule]\n\n"
     "The column as one Arrow array (its chunks copied into one when it has several)."},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None) -> PyCapsule\n\n"
     "The column as an Arrow array stream of its chunks."},
    {"to_pylist", column_to_pylist, METH_NOARGS,
     "to_pylist() -> list[bytes | str | None]\n\nThe values as bytes (str in a text column), "
     "nulls as None."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot column_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "A binary or text column (of any width) made by encrypt_many or "
                    "decrypt_many, for any Arrow library to import (pyarrow.array, "
                    "pyarrow.chunked_array, polars.Series, ...); len(), indexing and "
                    "to_pylist() read its values as bytes (str in a text column) and None.")},
    {Py_tp_dealloc, reinterpret_cast<void *>(column_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(column_repr)},
    {Py_tp_methods, column_methods},
    {Py_sq_length, reinterpret_cast<void *>(column_len)},
    {Py_sq_item, reinterpret_cast<void *>(column_item)},
    {0, nullptr},
};

PyType_Spec column_spec = {
    "qulo._batch.ArrowColumn",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_SEQUENCE,
    column_slots,
};

}  // namespace

PyTypeObject *make_arrow_column_type(PyObject *module) {
    return reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(module, &column_spec, nullptr));
}

PyObject *new_arrow_column(PyObject *module, ColumnType type, OutChunks &chunks) {
    auto *c = PyObject_New(ColumnObject, batch::batch_state(module).column_type);
    if (c == nullptr) {
        return nullptr;  // the chunks go with `chunks`
    }
    c->type = type;
    c->chunks = chunks.release(c->count);
    c->whole = nullptr;
    c->length = 0;
    for (Py_ssize_t k = 0; k < c->count; ++k) {
        c->length += static_cast<Py_ssize_t>(c->chunks[k]->length);
    }
    return reinterpret_cast<PyObject *>(c);
}

}  // namespace qulo
