// A small extension that streams one message through the incremental entry
// points the way other compiled code does: through qulo_import_stream_capi(),
// on a native thread without the interpreter lock, in chunks of a given
// size. The tests compare what it returns with the TEA methods.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <qulo/capi.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

qulo_stream_capi g_stream;  // filled at import, read-only afterwards

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

// Feeds `text` in chunks of `chunk` bytes; the outputs concatenated, or the
// first negative status.
int64_t encrypt(const qulo_key &key, const qulo_op &op, const Bytes &text, size_t chunk,
                Bytes &out) {
    qulo_encryptor e;
    const int64_t total = g_stream.encryptor_init(&e, &key, &op, static_cast<int64_t>(text.size()));
    if (total < 0) {
        return total;
    }
    for (size_t at = 0; at < text.size(); at += chunk) {
        const auto n = static_cast<int64_t>(std::min(chunk, text.size() - at));
        const int64_t need = g_stream.encryptor_update_len(&e, n);
        Bytes piece(static_cast<size_t>(need));
        const int64_t w = g_stream.encryptor_update(&e, text.data() + at, n, piece.data(), need);
        if (w < 0) {
            g_stream.encryptor_wipe(&e);
            return w;
        }
        out.insert(out.end(), piece.begin(), piece.begin() + w);
    }
    uint8_t last[QULO_STREAM_FINISH_MAX];
    const int64_t w = g_stream.encryptor_finish(&e, last, sizeof last);
    if (w < 0) {
        g_stream.encryptor_wipe(&e);
        return w;
    }
    out.insert(out.end(), last, last + w);
    return g_stream.encryptor_given(&e);  // finished: a negative status, as the header says
}

int64_t decrypt(const qulo_key &key, const qulo_op &op, const Bytes &text, size_t chunk,
                Bytes &out) {
    qulo_decryptor d;
    if (const int64_t r = g_stream.decryptor_init(&d, &key, &op); r < 0) {
        return r;
    }
    for (size_t at = 0; at < text.size(); at += chunk) {
        const auto n = static_cast<int64_t>(std::min(chunk, text.size() - at));
        Bytes piece(static_cast<size_t>(g_stream.decryptor_update_len(&d, n)));
        const int64_t w = g_stream.decryptor_update(&d, text.data() + at, n, piece.data(),
                                                    static_cast<int64_t>(piece.size()));
        if (w < 0) {
            g_stream.decryptor_wipe(&d);
            return w;
        }
        out.insert(out.end(), piece.begin(), piece.begin() + w);
    }
    if (g_stream.decryptor_given(&d) != static_cast<int64_t>(text.size())) {
        return -1000;  // the count the core keeps must be what was fed
    }
    return g_stream.decryptor_finish(&d);
}

// run(direction, key16, sums64 or None, native, verify, data, chunk)
//   -> (status, bytes): status 0 (decryption) or the finished encryptor's
//   given() (QULO_E_STATE) on success, else the first negative status.
PyObject *run(PyObject *, PyObject *args) {
    int direction, native, verify;
    Py_ssize_t chunk;
    PyObject *key_obj, *sums_obj, *data_obj;
    if (!PyArg_ParseTuple(args, "iOOppOn", &direction, &key_obj, &sums_obj, &native, &verify,
                          &data_obj, &chunk)) {
        return nullptr;
    }
    Bytes k, sums, data, out;
    if (!copy_bytes(key_obj, k) || !copy_bytes(data_obj, data) ||
        (sums_obj != Py_None && !copy_bytes(sums_obj, sums))) {
        return nullptr;
    }
    if (k.size() != 16 || chunk < 1 || (sums_obj != Py_None && sums.size() != 64)) {
        PyErr_SetString(PyExc_ValueError, "a 16-byte key, a 64-byte table and chunks of 1 or more");
        return nullptr;
    }
    const qulo_key key{
        uint32_t{k[0]} << 24 | uint32_t{k[1]} << 16 | uint32_t{k[2]} << 8 | k[3],
        uint32_t{k[4]} << 24 | uint32_t{k[5]} << 16 | uint32_t{k[6]} << 8 | k[7],
        uint32_t{k[8]} << 24 | uint32_t{k[9]} << 16 | uint32_t{k[10]} << 8 | k[11],
        uint32_t{k[12]} << 24 | uint32_t{k[13]} << 16 | uint32_t{k[14]} << 8 | k[15]};
    const qulo_op op{direction, native ? QULO_HOST_ORDER : QULO_BIG_ENDIAN,
                     sums_obj == Py_None ? nullptr : sums.data(), verify};
    int64_t status = 0;
    Py_BEGIN_ALLOW_THREADS
    std::thread worker([&] {
        status = direction == QULO_ENCRYPT ? encrypt(key, op, data, static_cast<size_t>(chunk), out)
                                           : decrypt(key, op, data, static_cast<size_t>(chunk), out);
    });
    worker.join();
    Py_END_ALLOW_THREADS
    // y# makes None of a null pointer: an empty result is b"".
    const char *bytes = out.empty() ? "" : reinterpret_cast<const char *>(out.data());
    return Py_BuildValue("(Ly#)", static_cast<long long>(status), bytes,
                         static_cast<Py_ssize_t>(out.size()));
}

PyObject *import_again(PyObject *, PyObject *) {
    qulo_stream_capi api;
    if (qulo_import_stream_capi(&api) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"run", run, METH_VARARGS, nullptr},
    {"import_again", import_again, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "stream_consumer", nullptr, -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_stream_consumer(void) {
    if (qulo_import_stream_capi(&g_stream) < 0) {
        return nullptr;
    }
    return PyModule_Create(&kModule);
}
