// The Python type qulo._batch.ArrowColumn: a column made by the batch
// functions, its chunks exported to any Arrow library through the PyCapsule
// interface (__arrow_c_schema__, __arrow_c_array__, __arrow_c_stream__),
// and readable as a sequence of bytes (str in a text column) and None.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow_chunk.hpp"

namespace qulo {

// The type, for the module's state; null with an exception set.
PyTypeObject *make_arrow_column_type(PyObject *module);

// A new column of `module`'s ArrowColumn type over the chunks (every one
// sealed), which it takes over; null with an exception set (the chunks are
// dropped then).
PyObject *new_arrow_column(PyObject *module, arrow::ColumnType type, arrow::OutChunks &chunks);

}  // namespace qulo
