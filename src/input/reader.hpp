// What the reader's files share: the parse step that both ways of loading end with, the load
// through the objects the import bound, and the holders that keep plaintext from outliving a
// load. The step-by-step load and the failure handling are in read_csv.cpp, the native load in
// read_native.cpp, the buffer and page handling in read_buffer.cpp.
#pragma once

#include <utility>

#include "module/globals.hpp"
#include "py/ref.hpp"

namespace competition {
namespace reader {

// pd.read_csv(BytesIO(csv), sep=",", low_memory=False), with pd as home's namespace binds it now.
py::Ref parse(PyObject* home, py::Handle BytesIO, PyObject* csv);

// Would the steps call exactly what the import bound, and is that the libraries' own? The names
// of the load (AES, base64, BytesIO, open) and the attributes the steps call through them
// (AES.new, AES.MODE_CBC, base64.b64decode): the native load stands for the libraries' own
// objects only (base64.b64decode and AES.new the functions their modules' files define, the CBC
// mode, io's BytesIO and open), not for a replacement made before the import, which the import
// bound as it found it. A module torn down (no namespace or state left) goes step by step, and
// fails there. An ordinary error while looking also leaves the load to the steps.
bool bound_as_imported(PyObject* home, const ModuleState* st);

// The load of the file at path through the objects the import bound, read, decrypted and
// decoded natively in one buffer.
py::Ref load_native(PyObject* home, const ModuleState& st, PyObject* path);

// ---- plaintext in memory (read_buffer.cpp) ------------------------------------------------

// Zeroes the buffer of a bytes object (null or empty: nothing to do).
void zero(PyObject* bytes) noexcept;

// Cuts a bytes object that only this load holds to its first n bytes (0 < n <= its size), in
// place, without moving its buffer.
void shorten(PyObject* bytes, Py_ssize_t n) noexcept;

// Zeroes a bytes object or an ASCII str that the caller holds the only reference to.
void wipe_if_sole(PyObject* o) noexcept;

// Asks the kernel for huge pages behind a large buffer.
void prefer_huge_pages(PyObject* bytes) noexcept;

// A bytes object of this load's own that holds, or is about to hold, plaintext: zeroed when it
// goes, on every way out.
class Plaintext {
public:
    Plaintext() noexcept = default;
    explicit Plaintext(py::Ref bytes) noexcept : bytes_(std::move(bytes)) {}
    Plaintext(Plaintext&&) noexcept = default;
    Plaintext& operator=(Plaintext&& other) noexcept {
        if (this != &other) {
            zero(bytes_.get());
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    ~Plaintext() { zero(bytes_.get()); }

    PyObject* get() const noexcept { return bytes_.get(); }
    unsigned char* data() const noexcept { return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes_.get())); }
    Py_ssize_t size() const noexcept { return PyBytes_GET_SIZE(bytes_.get()); }
    // Resizes the bytes object, which may move it: for a buffer that holds no plaintext yet.
    void resize(Py_ssize_t n) {
        PyObject* raw = bytes_.release();
        py::check(_PyBytes_Resize(&raw, n));  // on failure raw is released and null
        bytes_ = py::Ref::steal(raw);
    }

private:
    py::Ref bytes_;
};

// An object that a function called by the step-by-step load handed back (the plaintext, its
// text, the CSV bytes): zeroed when it goes if this load is then its only holder.
class Received {
public:
    explicit Received(py::Ref o) noexcept : o_(std::move(o)) {}
    Received(const Received&) = delete;
    Received& operator=(const Received&) = delete;
    ~Received() { wipe_if_sole(o_.get()); }

    PyObject* get() const noexcept { return o_.get(); }
    const py::Ref& ref() const noexcept { return o_; }

private:
    py::Ref o_;
};

} // namespace reader
} // namespace competition
