// A small extension that uses qulo the way other compiled code does: the
// seven entry points through qulo_import_capi(), called from native threads
// without the interpreter lock, and the TEA type's C-level method table.
// Everything it returns is compared with the Python methods by the tests.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <qulo/capi.h>

#include <array>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace {

qulo_capi g_api;  // filled at import, read-only afterwards

using Bytes = std::vector<uint8_t>;

// Owns one reference.
class Ref {
public:
    explicit Ref(PyObject *o = nullptr) noexcept : o_(o) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(o_); }
    PyObject *get() const noexcept { return o_; }
    PyObject *release() noexcept { return std::exchange(o_, nullptr); }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    PyObject *o_;
};

// The interpreter lock released for the lifetime of the object.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;
    ~Unlocked() { PyEval_RestoreThread(state_); }

private:
    PyThreadState *state_;
};

// Bytes of any contiguous buffer, copied while the lock is held.
std::optional<Bytes> copy_bytes(PyObject *obj) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) {
        return std::nullopt;
    }
    const auto *p = static_cast<const uint8_t *>(view.buf);
    Bytes b(p, p + view.len);
    PyBuffer_Release(&view);
    return b;
}

// The key record as the TEA type builds it: four words read big-endian.
qulo_key key_record(const Bytes &k) {
    auto word = [&](std::size_t i) {
        return static_cast<uint32_t>(k[4 * i]) << 24 | static_cast<uint32_t>(k[4 * i + 1]) << 16 |
               static_cast<uint32_t>(k[4 * i + 2]) << 8 | static_cast<uint32_t>(k[4 * i + 3]);
    };
    return {word(0), word(1), word(2), word(3)};
}

// One result of an entry point: the output bytes, or nothing for -1.
using Result = std::optional<Bytes>;

Result encrypt_with(auto &&call, const Bytes &src) {
    const int64_t need = g_api.encrypt_len(static_cast<int64_t>(src.size()));
    Bytes out(static_cast<std::size_t>(need));
    const int64_t r = call(src.data(), static_cast<int64_t>(src.size()), out.data(), need);
    if (r < 0) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(r));
    return out;
}

Result decrypt_with(auto &&call, const Bytes &src) {
    Bytes out(src.size());
    const int64_t r = call(src.data(), static_cast<int64_t>(src.size()), out.data(),
                           static_cast<int64_t>(out.size()));
    if (r < 0) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(r));
    return out;
}

// Per text: encrypt_len(n); for qq, table and native order each, the
// ciphertext, the decryption of that ciphertext, and the decryption of
// the text itself taken as a ciphertext (mostly refused, -1).
constexpr std::size_t kFields = 10;
using Row = std::array<Result, kFields>;
struct TextRow {
    int64_t length;
    Row results;
};

TextRow work_on(const qulo_key &key, const Bytes &sums, const Bytes &text) {
    const uint8_t *table = sums.data();
    auto enc_qq = [&](const uint8_t *s, int64_t n, uint8_t *o, int64_t c) {
        return g_api.encrypt_qq(&key, s, n, o, c);
    };
    auto dec_qq = [&](const uint8_t *s, int64_t n, uint8_t *o, int64_t c) {
        return g_api.decrypt_qq(&key, s, n, o, c);
    };
    auto enc = [&](const uint8_t *s, int64_t n, uint8_t *o, int64_t c) {
        return g_api.encrypt(&key, table, s, n, o, c);
    };
    auto dec = [&](const uint8_t *s, int64_t n, uint8_t *o, int64_t c) {
        return g_api.decrypt(&key, table, s, n, o, c);
    };
    auto enc_ne = [&](const uint8_t *s, int64_t n, uint8_t *o, int64_t c) {
        return g_api.encrypt_native_endian(&key, table, s, n, o, c);
    };
    auto dec_ne = [&](const uint8_t *s, int64_t n, uint8_t *o, int64_t c) {
        return g_api.decrypt_native_endian(&key, table, s, n, o, c);
    };
    TextRow row{g_api.encrypt_len(static_cast<int64_t>(text.size())), {}};
    Row &r = row.results;
    r[0] = encrypt_with(enc_qq, text);
    r[1] = r[0] ? decrypt_with(dec_qq, *r[0]) : std::nullopt;
    r[2] = decrypt_with(dec_qq, text);
    r[3] = encrypt_with(enc, text);
    r[4] = r[3] ? decrypt_with(dec, *r[3]) : std::nullopt;
    r[5] = decrypt_with(dec, text);
    r[6] = encrypt_with(enc_ne, text);
    r[7] = r[6] ? decrypt_with(dec_ne, *r[6]) : std::nullopt;
    r[8] = decrypt_with(dec_ne, text);
    // The ciphertext decrypted in place, as the contract allows.
    if (r[0]) {
        Bytes in_place = *r[0];
        const int64_t n = g_api.decrypt_qq(&key, in_place.data(), static_cast<int64_t>(in_place.size()),
                                           in_place.data(), static_cast<int64_t>(in_place.size()));
        if (n >= 0) {
            in_place.resize(static_cast<std::size_t>(n));
            r[9] = std::move(in_place);
        }
    }
    return row;
}

PyObject *to_python(const Result &r) {
    if (!r) {
        Py_RETURN_NONE;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(r->data()),
                                     static_cast<Py_ssize_t>(r->size()));
}

PyObject *rows_to_python(const std::vector<TextRow> &rows) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Ref tuple(PyTuple_New(1 + kFields));
        if (!tuple) {
            return nullptr;
        }
        PyObject *len = PyLong_FromLongLong(rows[i].length);
        if (len == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), 0, len);
        for (std::size_t f = 0; f < kFields; ++f) {
            PyObject *item = to_python(rows[i].results[f]);
            if (item == nullptr) {
                return nullptr;
            }
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(1 + f), item);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list.release();
}

// run(key, sumtable, texts, threads) -> one list of rows per thread. Every
// thread works through every text, all on one shared key record and table.
PyObject *run(PyObject *, PyObject *args) {
    PyObject *key_obj, *sums_obj, *texts_obj;
    int threads;
    if (!PyArg_ParseTuple(args, "OOOi", &key_obj, &sums_obj, &texts_obj, &threads)) {
        return nullptr;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be positive");
        return nullptr;
    }
    std::optional<Bytes> key = copy_bytes(key_obj);
    if (!key) {
        return nullptr;
    }
    if (key->size() != 16) {
        PyErr_SetString(PyExc_ValueError, "key must be 16 bytes");
        return nullptr;
    }
    std::optional<Bytes> sums = copy_bytes(sums_obj);
    if (!sums) {
        return nullptr;
    }
    if (sums->size() != 64) {
        PyErr_SetString(PyExc_ValueError, "sum table must be 64 bytes");
        return nullptr;
    }
    Ref seq(PySequence_Fast(texts_obj, "texts must be a sequence"));
    if (!seq) {
        return nullptr;
    }
    std::vector<Bytes> texts;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        std::optional<Bytes> t = copy_bytes(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!t) {
            return nullptr;
        }
        texts.push_back(std::move(*t));
    }

    const qulo_key record = key_record(*key);
    std::vector<std::vector<TextRow>> per_thread(static_cast<std::size_t>(threads));
    {
        Unlocked unlocked;
        std::vector<std::jthread> pool;
        for (auto &rows : per_thread) {
            pool.emplace_back([&record, &sums, &texts, &rows] {
                for (const Bytes &t : texts) {
                    rows.push_back(work_on(record, *sums, t));
                }
            });
        }
    }  // the threads are joined, then the lock is taken back

    Ref result(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    for (const auto &rows : per_thread) {
        Ref py_rows(rows_to_python(rows));
        if (!py_rows || PyList_Append(result.get(), py_rows.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

// lengths(values, threads) -> encrypt_len of each value, computed by
// several threads without the lock (each takes every threads-th value).
PyObject *lengths(PyObject *, PyObject *args) {
    PyObject *values_obj;
    int threads;
    if (!PyArg_ParseTuple(args, "Oi", &values_obj, &threads)) {
        return nullptr;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be positive");
        return nullptr;
    }
    Ref seq(PySequence_Fast(values_obj, "values must be a sequence"));
    if (!seq) {
        return nullptr;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<int64_t> in(static_cast<std::size_t>(count)), out(in.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long long v = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (v == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        in[static_cast<std::size_t>(i)] = v;
    }
    {
        Unlocked unlocked;
        std::vector<std::jthread> pool;
        const auto step = static_cast<std::size_t>(threads);
        for (std::size_t t = 0; t < step; ++t) {
            pool.emplace_back([&in, &out, t, step] {
                for (std::size_t i = t; i < in.size(); i += step) {
                    out[i] = g_api.encrypt_len(in[i]);
                }
            });
        }
    }
    Ref list(PyList_New(count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *v = PyLong_FromLongLong(out[static_cast<std::size_t>(i)]);
        if (v == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, v);
    }
    return list.release();
}

// import_capi() -> None: imports the capsules again into a scratch table,
// so that the tests can watch the helper refuse a broken package.
PyObject *import_capi(PyObject *, PyObject *) {
    qulo_capi scratch;
    if (qulo_import_capi(&scratch) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- the TEA type's C-level method table ----------------------------------

// The table from qulo._tea.TEA.__dict__, as an extension author finds it.
const qulo_tea_methods *method_table() {
    Ref module(PyImport_ImportModule("qulo._tea"));
    if (!module) {
        return nullptr;
    }
    Ref type(PyObject_GetAttrString(module.get(), "TEA"));
    if (!type) {
        return nullptr;
    }
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "qulo._tea.TEA is not a type");
        return nullptr;
    }
    Ref dict(PyType_GetDict(reinterpret_cast<PyTypeObject *>(type.get())));
    PyObject *capsule = PyDict_GetItemString(dict.get(), QULO_TEA_METHODS_ATTR);  // borrowed
    if (capsule == nullptr) {
        PyErr_SetString(PyExc_LookupError, "no method table in the type's dictionary");
        return nullptr;
    }
    return static_cast<const qulo_tea_methods *>(PyCapsule_GetPointer(capsule, nullptr));
}

// A read-only view of a buffer, released on scope exit.
class Held {
public:
    Held() noexcept = default;
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() {
        if (held_) {
            PyBuffer_Release(&buf_);
        }
    }
    bool acquire(PyObject *obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &buf_, flags) == 0;
        return held_;
    }
    const Py_buffer &buffer() const noexcept { return buf_; }

private:
    Py_buffer buf_{};
    bool held_ = false;
};

qulo_const_byte_view const_view(PyObject *obj, const Held &h) {
    return {obj, static_cast<const uint8_t *>(h.buffer().buf), h.buffer().len, 1, -1};
}

// table_encrypt(tea, text, sumtable) -> bytes, through the table's encrypt.
PyObject *table_encrypt(PyObject *, PyObject *args) {
    PyObject *tea, *text, *sums;
    if (!PyArg_ParseTuple(args, "OOO", &tea, &text, &sums)) {
        return nullptr;
    }
    const qulo_tea_methods *m = method_table();
    if (m == nullptr) {
        return nullptr;
    }
    Held t, s;
    if (!t.acquire(text, PyBUF_SIMPLE) || !s.acquire(sums, PyBUF_SIMPLE)) {
        return nullptr;
    }
    const qulo_const_byte_view tv = const_view(text, t), sv = const_view(sums, s);
    return m->encrypt(tea, &tv, &sv);
}

// table_decrypt_qq_into(tea, text, out) -> int, through decrypt_qq_into.
PyObject *table_decrypt_qq_into(PyObject *, PyObject *args) {
    PyObject *tea, *text, *out;
    if (!PyArg_ParseTuple(args, "OOO", &tea, &text, &out)) {
        return nullptr;
    }
    const qulo_tea_methods *m = method_table();
    if (m == nullptr) {
        return nullptr;
    }
    Held t, o;
    if (!t.acquire(text, PyBUF_SIMPLE) || !o.acquire(out, PyBUF_WRITABLE)) {
        return nullptr;
    }
    const qulo_const_byte_view tv = const_view(text, t);
    const qulo_byte_view ov{out, static_cast<uint8_t *>(o.buffer().buf), o.buffer().len, 1, -1};
    const int64_t r = m->decrypt_qq_into(tea, &tv, &ov);
    return r < 0 ? nullptr : PyLong_FromLongLong(r);
}

PyMethodDef methods[] = {
    {"run", run, METH_VARARGS, "run(key, sumtable, texts, threads) -> [[row, ...], ...]"},
    {"lengths", lengths, METH_VARARGS, "lengths(values, threads) -> [int, ...]"},
    {"import_capi", import_capi, METH_NOARGS, "import_capi() -> None"},
    {"table_encrypt", table_encrypt, METH_VARARGS, "table_encrypt(tea, text, sumtable) -> bytes"},
    {"table_decrypt_qq_into", table_decrypt_qq_into, METH_VARARGS,
     "table_decrypt_qq_into(tea, text, out) -> int"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "consumer", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_consumer(void) {
    if (qulo_import_capi(&g_api) < 0) {
        return nullptr;
    }
    return PyModule_Create(&module);
}
