#include "binder.hpp"

#include "arg_binding.hpp"

#include <array>

namespace qulo::args {

namespace {

// Parameter names are interned, so a keyword usually matches by identity;
// otherwise by string equality (a str subclass by ordinary equality).
KeywordMatch match_keyword(std::span<PyObject *const> names, PyObject *key) {
    if (!PyUnicode_Check(key)) {
        return {KeywordMatch::Kind::not_string};
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == key) {
            return {KeywordMatch::Kind::parameter, static_cast<int>(i)};
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        int eq;
        if (PyUnicode_CheckExact(key)) {
            eq = PyUnicode_Compare(names[i], key) == 0;
        } else {
            eq = PyObject_RichCompareBool(key, names[i], Py_EQ);
            if (eq < 0) {
                return {KeywordMatch::Kind::error};
            }
        }
        if (eq) {
            return {KeywordMatch::Kind::parameter, static_cast<int>(i)};
        }
    }
    return {KeywordMatch::Kind::unknown};
}

// `keyword(j)` gives keyword j's name, `value(j)` its value.
template <class Name, class Value>
bool apply(const char *func_name, std::span<PyObject *const> names, PyObject *const *args,
           Py_ssize_t nargs, Py_ssize_t nkeywords, Name &&keyword, Value &&value,
           PyObject **values) {
    const auto nparams = static_cast<int>(names.size());
    const Decision d = decide(nparams, nargs, nkeywords, [&](std::ptrdiff_t j) {
        return match_keyword(names, keyword(j));
    });
    switch (d.kind) {
    case Decision::Kind::ok:
        break;
    case Decision::Kind::count:
        raise_count_error(func_name, nparams, d.given);
        return false;
    case Decision::Kind::unexpected:
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name,
                     keyword(d.keyword));
        return false;
    case Decision::Kind::multiple:
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     func_name, keyword(d.keyword));
        return false;
    case Decision::Kind::not_string:
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
        return false;
    case Decision::Kind::error:
        return false;
    }
    for (int i = 0; i < nparams; ++i) {
        const std::ptrdiff_t j = d.from_keyword[static_cast<size_t>(i)];
        values[i] = j < 0 ? args[i] : value(j);
    }
    return true;
}

}  // namespace

void raise_count_error(const char *func_name, Py_ssize_t nparams, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func_name, "exactly", nparams, nparams == 1 ? "" : "s", given);
}

bool bind_fastcall_general(const char *func_name, std::span<PyObject *const> names,
                           PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                           PyObject **values) {
    if (kwnames == nullptr) {
        raise_count_error(func_name, static_cast<Py_ssize_t>(names.size()), nargs);
        return false;
    }
    return apply(
        func_name, names, args, nargs, PyTuple_GET_SIZE(kwnames),
        [&](std::ptrdiff_t j) { return PyTuple_GET_ITEM(kwnames, j); },
        [&](std::ptrdiff_t j) { return args[nargs + j]; }, values);
}

bool bind_tuple_dict(const char *func_name, std::span<PyObject *const> names,
                     PyObject *args, PyObject *kwds, Ref *values) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject *const *positional = &PyTuple_GET_ITEM(args, 0);
    // Our own references to the keyword names and values, taken before any
    // __eq__ can run. A few keywords at most are meaningful; more are
    // refused while matching.
    std::array<Ref, 8> keys;
    std::array<Ref, 8> vals;
    Py_ssize_t n = 0;
    if (kwds != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *k;
        PyObject *v;
        while (n < static_cast<Py_ssize_t>(keys.size()) && PyDict_Next(kwds, &pos, &k, &v)) {
            keys[static_cast<size_t>(n)] = Ref::steal(Py_NewRef(k));
            vals[static_cast<size_t>(n)] = Ref::steal(Py_NewRef(v));
            ++n;
        }
    }
    std::array<PyObject *, kMaxParams> bound{};
    if (!apply(
            func_name, names, positional, nargs, n,
            [&](std::ptrdiff_t j) { return keys[static_cast<size_t>(j)].get(); },
            [&](std::ptrdiff_t j) { return vals[static_cast<size_t>(j)].get(); },
            bound.data())) {
        return false;
    }
    // Owned by the caller from here, before the snapshot goes.
    for (size_t i = 0; i < names.size(); ++i) {
        values[i] = Ref::steal(Py_NewRef(bound[i]));
    }
    return true;
}

}  // namespace qulo::args
