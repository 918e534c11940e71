#include "arrow_reader.hpp"

#include "pyref.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

namespace qulo::arrow {

namespace {

// The struct a capsule of the interface holds, when it is one of that name
// and not yet taken; null with TypeError or ValueError set.
template <class Struct>
Struct *capsule_struct(PyObject *capsule, const char *name, const char *from) {
    if (!PyCapsule_IsValid(capsule, name)) {
        PyErr_Format(PyExc_TypeError, "%s must give a PyCapsule named \"%s\", not %.200s", from,
                     name, Py_TYPE(capsule)->tp_name);
        return nullptr;
    }
    auto *s = static_cast<Struct *>(PyCapsule_GetPointer(capsule, name));
    if (s != nullptr && s->release == nullptr) {
        PyErr_Format(PyExc_ValueError, "%s gave a \"%s\" capsule already released", from, name);
        return nullptr;
    }
    return s;
}

}  // namespace

bool ImportedColumn::read(PyObject *producer) {
    PyObject *method = nullptr;
    const bool stream = PyObject_GetOptionalAttrString(producer, "__arrow_c_stream__", &method) > 0;
    if (!stream && (PyErr_Occurred() ||
                    PyObject_GetOptionalAttrString(producer, "__arrow_c_array__", &method) <= 0)) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError,
                         "an Arrow column needs __arrow_c_stream__ or __arrow_c_array__; "
                         "%.200s has neither",
                         Py_TYPE(producer)->tp_name);
        }
        return false;
    }
    Ref bound = Ref::steal(method);
    Ref result = Ref::steal(PyObject_CallNoArgs(bound.get()));
    if (!result) {
        return false;  // the producer's own exception
    }
    return stream ? read_stream(result.get()) : read_array(result.get());
}

bool ImportedColumn::take_schema(ArrowSchema *source) {
    schema_.take(source);
    ColumnType type;
    const TypeRefusal refusal = read_type(*schema_, type);
    format = type.format;
    text = type.text;
    const char *f = schema_->format == nullptr ? "(none)" : schema_->format;
    switch (refusal) {
    case TypeRefusal::none:
        return true;
    case TypeRefusal::table:
        PyErr_SetString(PyExc_TypeError,
                        "an Arrow table or record batch (format '+s') holds several columns, not "
                        "one: use qulo.encrypt_columns or qulo.decrypt_columns with the names "
                        "of the columns to change, or pass one column");
        return false;
    case TypeRefusal::dictionary:
        PyErr_Format(PyExc_TypeError,
                     "a dictionary-encoded column (indices of format '%.50s') cannot be taken: "
                     "decode it to its binary or string values first (pyarrow: "
                     "column.dictionary_decode(); polars: .cast(pl.Binary))",
                     f);
        return false;
    case TypeRefusal::fixed_size:
        PyErr_Format(PyExc_TypeError,
                     "a fixed_size_binary column (format '%.50s') cannot be taken: cast it to "
                     "binary first (pyarrow: column.cast(pa.binary()))",
                     f);
        return false;
    case TypeRefusal::other:
        break;
    }
    PyErr_Format(PyExc_TypeError,
                 "an Arrow column of binary, large_binary or binary_view (or string, "
                 "large_string, string_view) is needed, not format '%.50s'",
                 f);
    return false;
}

bool ImportedColumn::add(ArrowArray *source) {
    if (count_ == capacity_) {
        const Py_ssize_t grown = capacity_ < 4 ? 4 : capacity_ * 2;
        OwnedArray<Entry> next;
        if (!next.allocate(grown)) {
            return false;
        }
        for (Py_ssize_t c = 0; c < count_; ++c) {
            next[c] = std::move(entries_[c]);
        }
        entries_ = std::move(next);
        capacity_ = grown;
    }
    Entry &e = entries_[count_];
    e.array.take(source);
    ++count_;  // owned from here, whatever follows
    if (const char *bad = describe(format, *e.array, e.chunk)) {
        PyErr_Format(PyExc_ValueError, "malformed Arrow array (chunk %zd): %s", count_ - 1, bad);
        return false;
    }
    // Every element has a slot in the call's message arrays.
    if (e.chunk.length() > PY_SSIZE_T_MAX - elements) {
        PyErr_NoMemory();
        return false;
    }
    e.first = elements;
    elements += static_cast<Py_ssize_t>(e.chunk.length());
    return true;
}

bool ImportedColumn::read_array(PyObject *pair) {
    const char *from = "__arrow_c_array__()";
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_Format(PyExc_TypeError,
                     "%s must give a (schema, array) tuple of PyCapsules, not %.200s", from,
                     Py_TYPE(pair)->tp_name);
        return false;
    }
    auto *schema = capsule_struct<ArrowSchema>(PyTuple_GET_ITEM(pair, 0), "arrow_schema", from);
    if (schema == nullptr) {
        return false;
    }
    auto *array = capsule_struct<ArrowArray>(PyTuple_GET_ITEM(pair, 1), "arrow_array", from);
    if (array == nullptr) {
        return false;
    }
    // Both are moved out before anything can fail, so the capsules' own
    // destructors find them released.
    Held<ArrowArray> held;
    held.take(array);
    if (!take_schema(schema)) {
        return false;
    }
    return add(&*held);
}

namespace {

// A stream callback's failure as an exception, unless the callback left
// one of its own.
bool stream_failed(ArrowArrayStream &s, int code, const char *what) {
    if (!PyErr_Occurred()) {
        const char *message = s.get_last_error != nullptr ? s.get_last_error(&s) : nullptr;
        PyErr_Format(PyExc_ValueError, "the Arrow stream failed to give its %s: %.200s (%s)",
                     what, message != nullptr ? message : "no message", std::strerror(code));
    }
    return false;
}

}  // namespace

bool ImportedColumn::read_stream(PyObject *capsule) {
    auto *source = capsule_struct<ArrowArrayStream>(capsule, "arrow_array_stream",
                                                    "__arrow_c_stream__()");
    if (source == nullptr) {
        return false;
    }
    Held<ArrowArrayStream> stream;
    stream.take(source);
    if (stream->get_schema == nullptr || stream->get_next == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the Arrow stream has no callbacks");
        return false;
    }
    Held<ArrowSchema> schema;
    if (const int code = stream->get_schema(&*stream, schema.fill()); code != 0) {
        return stream_failed(*stream, code, "schema");
    }
    if (schema.empty()) {
        PyErr_SetString(PyExc_ValueError, "the Arrow stream gave a released schema");
        return false;
    }
    if (!take_schema(&*schema)) {
        return false;
    }
    for (;;) {
        Held<ArrowArray> next;
        if (const int code = stream->get_next(&*stream, next.fill()); code != 0) {
            return stream_failed(*stream, code, "next array");
        }
        if (next.empty()) {
            return true;  // the end
        }
        if (!add(&*next)) {
            return false;
        }
    }
}

}  // namespace qulo::arrow
