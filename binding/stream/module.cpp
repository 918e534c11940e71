// qulo._stream: the incremental qq mode as two Python types, Encryptor and
// Decryptor, over the core's contexts (qulo/stream.h).
//
// Each object owns one core context, which holds a copy of the key words
// (and sum table) taken at construction: a TEA object given as the key may
// change its key afterwards without affecting the stream. The copy is wiped
// by finalize() and when the object is released. The context is the one
// record of the stream's progress: what was announced, what was given and
// whether it is finished are asked of it, never copied into the object.
//
// Concurrency: one object is one chain, so two threads must not feed it at
// once. Large chunks run with the interpreter lock released, and an object
// marks itself busy for the length of every call: a second caller in that
// window (another thread, or Python code the call itself runs, such as the
// data's __buffer__) gets RuntimeError instead of a corrupted chain.
#include "byte_view.hpp"
#include "capsules.hpp"
#include "cipher_args.hpp"
#include "interpreters.hpp"
#include "pyref.hpp"
#include "status_error.hpp"

#include "qulo/capi.h"
#include "qulo/mode.h"
#include "qulo/stream.h"

#include <cstdint>
#include <cstring>
#include <iterator>

namespace qulo {

namespace {

// Chunks from this size on are processed with the interpreter lock
// released. 8 KiB is some 40 us of cipher work on current x86-64 cores,
// against well under a microsecond to release and take back an uncontended
// lock: below it, releasing would cost more than the parallelism it buys,
// and holding the lock for 40 us keeps other threads waiting far less than
// the interpreter's own 5 ms switch interval.
constexpr Py_ssize_t kReleaseThreshold = 8 * 1024;

// ---- the two directions ----------------------------------------------------

// What differs between Encryptor and Decryptor, as static members over the
// core calls, so that one set of method bodies serves both.
struct Encrypting {
    using Context = qulo_encryptor;
    static constexpr const char *kName = "Encryptor";
    static int64_t update_len(const Context *c, int64_t n) {
        return qulo_encryptor_update_len(c, n);
    }
    static int64_t update(Context *c, const uint8_t *src, int64_t n, uint8_t *out,
                          int64_t cap) {
        return qulo_encryptor_update(c, src, n, out, cap);
    }
    static int64_t given(const Context *c) { return qulo_encryptor_given(c); }
    static int64_t announced(const Context *c) { return qulo_encryptor_length(c); }
    static void wipe(Context *c) { qulo_encryptor_wipe(c); }
};

struct Decrypting {
    using Context = qulo_decryptor;
    static constexpr const char *kName = "Decryptor";
    static int64_t update_len(const Context *c, int64_t n) {
        return qulo_decryptor_update_len(c, n);
    }
    static int64_t update(Context *c, const uint8_t *src, int64_t n, uint8_t *out,
                          int64_t cap) {
        return qulo_decryptor_update(c, src, n, out, cap);
    }
    static int64_t given(const Context *c) { return qulo_decryptor_given(c); }
    static int64_t announced(const Context *) { return 0; }  // a ciphertext has any length
    static void wipe(Context *c) { qulo_decryptor_wipe(c); }
};

template <class D>
struct StreamObject {
    PyObject_HEAD
    typename D::Context ctx;
    bool busy;
    unsigned long busy_thread;  // while busy: the thread of the call
};

// What the messages of a step name, read from the context before the step
// (a finish wipes it): the announced length, and the bytes given so far
// with the step's own `bytes`. A finished context reads as negative
// counts, which only QULO_E_STATE follows, and its message names none.
template <class D>
StatusPlace before_step(const StreamObject<D> *self, const char *step, int64_t bytes) {
    return {D::kName, step, -1, D::given(&self->ctx) + bytes, D::announced(&self->ctx)};
}

// Raises the exception for a status of a step on `self`; returns null.
template <class D>
PyObject *raise_for(const StreamObject<D> *self, int64_t status, const StatusPlace &where) {
    return raise_status(cipher_args_state(Py_TYPE(self)).decryption_error, status, where);
}

// Marks an object busy for one call; refuses when it already is, saying
// whether the call in progress is another thread's or this thread's own (a
// call re-entered from Python code it runs, such as the data's __buffer__).
template <class D>
class BusyGuard {
public:
    explicit BusyGuard(StreamObject<D> *self) : self_(self) {
        const unsigned long thread = PyThread_get_thread_ident();
        // Busy first: while another thread's call runs without the lock,
        // the context is being written and must not be read, not even to
        // ask whether it is finished.
        if (self->busy && self->busy_thread != thread) {
            PyErr_Format(PyExc_RuntimeError,
                         "this %s is in use by another thread; a stream is one chain, "
                         "feed it from one thread at a time",
                         D::kName);
        } else if (self->busy) {
            PyErr_Format(PyExc_RuntimeError,
                         "this %s was re-entered while busy, from Python code its own call "
                         "runs on this thread (such as a buffer's __buffer__); a stream is one "
                         "chain, one call at a time",
                         D::kName);
        } else if (const int64_t given = D::given(&self->ctx); given < 0) {  // finished
            raise_for(self, given, before_step(self, "call", 0));
        } else {
            self->busy = true;
            self->busy_thread = thread;
            held_ = true;
        }
    }
    ~BusyGuard() {
        if (held_) {
            self_->busy = false;
        }
    }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;
    explicit operator bool() const { return held_; }

private:
    StreamObject<D> *self_;
    bool held_ = false;
};

// The bytes this update writes, or -1 with ValueError naming the numbers.
template <class D>
int64_t needed_for(StreamObject<D> *self, Py_ssize_t n) {
    const int64_t needed = D::update_len(&self->ctx, n);
    if (needed < 0) {
        raise_for(self, needed, before_step(self, "update", n));
        return -1;
    }
    return needed;
}

// Runs the core update, without the interpreter lock for large chunks.
template <class D>
int64_t run_update(StreamObject<D> *self, const ConstByteView &data, uint8_t *out, int64_t cap) {
    const StatusPlace call = before_step(self, "update", data.length);
    int64_t written;
    if (data.length >= kReleaseThreshold) {
        GilRelease unlocked;
        written = D::update(&self->ctx, data.data, data.length, out, cap);
    } else {
        written = D::update(&self->ctx, data.data, data.length, out, cap);
    }
    if (written < 0) {
        raise_for(self, written, call);
        return -1;
    }
    return written;
}

template <class D>
PyObject *update(PyObject *op, PyObject *args, PyObject *kwargs) {
    auto *self = reinterpret_cast<StreamObject<D> *>(op);
    static const char *kwlist[] = {"data", nullptr};
    PyObject *data_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:update", const_cast<char **>(kwlist),
                                     &data_obj)) {
        return nullptr;
    }
    BusyGuard<D> guard(self);
    if (!guard) {
        return nullptr;
    }
    ConstView data;
    if (!data.acquire(data_obj, NoneAs::refused)) {
        return nullptr;
    }
    const int64_t needed = needed_for(self, data.view().length);
    if (needed < 0) {
        return nullptr;
    }
    Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(needed)));
    if (!result) {
        return nullptr;
    }
    auto *out = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result.get()));
    const int64_t written = run_update(self, data.view(), out, needed);
    if (written < 0) {
        return nullptr;
    }
    if (written != needed) {  // a decryption's first block: the bound was high
        PyObject *shrunk = result.release();
        if (_PyBytes_Resize(&shrunk, static_cast<Py_ssize_t>(written)) < 0) {
            return nullptr;
        }
        result = Ref::steal(shrunk);
    }
    return result.release();
}

template <class D>
PyObject *update_into(PyObject *op, PyObject *args, PyObject *kwargs) {
    auto *self = reinterpret_cast<StreamObject<D> *>(op);
    static const char *kwlist[] = {"data", "out", nullptr};
    PyObject *data_obj = nullptr;
    PyObject *out_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:update_into",
                                     const_cast<char **>(kwlist), &data_obj, &out_obj)) {
        return nullptr;
    }
    BusyGuard<D> guard(self);
    if (!guard) {
        return nullptr;
    }
    ConstView data;
    MutableView out;
    if (!data.acquire(data_obj, NoneAs::refused) || !out.acquire(out_obj, NoneAs::refused)) {
        return nullptr;
    }
    const int64_t needed = needed_for(self, data.view().length);
    if (needed < 0) {
        return nullptr;
    }
    const MutableByteView &into = out.view();
    if (into.length < needed) {
        PyErr_Format(PyExc_ValueError, "out is too small: this update writes %lld bytes, out holds %zd",
                     static_cast<long long>(needed), into.length);
        return nullptr;
    }
    const int64_t written = run_update(self, data.view(), into.data, into.length);
    return written < 0 ? nullptr : PyLong_FromLongLong(written);
}

// ---- finalize ------------------------------------------------------------------

PyObject *encryptor_finalize(PyObject *op, PyObject *) {
    auto *self = reinterpret_cast<StreamObject<Encrypting> *>(op);
    BusyGuard<Encrypting> guard(self);
    if (!guard) {
        return nullptr;
    }
    uint8_t last[QULO_STREAM_FINISH_MAX];  // ciphertext: nothing to clear
    const StatusPlace call = before_step(self, "finish", 0);
    const int64_t written = qulo_encryptor_finish(&self->ctx, last, sizeof last);
    if (written < 0) {
        return raise_for(self, written, call);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(last), written);
}

PyObject *decryptor_finalize(PyObject *op, PyObject *) {
    auto *self = reinterpret_cast<StreamObject<Decrypting> *>(op);
    BusyGuard<Decrypting> guard(self);
    if (!guard) {
        return nullptr;
    }
    const StatusPlace call = before_step(self, "finish", 0);
    const int64_t result = qulo_decryptor_finish(&self->ctx);
    if (result < 0) {
        return raise_for(self, result, call);
    }
    return PyBytes_FromStringAndSize(nullptr, 0);
}

// ---- construction and release ------------------------------------------------------

template <class D>
StreamObject<D> *allocate(PyTypeObject *type) {
    auto *self = reinterpret_cast<StreamObject<D> *>(type->tp_alloc(type, 0));
    // tp_alloc zero-fills: the context reads as never set up until init.
    return self;
}

PyObject *encryptor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"key", "length", "sumtable", "native_endian", nullptr};
    PyObject *key = nullptr;
    long long length = 0;
    PyObject *sumtable = Py_None;
    int native_endian = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OL|$Op:Encryptor",
                                     const_cast<char **>(kwlist), &key, &length, &sumtable,
                                     &native_endian)) {
        return nullptr;
    }
    CipherSetup setup;
    PyTypeObject *tea = cipher_args_state(type).tea_type;
    if (length < 0) {
        PyErr_Format(PyExc_ValueError, "length must not be negative, got %lld", length);
        return nullptr;
    }
    // The core knows the limit: a length it can give no ciphertext length.
    if (const qulo_op op{QULO_ENCRYPT, QULO_BIG_ENDIAN, nullptr, 0};
        qulo_output_capacity(&op, length) < 0) {
        PyErr_Format(PyExc_ValueError, "length %lld is above the largest plaintext length, %lld",
                     length, static_cast<long long>(QULO_MAX_PLAINTEXT_LEN));
        return nullptr;
    }
    if (!parse_cipher_setup(key, sumtable, {QULO_ENCRYPT, native_endian != 0, false}, tea,
                            setup)) {
        return nullptr;
    }
    auto *self = allocate<Encrypting>(type);
    if (self == nullptr) {
        return nullptr;
    }
    const int64_t total = qulo_encryptor_init(&self->ctx, &*setup.key, &setup.op, length);
    if (total < 0) {
        Py_DECREF(self);
        return raise_status(cipher_args_state(type).decryption_error, total,
                            {Encrypting::kName, "set-up", -1, 0, length});
    }
    return reinterpret_cast<PyObject *>(self);
}

PyObject *decryptor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"key", "sumtable", "native_endian", "verify", nullptr};
    PyObject *key = nullptr;
    PyObject *sumtable = Py_None;
    int native_endian = 0;
    int verify = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Opp:Decryptor",
                                     const_cast<char **>(kwlist), &key, &sumtable,
                                     &native_endian, &verify)) {
        return nullptr;
    }
    CipherSetup setup;
    PyTypeObject *tea = cipher_args_state(type).tea_type;
    if (!parse_cipher_setup(key, sumtable, {QULO_DECRYPT, native_endian != 0, verify != 0}, tea,
                            setup)) {
        return nullptr;
    }
    auto *self = allocate<Decrypting>(type);
    if (self == nullptr) {
        return nullptr;
    }
    if (const int64_t status = qulo_decryptor_init(&self->ctx, &*setup.key, &setup.op);
        status < 0) {
        Py_DECREF(self);
        return raise_status(cipher_args_state(type).decryption_error, status,
                            {Decrypting::kName, "set-up"});
    }
    return reinterpret_cast<PyObject *>(self);
}

template <class D>
void dealloc(PyObject *op) {
    auto *self = reinterpret_cast<StreamObject<D> *>(op);
    D::wipe(&self->ctx);
    PyTypeObject *type = Py_TYPE(op);
    type->tp_free(op);
    Py_DECREF(type);  // heap type instances hold a reference to their type
}

// ---- types and module ------------------------------------------------------------------

constexpr char kEncryptorUpdateDoc[] =
    "update($self, /, data)\n--\n\n"
    "Encrypts the next chunk of the plaintext (any bytes-like object) and returns\n"
    "the ciphertext it completes: a multiple of 8 bytes, the rest waiting for the\n"
    "next chunk. Raises ValueError when the data runs past the announced length.";
constexpr char kDecryptorUpdateDoc[] =
    "update($self, /, data)\n--\n\n"
    "Decrypts the next chunk of the ciphertext (any bytes-like object) and returns\n"
    "the plaintext that is now certain: everything but the last 7 decrypted bytes,\n"
    "which may turn out to be the trailer.";
constexpr char kUpdateIntoDoc[] =
    "update_into($self, /, data, out)\n--\n\n"
    "Like update(data), but writes into the writable buffer `out` and returns the\n"
    "number of bytes written. `out` must hold at least the bytes this update\n"
    "writes (len(data) + 16 always does); ValueError names both sizes when it is\n"
    "smaller, and is raised when data and out overlap.";
constexpr char kEncryptorFinalizeDoc[] =
    "finalize($self, /)\n--\n\n"
    "Returns the last 8 or 16 bytes of the ciphertext and wipes the key from the\n"
    "object; every later call raises ValueError. Raises ValueError (and stays\n"
    "usable) while announced bytes are missing.";
constexpr char kDecryptorFinalizeDoc[] =
    "finalize($self, /)\n--\n\n"
    "Checks the whole ciphertext as the one-message decryption does and returns\n"
    "b'' (all plaintext has already been returned). Raises ValueError when it is\n"
    "not a ciphertext, or with verify=True when its last 7 plaintext bytes are\n"
    "not zero (then discard what update returned). Wipes the key either way;\n"
    "every later call raises ValueError.";

// The n of max_output and check_length: an int64_t >= 0 to which the
// core's largest bound, an update's, can still be added; -1 with an
// exception set.
int64_t length_argument(PyObject *arg) {
    const long long n = PyLong_AsLongLong(arg);
    if (n == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "n must not be negative, got %lld", n);
        return -1;
    }
    const int64_t most = INT64_MAX - qulo_stream_update_max(0);
    if (n > most) {
        PyErr_Format(PyExc_OverflowError, "n must be at most %lld, got %lld",
                     static_cast<long long>(most), n);
        return -1;
    }
    return n;
}

// max_output(n): the most bytes an update of n bytes writes, whatever the
// stream's state, as the core bounds it: the size of an `out` reused for
// chunks of up to n bytes.
PyObject *max_output(PyObject *, PyObject *arg) {
    const int64_t n = length_argument(arg);
    return n < 0 ? nullptr : PyLong_FromLongLong(qulo_stream_update_max(n));
}

constexpr char kMaxOutputDoc[] =
    "max_output(n, /)\n--\n\n"
    "The most bytes update() of n bytes writes, whatever has been given before:\n"
    "the size of an `out` buffer reused by update_into() for chunks of up to n\n"
    "bytes.";

// check_length(n): the refusal finalize() gives a ciphertext of n bytes
// for its shape alone, asked before any of it is read, so that a caller who
// knows the size (a regular file) refuses it before writing a byte.
PyObject *check_length(PyObject *type, PyObject *arg) {
    const int64_t n = length_argument(arg);
    if (n < 0) {
        return nullptr;
    }
    const int64_t status = qulo_ciphertext_status(n);
    if (status < 0) {
        return raise_status(cipher_args_state(reinterpret_cast<PyTypeObject *>(type)).decryption_error,
                            status, {Decrypting::kName, "length", -1, n, 0});
    }
    Py_RETURN_NONE;
}

constexpr char kCheckLengthDoc[] =
    "check_length(n, /)\n--\n\n"
    "Raises the DecryptionError finalize() gives a ciphertext of n bytes for its\n"
    "length alone (fewer than 16, or not a multiple of 8); returns None for a\n"
    "length a ciphertext can have. For a caller that knows the size up front.";

PyMethodDef encryptor_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update<Encrypting>)),
     METH_VARARGS | METH_KEYWORDS, kEncryptorUpdateDoc},
    {"update_into",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_into<Encrypting>)),
     METH_VARARGS | METH_KEYWORDS, kUpdateIntoDoc},
    {"finalize", encryptor_finalize, METH_NOARGS, kEncryptorFinalizeDoc},
    {"max_output", max_output, METH_O | METH_STATIC, kMaxOutputDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef decryptor_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update<Decrypting>)),
     METH_VARARGS | METH_KEYWORDS, kDecryptorUpdateDoc},
    {"update_into",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_into<Decrypting>)),
     METH_VARARGS | METH_KEYWORDS, kUpdateIntoDoc},
    {"finalize", decryptor_finalize, METH_NOARGS, kDecryptorFinalizeDoc},
    {"max_output", max_output, METH_O | METH_STATIC, kMaxOutputDoc},
    {"check_length", check_length, METH_O | METH_CLASS, kCheckLengthDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kEncryptorDoc[] =
    "Encryptor(key, length, *, sumtable=None, native_endian=False)\n--\n\n"
    "Encrypts a plaintext of exactly `length` bytes in chunks, giving the same\n"
    "ciphertext as the TEA method of the same sums and byte order on the whole.\n"
    "`key` is a TEA object or 16 bytes and is copied now; `sumtable` (64 bytes)\n"
    "selects encrypt(), and native_endian=True with it encrypt_native_endian().";
constexpr char kDecryptorDoc[] =
    "Decryptor(key, *, sumtable=None, native_endian=False, verify=False)\n--\n\n"
    "Decrypts a ciphertext of any length in chunks, giving the same plaintext as\n"
    "the TEA method of the same sums and byte order on the whole. `key` is a TEA\n"
    "object or 16 bytes and is copied now. With verify=True, finalize() also\n"
    "checks the seven zero bytes every plaintext ends in before encryption: a\n"
    "wrong key, a changed block or a cut at a block boundary fails it (missed\n"
    "with odds 2**-56; no defence against chosen ciphertexts).";

PyType_Slot encryptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(encryptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<Encrypting>)},
    {Py_tp_methods, encryptor_methods},
    {Py_tp_doc, const_cast<char *>(kEncryptorDoc)},
    {0, nullptr},
};

PyType_Slot decryptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(decryptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<Decrypting>)},
    {Py_tp_methods, decryptor_methods},
    {Py_tp_doc, const_cast<char *>(kDecryptorDoc)},
    {0, nullptr},
};

PyType_Spec encryptor_spec = {
    "qulo._stream.Encryptor", sizeof(StreamObject<Encrypting>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, encryptor_slots};
PyType_Spec decryptor_spec = {
    "qulo._stream.Decryptor", sizeof(StreamObject<Decrypting>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, decryptor_slots};

int add_type(PyObject *module, PyType_Spec *spec) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, spec, nullptr));
    if (!type) {
        return -1;
    }
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject *>(type.get()));
}

// The incremental entry points in the order of qulo_stream_capi_names.
void *const kEntryPoints[] = {
    reinterpret_cast<void *>(qulo_encryptor_init),
    reinterpret_cast<void *>(qulo_encryptor_update_len),
    reinterpret_cast<void *>(qulo_encryptor_update),
    reinterpret_cast<void *>(qulo_encryptor_finish),
    reinterpret_cast<void *>(qulo_encryptor_length),
    reinterpret_cast<void *>(qulo_encryptor_given),
    reinterpret_cast<void *>(qulo_encryptor_wipe),
    reinterpret_cast<void *>(qulo_decryptor_init),
    reinterpret_cast<void *>(qulo_decryptor_update_len),
    reinterpret_cast<void *>(qulo_decryptor_update),
    reinterpret_cast<void *>(qulo_decryptor_finish),
    reinterpret_cast<void *>(qulo_decryptor_given),
    reinterpret_cast<void *>(qulo_decryptor_wipe),
};
static_assert(std::size(kEntryPoints) == QULO_STREAM_CAPI_COUNT);

int exec_module(PyObject *module) {
    if (!init_cipher_args_state(module) || add_type(module, &encryptor_spec) < 0 ||
        add_type(module, &decryptor_spec) < 0 ||
        !add_capsules(module, qulo_stream_capi_names, kEntryPoints)) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    interpreter_slot(),  // one interpreter per process: why in interpreters.hpp
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qulo._stream",
    "The qq mode in chunks: Encryptor and Decryptor (re-exported by qulo).",
    sizeof(CipherArgsState),
    nullptr,  // no functions: the types and the capsules are the module
    module_slots,
    traverse_cipher_args_state,
    clear_cipher_args_state,
    free_cipher_args_state,
};

}  // namespace

}  // namespace qulo

extern "C" PyMODINIT_FUNC PyInit__stream(void) { return PyModuleDef_Init(&qulo::module_def); }
