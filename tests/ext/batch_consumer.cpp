// A small extension that uses the batch entry points the way other compiled
// code does: through qulo_import_batch_capi(), called on a native thread
// without the interpreter lock. The tests compare what it returns with the
// Python functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <qulo/capi.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace {

qulo_batch_capi g_batch;  // filled at import, read-only afterwards

using Bytes = std::vector<uint8_t>;

bool copy_bytes(PyObject *obj, Bytes &out) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) {
        return false;
    }
    const auto *p = static_cast<const uint8_t *>(view.buf);
    out.assign(p, p + view.len);
    PyBuffer_Release(&view);
    return true;
}

// run(op, key16, sums64, texts) -> (value, [bytes or None per message])
// op: 0 encrypt_qq, 1 decrypt_qq, 2 encrypt, 3 decrypt, 4 encrypt_native_endian,
// 5 decrypt_native_endian. The call runs on its own native thread.
PyObject *run(PyObject *, PyObject *args) {
    int op;
    PyObject *key_obj, *sums_obj, *texts_obj;
    if (!PyArg_ParseTuple(args, "iOOO", &op, &key_obj, &sums_obj, &texts_obj)) {
        return nullptr;
    }
    Bytes k, sums;
    if (!copy_bytes(key_obj, k) || !copy_bytes(sums_obj, sums) || k.size() != 16 ||
        sums.size() != 64) {
        PyErr_SetString(PyExc_ValueError, "a 16-byte key and a 64-byte table are needed");
        return nullptr;
    }
    const qulo_key key{
        uint32_t{k[0]} << 24 | uint32_t{k[1]} << 16 | uint32_t{k[2]} << 8 | k[3],
        uint32_t{k[4]} << 24 | uint32_t{k[5]} << 16 | uint32_t{k[6]} << 8 | k[7],
        uint32_t{k[8]} << 24 | uint32_t{k[9]} << 16 | uint32_t{k[10]} << 8 | k[11],
        uint32_t{k[12]} << 24 | uint32_t{k[13]} << 16 | uint32_t{k[14]} << 8 | k[15]};
    const Py_ssize_t n = PySequence_Length(texts_obj);
    if (n < 0) {
        return nullptr;
    }
    std::vector<Bytes> texts(static_cast<size_t>(n)), outs(static_cast<size_t>(n));
    std::vector<const uint8_t *> src;
    std::vector<uint8_t *> out;
    std::vector<int64_t> len, cap, result(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PySequence_GetItem(texts_obj, i);
        const bool ok = item != nullptr && copy_bytes(item, texts[static_cast<size_t>(i)]);
        Py_XDECREF(item);
        if (!ok) {
            return nullptr;
        }
        const auto size = static_cast<int64_t>(texts[static_cast<size_t>(i)].size());
        // The length rule, as the header states it (the library is not linked).
        const int64_t need = op % 2 == 0 ? size - (size + 1) % 8 + 17 : size;
        outs[static_cast<size_t>(i)].resize(static_cast<size_t>(need));
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        src.push_back(texts[i].data());
        len.push_back(static_cast<int64_t>(texts[i].size()));
        out.push_back(outs[i].data());
        cap.push_back(static_cast<int64_t>(outs[i].size()));
    }
    int64_t value = 0;
    Py_BEGIN_ALLOW_THREADS
    std::thread worker([&] {
        const uint8_t *t = sums.data();
        switch (op) {
        case 0: value = g_batch.encrypt_qq(&key, n, src.data(), len.data(), out.data(), cap.data(), result.data()); break;
        case 1: value = g_batch.decrypt_qq(&key, n, src.data(), len.data(), out.data(), cap.data(), result.data()); break;
        case 2: value = g_batch.encrypt(&key, t, n, src.data(), len.data(), out.data(), cap.data(), result.data()); break;
        case 3: value = g_batch.decrypt(&key, t, n, src.data(), len.data(), out.data(), cap.data(), result.data()); break;
        case 4: value = g_batch.encrypt_native_endian(&key, t, n, src.data(), len.data(), out.data(), cap.data(), result.data()); break;
        default: value = g_batch.decrypt_native_endian(&key, t, n, src.data(), len.data(), out.data(), cap.data(), result.data()); break;
        }
    });
    worker.join();
    Py_END_ALLOW_THREADS
    PyObject *list = PyList_New(n);
    if (list == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int64_t r = result[static_cast<size_t>(i)];
        PyObject *item = r < 0 ? Py_NewRef(Py_None)
                               : PyBytes_FromStringAndSize(
                                     reinterpret_cast<const char *>(outs[static_cast<size_t>(i)].data()),
                                     static_cast<Py_ssize_t>(r));
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return Py_BuildValue("(LN)", static_cast<long long>(value), list);
}

PyObject *kernel(PyObject *, PyObject *) {
    const char *name = g_batch.kernel();
    if (name == nullptr) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(name);
}

PyObject *import_again(PyObject *, PyObject *) {
    qulo_batch_capi api;
    if (qulo_import_batch_capi(&api) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"run", run, METH_VARARGS, nullptr},
    {"kernel", kernel, METH_NOARGS, nullptr},
    {"import_again", import_again, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "batch_consumer", nullptr, -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_batch_consumer(void) {
    if (qulo_import_batch_capi(&g_batch) < 0) {
        return nullptr;
    }
    return PyModule_Create(&kModule);
}
