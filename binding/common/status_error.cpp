#include "status_error.hpp"

#include "pyref.hpp"
#include "qulo/mode.h"

#include <cstring>

namespace qulo {

namespace {

// Why a failed check fails, in the words both kinds of place use.
constexpr const char kCheckCauses[] =
    "its last 7 plaintext bytes are not zero: a wrong key, sum table or byte order, or a "
    "damaged or cut ciphertext";

enum class Kind { decryption, value, overflow };

// A sentence for one kind of place, from what the place says.
using Sentence = PyObject *(*)(const StatusPlace &);

struct Row {
    int64_t status;
    Kind kind;
    const char *reason;  // DecryptionError.reason
    Sentence message;    // a message of a batch; null: never raised there
    Sentence stream;     // a stream object; null: never raised there
};

long long ll(int64_t v) { return static_cast<long long>(v); }

PyObject *not_a_ciphertext(const StatusPlace &p) {
    // A length asked about alone (Decryptor.check_length) was never given.
    const bool asked = std::strcmp(p.step, "length") == 0;
    return PyUnicode_FromFormat(
        "not a ciphertext: %lld bytes%s, a ciphertext is a multiple of 8 and at least 16 bytes%s",
        ll(p.length), asked ? "" : " given", asked ? "" : "; discard what update() returned");
}

constexpr Row kRows[] = {
    {QULO_E_SHORT, Kind::decryption, "short",
     [](const StatusPlace &p) {
         return PyUnicode_FromFormat("message %zd cannot be decrypted: %lld bytes, fewer than 16",
                                     p.index, ll(p.length));
     },
     not_a_ciphertext},
    {QULO_E_BLOCKS, Kind::decryption, "blocks",
     [](const StatusPlace &p) {
         return PyUnicode_FromFormat(
             "message %zd cannot be decrypted: %lld bytes, not a multiple of 8", p.index,
             ll(p.length));
     },
     not_a_ciphertext},
    {QULO_E_FILL, Kind::decryption, "fill",
     [](const StatusPlace &p) {
         return PyUnicode_FromFormat(
             "message %zd cannot be decrypted: its header claims a fill of 7 bytes, more than "
             "%lld bytes hold",
             p.index, ll(p.length));
     },
     [](const StatusPlace &) {
         return PyUnicode_FromString(
             "not a ciphertext under this key: its 16 bytes decrypt to fill count 7, which "
             "leaves no room for the plaintext");
     }},
    {QULO_E_CHECK, Kind::decryption, "check",
     [](const StatusPlace &p) {
         return PyUnicode_FromFormat("message %zd cannot be decrypted: %s", p.index,
                                     kCheckCauses);
     },
     [](const StatusPlace &) {
         return PyUnicode_FromFormat(
             "the ciphertext failed the check: %s; discard what update() returned",
             kCheckCauses);
     }},
    {kNotText, Kind::decryption, "text",
     [](const StatusPlace &p) {
         return PyUnicode_FromFormat(
             "message %zd cannot be decrypted as text: its plaintext is not valid UTF-8 (a "
             "wrong key, or binary values: decrypt without as_text)",
             p.index);
     },
     nullptr},
    {QULO_E_ARGUMENT, Kind::overflow, nullptr,
     [](const StatusPlace &p) {
         return PyUnicode_FromFormat(
             "message %zd: %lld bytes, more than a ciphertext length can count", p.index,
             ll(p.length));
     },
     nullptr},
    {QULO_E_STATE, Kind::value, nullptr, nullptr,
     [](const StatusPlace &p) { return PyUnicode_FromFormat("this %s is finalized", p.stream); }},
    {QULO_E_TOO_MUCH, Kind::value, nullptr, nullptr,
     [](const StatusPlace &p) {
         return PyUnicode_FromFormat(
             "data runs past the announced length: %lld bytes announced, %lld given",
             ll(p.announced), ll(p.length));
     }},
    {QULO_E_TOO_LITTLE, Kind::value, nullptr, nullptr,
     [](const StatusPlace &p) {
         return PyUnicode_FromFormat(
             "finalize() before the end of the data: %lld bytes announced, %lld given",
             ll(p.announced), ll(p.length));
     }},
    {QULO_E_OVERLAP, Kind::value, nullptr, nullptr,
     [](const StatusPlace &) { return PyUnicode_FromString("data and out overlap"); }},
};

PyObject *raise_unexpected(int64_t status, const StatusPlace &where) {
    if (where.stream != nullptr) {
        return PyErr_Format(PyExc_SystemError, "qulo stream %s refused (code %lld)", where.step,
                            ll(status));
    }
    return PyErr_Format(PyExc_SystemError, "message %zd: the cipher refused it (status %lld)",
                        where.index, ll(status));
}

}  // namespace

PyObject *raise_status(PyObject *decryption_error, int64_t status, const StatusPlace &where) {
    const Row *row = nullptr;
    for (const Row &r : kRows) {
        if (r.status == status) {
            row = &r;
        }
    }
    const Sentence sentence =
        row == nullptr ? nullptr : where.stream != nullptr ? row->stream : row->message;
    if (sentence == nullptr) {
        return raise_unexpected(status, where);
    }
    Ref message = Ref::steal(sentence(where));
    if (!message) {
        return nullptr;
    }
    switch (row->kind) {
    case Kind::decryption: {
        Ref index = Ref::steal(where.stream != nullptr ? Py_NewRef(Py_None)
                                                       : PyLong_FromSsize_t(where.index));
        // A refusal of the binding's own has no status of the core.
        Ref code = Ref::steal(status == kNotText ? Py_NewRef(Py_None) : PyLong_FromLongLong(status));
        Ref error = index && code ? Ref::steal(PyObject_CallFunction(
                                        decryption_error, "OOsO", message.get(), code.get(),
                                        row->reason, index.get()))
                                  : Ref();
        if (error) {
            PyErr_SetObject(decryption_error, error.get());
        }
        return nullptr;
    }
    case Kind::value:
        PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    case Kind::overflow:
        PyErr_SetObject(PyExc_OverflowError, message.get());
        return nullptr;
    }
    return nullptr;
}

PyObject *import_decryption_error() {
    Ref module = Ref::steal(PyImport_ImportModule("qulo._errors"));
    return module ? PyObject_GetAttrString(module.get(), "DecryptionError") : nullptr;
}

}  // namespace qulo
