// _core_probe: a test-only module that exposes the reader's core to the Python tests.
//
//   b64decode(data, skip_pads=False) -> bytes       the base64 decoder alone
//   decrypt_decode(data, skip_pads=False) -> bytes  the whole pipeline, fixed key and IV
//   aes_decrypt(data) -> bytes                      plain CBC decryption, fixed key and IV
//
// skip_pads selects PadRule::skip instead of PadRule::stop. Every failure is a ValueError
// carrying the core's status text. The input object is never changed: each call works on a
// new bytes object, which becomes the result.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "input/core.hpp"

namespace {

using competition::input::PadRule;
using competition::input::Status;

// The argument's bytes in a new bytes object of the same size, ours alone: created empty and
// then filled, because given its content the interpreter may hand back a shared object (the
// cached one-byte ones), which must never be written in place.
PyObject* copy_of(const Py_buffer& view) {
    PyObject* copy = PyBytes_FromStringAndSize(nullptr, view.len);
    if (copy && view.len > 0) std::memcpy(PyBytes_AS_STRING(copy), view.buf, static_cast<std::size_t>(view.len));
    return copy;
}

// Calls op on a copy of the argument; on ok, the copy cut to the length op reports.
template <typename Op>
PyObject* run(PyObject* args, bool with_rule, Op op) {
    Py_buffer view;
    int skip_pads = 0;
    const bool parsed =
        with_rule ? PyArg_ParseTuple(args, "y*|p", &view, &skip_pads) : PyArg_ParseTuple(args, "y*", &view);
    if (!parsed) return nullptr;
    PyObject* result = copy_of(view);
    PyBuffer_Release(&view);
    if (!result) return nullptr;

    unsigned char* buf = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(result));
    const std::size_t len = static_cast<std::size_t>(PyBytes_GET_SIZE(result));
    std::size_t out_len = len;
    const Status status = op(buf, len, skip_pads ? PadRule::skip : PadRule::stop, &out_len);
    if (status != Status::ok) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_ValueError, competition::input::status_text(status));
        return nullptr;
    }
    if (out_len != len && _PyBytes_Resize(&result, static_cast<Py_ssize_t>(out_len)) < 0)
        return nullptr;  // _PyBytes_Resize has released it
    return result;
}

PyObject* probe_b64decode(PyObject*, PyObject* args) {
    return run(args, true, [](unsigned char* buf, std::size_t len, PadRule rule, std::size_t* n) {
        return competition::input::b64_decode_inplace(buf, len, n, rule);
    });
}

PyObject* probe_decrypt_decode(PyObject*, PyObject* args) {
    return run(args, true, [](unsigned char* buf, std::size_t len, PadRule rule, std::size_t* n) {
        return competition::input::decrypt_decode(buf, len, competition::input::kKey, competition::input::kIv, n, rule);
    });
}

PyObject* probe_aes_decrypt(PyObject*, PyObject* args) {
    return run(args, false, [](unsigned char* buf, std::size_t len, PadRule, std::size_t* n) {
        *n = len;
        return competition::input::aes128_cbc_decrypt(buf, len, competition::input::kKey, competition::input::kIv);
    });
}

PyMethodDef kMethods[] = {
    {"b64decode", probe_b64decode, METH_VARARGS,
     "b64decode(data, skip_pads=False) -> bytes\n\nThe core's base64 decoder."},
    {"decrypt_decode", probe_decrypt_decode, METH_VARARGS,
     "decrypt_decode(data, skip_pads=False) -> bytes\n\nDecrypt, check and decode, in one pass."},
    {"aes_decrypt", probe_aes_decrypt, METH_VARARGS,
     "aes_decrypt(data) -> bytes\n\nAES-128-CBC decryption with the fixed key and IV."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_core_probe",
    "Test-only access to the reader's core.",
    -1,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

// Exported by hand: before 3.9 PyMODINIT_FUNC carries no visibility of its own.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core_probe(void) {
    PyObject* m = PyModule_Create(&kModule);
    if (!m) return nullptr;
    if (PyModule_AddIntConstant(m, "CHUNK_SIZE", static_cast<long>(competition::input::kChunkSize)) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
