// The native load: what the steps of __read_csv do when every name they go through is bound as
// the import bound it, to the libraries' own objects, done in one buffer. The file is read whole
// into one bytes object, decrypted, checked and base64-decoded in place (without the GIL for
// large files), cut to the decoded length in place (never moved, so that no copy of the
// plaintext is freed behind the reader's back) and handed to read_csv through a BytesIO that
// shares it. The buffer is zeroed once the frame is built or the load has failed.
//
// The regions that run without the GIL are plain C++ that reports by its result; the Python
// error is raised once the GIL is back.
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "input/core.hpp"
#include "input/names.hpp"
#include "input/reader.hpp"
#include "py/fast_path.hpp"

namespace competition {
namespace reader {

namespace {

constexpr Py_ssize_t kReleaseGilAbove = 1 << 16;

// ---- the objects the import bound, and whose they are ----------------------------------------

// Is the entry `name` of the namespace d the very object `bound` (null: is there none)?
bool entry_is(PyObject* d, PyObject* name, PyObject* bound) {
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (!v && PyErr_Occurred()) throw py::Error();
    return v == bound;
}

// Is the attribute `name` of obj the very object `bound`?
bool attribute_is(py::Handle obj, PyObject* name, PyObject* bound) { return obj.attr(name).get() == bound; }

// The globals: AES, base64 and BytesIO as imported, and open the builtin one (no global open).
bool globals_as_imported(PyObject* d, const ModuleState& st) {
    return entry_is(d, names::AES, st.bound_AES) && entry_is(d, names::base64, st.bound_base64) &&
           entry_is(d, names::BytesIO, st.bound_BytesIO) && entry_is(d, names::open, nullptr) &&
           entry_is(process.builtins, names::open, process.builtin_open);
}

// What the steps call through them: AES.new, AES.MODE_CBC, base64.b64decode.
bool attributes_as_imported(const ModuleState& st) {
    return attribute_is(st.bound_AES, names::new_, st.bound_AES_new) &&
           attribute_is(st.bound_AES, names::MODE_CBC, st.bound_MODE_CBC) &&
           attribute_is(st.bound_base64, names::b64decode, st.bound_b64decode);
}

// Is m a module object named `name`?
bool module_named(PyObject* m, const char* name) {
    if (!m || !PyModule_CheckExact(m)) return false;
    PyObject* d = PyModule_GetDict(m);
    PyObject* n = d ? PyDict_GetItemWithError(d, input_names::dunder_name) : nullptr;
    if (!n && PyErr_Occurred()) throw py::Error();
    return n && PyUnicode_Check(n) && PyUnicode_CompareWithASCIIString(n, name) == 0;
}

// Is f the function `name` that the module m defines: a plain function whose globals are m's
// namespace and whose code, of that name, comes from m's own file? A wrapper put in its place
// (a patched decoder, an auditing hook) is defined elsewhere, and fails this.
bool defined_by(PyObject* f, PyObject* m, const char* name) {
    if (!f || Py_TYPE(f) != &PyFunction_Type) return false;
    PyObject* d = PyModule_GetDict(m);
    if (PyFunction_GET_GLOBALS(f) != d) return false;
    PyObject* file = PyDict_GetItemWithError(d, names::dunder_file);
    if (!file && PyErr_Occurred()) throw py::Error();
    PyObject* code = PyFunction_GET_CODE(f);
    if (!file || !PyUnicode_Check(file) || !code || !PyCode_Check(code)) return false;
    PyCodeObject* c = reinterpret_cast<PyCodeObject*>(code);
    return PyUnicode_Check(c->co_name) && PyUnicode_CompareWithASCIIString(c->co_name, name) == 0 &&
           PyUnicode_Check(c->co_filename) && py::compare(c->co_filename, file, Py_EQ);
}

// Are the objects the steps go through the libraries' own: base64.b64decode and AES.new the
// functions of the base64 and Crypto.Cipher.AES modules' files, AES.MODE_CBC their CBC mode,
// BytesIO the io library's type and the builtin open the io library's function (not a
// replacement installed before the import, which the import would have bound as it found it)?
bool the_libraries_own(const ModuleState& st) {
    if (!module_named(st.bound_base64, "base64") || !module_named(st.bound_AES, "Crypto.Cipher.AES")) return false;
    if (!defined_by(st.bound_b64decode, st.bound_base64, "b64decode") ||
        !defined_by(st.bound_AES_new, st.bound_AES, "new"))
        return false;
    PyObject* cbc = st.bound_MODE_CBC;
    if (!PyLong_CheckExact(cbc) || PyLong_AsLong(cbc) != 2) {
        if (PyErr_Occurred()) throw py::Error();
        return false;
    }
    py::Ref io = py::take(PyImport_ImportModule("_io"));
    py::Ref own_open = io.attr(names::open);
    py::Ref own_BytesIO = io.attr(names::BytesIO);
    return PyCFunction_Check(own_open.get()) && process.builtin_open == own_open.get() &&
           PyType_Check(own_BytesIO.get()) && st.bound_BytesIO == own_BytesIO.get();
}

// ---- the pad rule -------------------------------------------------------------------------

// Asks b64decode how it treats alphabet characters after the pads that complete a quantum.
input::PadRule ask_pad_rule(py::Handle b64decode) {
    py::Ref text = py::str("QQ==QQ==");
    py::Ref decoded;
    if (!py::fast_path([&] { decoded = b64decode.call(text); })) return input::PadRule::skip;
    const bool stops = PyBytes_Check(decoded.get()) && PyBytes_GET_SIZE(decoded.get()) == 1;
    return stops ? input::PadRule::stop : input::PadRule::skip;
}

// How the running interpreter's non-validating b64decode treats alphabet characters after the
// pads that complete a quantum: older releases stop there, newer ones skip the pads and go on.
// Asked once, of the b64decode the import bound. An interrupt or a MemoryError while asking
// fails this load and leaves the question open.
input::PadRule pad_rule(PyObject* b64decode) {
    static int known = -1;  // -1 not asked yet, else the PadRule
    if (known < 0) known = static_cast<int>(ask_pad_rule(b64decode));
    return static_cast<input::PadRule>(known);
}

// ---- the file -----------------------------------------------------------------------------

[[noreturn]] void raise_os_error(PyObject* path, int error) {
    errno = error ? error : EIO;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw py::Error();
}

// Runs work() without the GIL when `release` says so. work is plain C++ that reports by its
// result: it cannot throw (nothing may unwind through a region without the GIL).
template <typename Work>
void without_gil_if(bool release, Work&& work) {
    static_assert(noexcept(work()), "work without the GIL reports by its result");
    if (!release) {
        work();
        return;
    }
    Py_BEGIN_ALLOW_THREADS work();
    Py_END_ALLOW_THREADS
}

// A file descriptor, closed when it goes.
class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&&) = delete;
    ~Fd() { close(); }
    int get() const noexcept { return fd_; }
    void close() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// An input file open for reading, and its size when it is a regular file, else -1 (its size is
// not known beforehand: it is read whole first).
struct InputFile {
    Fd fd;
    Py_ssize_t size;
};

// What open(path, "rb") tells the interpreter's audit hooks (from 3.8): the file opened, the
// raw mode and the flags of the open(2) call.
void audit_open(PyObject* path) {
#if PY_VERSION_HEX >= 0x03080000
    py::check(PySys_Audit("open", "Osi", path, "r", O_RDONLY | O_CLOEXEC));
#else
    (void)path;
#endif
}

InputFile open_input(PyObject* path) {
    audit_open(path);
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) throw py::Error();
    py::Ref fs_path = py::Ref::steal(encoded);
    const char* name = PyBytes_AS_STRING(fs_path.get());
    int error = 0;
    int raw = -1;
    without_gil_if(true, [&]() noexcept {
        raw = ::open(name, O_RDONLY | O_CLOEXEC);
        error = errno;
    });
    if (raw < 0) raise_os_error(path, error);
    InputFile file{Fd(raw), -1};
    struct stat st;
    if (::fstat(raw, &st) != 0) raise_os_error(path, errno);
    if (S_ISDIR(st.st_mode)) raise_os_error(path, EISDIR);
    if (S_ISREG(st.st_mode)) file.size = static_cast<Py_ssize_t>(st.st_size);
    return file;
}

struct FileSource {
    int fd;
    int error;
};

// Reads exactly n bytes, or fails (at the end of the file too: its length was known).
bool read_exactly(void* context, unsigned char* dst, std::size_t n) {
    FileSource* source = static_cast<FileSource*>(context);
    while (n > 0) {
        ssize_t got = ::read(source->fd, dst, n);
        if (got < 0) {
            if (errno == EINTR) continue;
            source->error = errno;
            return false;
        }
        if (got == 0) {
            source->error = EIO;  // the file shrank while being read
            return false;
        }
        dst += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// The rest of a file that is not a regular one, in one new bytes object; the file is closed
// once it has been read.
Plaintext read_whole(Fd& fd, PyObject* path) {
    Plaintext data(py::take(PyBytes_FromStringAndSize(nullptr, 1 << 16)));
    Py_ssize_t size = 0;
    for (;;) {
        if (size == data.size()) data.resize(size * 2);  // the file grew, or is not a regular file: make room
        ssize_t got = 0;
        int error = 0;
        unsigned char* dst = data.data() + size;
        const std::size_t room = static_cast<std::size_t>(data.size() - size);
        without_gil_if(true, [&]() noexcept {
            got = ::read(fd.get(), dst, room);
            error = errno;
        });
        if (got == 0) break;
        if (got > 0) {
            size += got;
            continue;
        }
        if (error != EINTR) raise_os_error(path, error);
        py::check(PyErr_CheckSignals());
    }
    fd.close();
    if (size != data.size()) data.resize(size);
    return data;
}

// ---- decryption and decoding in place -----------------------------------------------------

// What the pipeline made of the buffer: its verdict, and the length of the CSV bytes at its start.
struct Decoded {
    input::Status status = input::Status::ok;
    std::size_t length = 0;
};

// A regular file is read once, chunk by chunk, each chunk decrypted into its place in the
// buffer and decoded there while it is in cache.
Decoded read_decoding(InputFile& file, PyObject* path, Plaintext& data, input::PadRule rule) {
    const Py_ssize_t size = file.size;
    data = Plaintext(py::take(PyBytes_FromStringAndSize(nullptr, size > 0 ? size : 1)));
    prefer_huge_pages(data.get());
    unsigned char* buf = data.data();
    FileSource source = {file.fd.get(), 0};
    Decoded decoded;
    without_gil_if(size > kReleaseGilAbove, [&]() noexcept {
        decoded.status = input::read_decrypt_decode(read_exactly, &source, buf, static_cast<std::size_t>(size),
                                                    input::kKey, input::kIv, &decoded.length, rule);
    });
    file.fd.close();
    if (decoded.status == input::Status::read_error) raise_os_error(path, source.error);
    return decoded;
}

// Not a regular file: read it whole, then decrypt and decode it in place.
Decoded read_then_decode(InputFile& file, PyObject* path, Plaintext& data, input::PadRule rule) {
    data = read_whole(file.fd, path);
    unsigned char* buf = data.data();
    const std::size_t size = static_cast<std::size_t>(data.size());
    Decoded decoded;
    without_gil_if(true, [&]() noexcept {
        decoded.status = input::decrypt_decode(buf, size, input::kKey, input::kIv, &decoded.length, rule);
    });
    return decoded;
}

// The CSV bytes of the file at path, decrypted and decoded in the buffer the file was read into
// and cut to their length; an empty CSV when they decode to nothing.
Plaintext decrypt_file(PyObject* path, input::PadRule rule) {
    Plaintext data;
    Decoded decoded;
    {
        InputFile file = open_input(path);
        decoded = file.size < 0 ? read_then_decode(file, path, data, rule) : read_decoding(file, path, data, rule);
    }
    if (decoded.status != input::Status::ok) py::raise(PyExc_ValueError, input::status_text(decoded.status));
    // An interrupt that arrived while the GIL was released belongs to this load.
    py::check(PyErr_CheckSignals());
    if (decoded.length == 0) return Plaintext(py::take(PyBytes_FromStringAndSize("", 0)));  // all zeros by now
    shorten(data.get(), static_cast<Py_ssize_t>(decoded.length));
    return data;
}

} // namespace

bool bound_as_imported(PyObject* home, const ModuleState* st) {
    PyObject* d = home ? PyModule_GetDict(home) : nullptr;
    if (!d || !st || !st->bound_AES || !st->bound_base64 || !st->bound_b64decode || !st->bound_BytesIO) return false;
    bool native = false;
    // An ordinary error while looking (an attribute that raises) leaves it to the steps.
    py::fast_path(
        [&] { native = globals_as_imported(d, *st) && attributes_as_imported(*st) && the_libraries_own(*st); });
    return native;
}

py::Ref load_native(PyObject* home, const ModuleState& st, PyObject* path) {
    py::Ref BytesIO = py::Ref::borrow(st.bound_BytesIO);
    const input::PadRule rule = pad_rule(st.bound_b64decode);
    Plaintext csv = decrypt_file(path, rule);
    // By the time csv goes, the stream has been dropped; whatever the outcome, no plaintext
    // stays in the buffer.
    return parse(home, BytesIO.get(), csv.get());
}

} // namespace reader
} // namespace competition
