// Columns read from any Arrow library through the Arrow PyCapsule
// interface: an object with __arrow_c_stream__ (a stream of chunks) or
// __arrow_c_array__ (one array) hands over C data interface structs, which
// are moved into the call's ownership and checked before anything is read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrow_abi.hpp"
#include "arrow_layout.hpp"
#include "owned_array.hpp"
#include "pyref.hpp"

namespace qulo::arrow {

// An owner for use with the interpreter lock held: a producer's release
// callback may run Python code (the owner of a buffer freed), so a pending
// exception is set aside while it runs.
template <class Struct>
class Held : public Owned<Struct> {
public:
    Held() = default;
    Held(Held &&) noexcept = default;
    Held &operator=(Held &&) noexcept = default;
    ~Held() {
        if (!this->empty()) {
            SavedError aside;
            this->reset();
        }
    }
};

class ImportedColumn {
public:
    // Takes the column from `producer`; false with an exception set: the
    // producer's own, TypeError for an object of no Arrow column or of
    // another type than binary or string of the three layouts (saying what
    // to do with a table, a dictionary or fixed-size values), ValueError
    // for malformed data. Afterwards every chunk's memory is held by the
    // call (the producer's release callbacks run when this goes), and no
    // Python code runs to read it.
    bool read(PyObject *producer);

    Format format = Format::binary;
    bool text = false;  // string, large_string or string_view
    Py_ssize_t count() const { return count_; }
    const Chunk &chunk(Py_ssize_t c) const { return entries_[c].chunk; }
    // The index of chunk c's first element in the whole column.
    Py_ssize_t first(Py_ssize_t c) const { return entries_[c].first; }
    // The elements of all chunks.
    Py_ssize_t elements = 0;

private:
    struct Entry {
        Held<ArrowArray> array;
        Chunk chunk;
        Py_ssize_t first = 0;
    };
    bool read_stream(PyObject *capsule);
    bool read_array(PyObject *pair);
    bool take_schema(ArrowSchema *source);
    bool add(ArrowArray *source);

    Held<ArrowSchema> schema_;
    OwnedArray<Entry> entries_;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = 0;
};

}  // namespace qulo::arrow
