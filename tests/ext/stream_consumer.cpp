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

qulo_stream_capi g;  // filled at import, read-only afterwards

// The outputs of every step concatenated into `out`; the finished context's
// given() (QULO_E_STATE) for an encryption, the finish's result for a
// decryption, or the first negative status.
int64_t stream(const qulo_key &key, const qulo_op &op, const uint8_t *src, int64_t n,
               int64_t chunk, std::vector<uint8_t> &out) {
    const bool enc = op.direction == QULO_ENCRYPT;
    qulo_encryptor e;
    qulo_decryptor d;
    int64_t r = enc ? g.encryptor_init(&e, &key, &op, n) : g.decryptor_init(&d, &key, &op);
    if (enc && r >= 0 && g.encryptor_length(&e) != n) {
        r = -1000;  // the length the core keeps must be the one announced
    }
    for (int64_t at = 0; r >= 0 && at < n; at += chunk) {
        const int64_t len = std::min(chunk, n - at);
        const int64_t cap = enc ? g.encryptor_update_len(&e, len) : g.decryptor_update_len(&d, len);
        const size_t base = out.size();
        out.resize(base + static_cast<size_t>(qulo_stream_update_max(len)));
        r = enc ? g.encryptor_update(&e, src + at, len, out.data() + base, cap)
                : g.decryptor_update(&d, src + at, len, out.data() + base, cap);
        out.resize(base + static_cast<size_t>(std::max<int64_t>(r, 0)));
    }
    if (r >= 0 && enc) {
        const size_t base = out.size();
        out.resize(base + QULO_STREAM_FINISH_MAX);
        r = g.encryptor_finish(&e, out.data() + base, QULO_STREAM_FINISH_MAX);
        out.resize(base + static_cast<size_t>(std::max<int64_t>(r, 0)));
        r = r < 0 ? r : g.encryptor_given(&e);
    } else if (r >= 0) {
        r = g.decryptor_given(&d) != n ? -1000 : g.decryptor_finish(&d);
    }
    enc ? g.encryptor_wipe(&e) : g.decryptor_wipe(&d);  // any state: a no-op once finished
    return r;
}

// run(direction, key16, sums64 or None, native, verify, data, chunk) -> (status, bytes)
PyObject *run(PyObject *, PyObject *args) {
    int direction, native, verify;
    const char *k, *data;
    Py_ssize_t klen, n, chunk;
    PyObject *sums;
    if (!PyArg_ParseTuple(args, "iy#Oppy#n", &direction, &k, &klen, &sums, &native, &verify,
                          &data, &n, &chunk)) {
        return nullptr;
    }
    if (klen != 16 || chunk < 1 || (sums != Py_None && PyBytes_Size(sums) != 64)) {
        PyErr_SetString(PyExc_ValueError, "a 16-byte key, a 64-byte table and chunks of 1 or more");
        return nullptr;
    }
    qulo_key key;
    uint32_t *words[] = {&key.k0, &key.k1, &key.k2, &key.k3};
    for (int i = 0; i < 4; ++i) {
        const auto *b = reinterpret_cast<const uint8_t *>(k) + 4 * i;
        *words[i] = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    }
    const qulo_op op{direction, native ? QULO_HOST_ORDER : QULO_BIG_ENDIAN,
                     sums == Py_None ? nullptr
                                     : reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(sums)),
                     verify};
    std::vector<uint8_t> out;
    int64_t status = 0;
    Py_BEGIN_ALLOW_THREADS  // the bytes objects are held by `args` meanwhile
    std::thread([&] {
        status = stream(key, op, reinterpret_cast<const uint8_t *>(data), n, chunk, out);
    }).join();
    Py_END_ALLOW_THREADS
    // y# makes None of a null pointer: an empty result is b"".
    const char *bytes = out.empty() ? "" : reinterpret_cast<const char *>(out.data());
    return Py_BuildValue("(Ly#)", static_cast<long long>(status), bytes,
                         static_cast<Py_ssize_t>(out.size()));
}

PyObject *import_again(PyObject *, PyObject *) {
    qulo_stream_capi api;
    return qulo_import_stream_capi(&api) < 0 ? nullptr : Py_NewRef(Py_None);
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
    return qulo_import_stream_capi(&g) < 0 ? nullptr : PyModule_Create(&kModule);
}
