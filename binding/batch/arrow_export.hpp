// Columns out through the Arrow C data interface: the schema, array and
// stream structs of sealed chunks, each in the PyCapsule the interface names
// ("arrow_schema", "arrow_array", "arrow_array_stream"). A consumer may
// release what it took on any thread, without the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow_chunk.hpp"

namespace qulo::arrow {

// New capsules, or null with an exception set. An array holds a reference
// to its chunk, a stream one to each of its chunks, for as long as the
// consumer keeps them.
PyObject *schema_capsule(ColumnType type);
PyObject *array_capsule(OutChunk *chunk);
PyObject *stream_capsule(ColumnType type, OutChunk *const *chunks, Py_ssize_t count);

}  // namespace qulo::arrow
