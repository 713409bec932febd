// __read_csv(file_name): one encrypted input file -> a DataFrame, decrypted in memory only.
//
// The file is read whole into one bytes object, decrypted, checked and base64-decoded in place
// (without the GIL for large files), cut to the decoded length in place (never moved, so that no
// copy of the plaintext is freed behind the reader's back) and handed to read_csv through a
// BytesIO that shares it. The buffer is zeroed once the frame is built or the load has failed.
// When a caller has rebound one of the names the steps go through (AES, base64, BytesIO, open)
// or one of the functions called through them (AES.new, AES.MODE_CBC, base64.b64decode), the
// load goes through the objects as bound now, step by step, instead.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "input/core.hpp"
#include "input/names.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {

namespace input_names {
PY_NAMES_DEFINE(COMPETITION_INPUT_NAMES)
void ready() { PY_NAMES_INTERN(COMPETITION_INPUT_NAMES) }
} // namespace input_names

namespace {

const char kKeyText[] = "sample-aes-key16";
const char kIvText[] = "sample-iv-16byte";
constexpr Py_ssize_t kReleaseGilAbove = 1 << 16;

// The whole pages inside [p, p + n).
bool inner_pages(char* p, std::size_t n, char** first, std::size_t* length) {
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(page - 1);
    if (end <= begin) return false;
    *first = reinterpret_cast<char*>(begin);
    *length = end - begin;
    return true;
}

// Zeroes the buffer of a bytes object. The whole pages inside it are handed back to the
// kernel, which reads them as zeros from then on (and clears them before any reuse); the
// edges are cleared here.
void zero(PyObject* bytes) {
    if (!bytes || PyBytes_GET_SIZE(bytes) == 0) return;
    char* p = PyBytes_AS_STRING(bytes);
    std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
    char* first;
    std::size_t length;
    if (n >= (std::size_t(1) << 20) && inner_pages(p, n, &first, &length) &&
        madvise(first, length, MADV_DONTNEED) == 0) {
        std::memset(p, 0, static_cast<std::size_t>(first - p));
        std::memset(first + length, 0, static_cast<std::size_t>(p + n - (first + length)));
        return;
    }
    std::memset(p, 0, n);
}

// Cuts a bytes object that only this load holds to its first n bytes (0 < n <= its size), in
// place. A shrinking realloc may move the buffer to a smaller block and free the old one as it
// is, plaintext and all; here the buffer never moves, so the allocator never copies or frees a
// block that holds plaintext before it has been zeroed. The bytes past n are zero already; the
// whole pages among them are handed back to the kernel.
void shorten(PyObject* bytes, Py_ssize_t n) {
    char* p = PyBytes_AS_STRING(bytes);
    const std::size_t cut = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes) - n);
    char* first;
    std::size_t length;
    if (cut >= (std::size_t(1) << 20) && inner_pages(p + n + 1, cut, &first, &length))
        madvise(first, length, MADV_DONTNEED);
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_SIZE(bytes, n);
#else
    Py_SIZE(bytes) = n;  // Py_SET_SIZE arrived in 3.9
#endif
    p[n] = '\0';
}

// Zeroes a bytes object or an ASCII str that the caller holds the only reference to, before
// it is released: the objects the step-by-step load receives from the functions it calls.
// Anything shared, interned or of another type is left alone.
void wipe_if_sole(PyObject* o) {
    if (!o || Py_REFCNT(o) != 1) return;
    if (PyBytes_CheckExact(o)) {
        zero(o);
    } else if (PyUnicode_CheckExact(o) &&
#if PY_VERSION_HEX < 0x030C0000
               PyUnicode_IS_READY(o) &&  // from 3.12 every str is ready
#endif
               PyUnicode_IS_COMPACT_ASCII(o) && !PyUnicode_CHECK_INTERNED(o)) {
        std::memset(PyUnicode_DATA(o), 0, static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
    }
}

// Large buffers are asked for huge pages: far fewer page faults while the file is read in.
void prefer_huge_pages(PyObject* bytes) {
    std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
    char* first;
    std::size_t length;
    if (n >= (std::size_t(8) << 20) && inner_pages(PyBytes_AS_STRING(bytes), n, &first, &length))
        madvise(first, length, MADV_HUGEPAGE);
}

// pd.read_csv(BytesIO(csv), sep=",", low_memory=False)
py::Ref parse(PyObject* home, PyObject* BytesIO, PyObject* csv) {
    py::Ref stream = py::unchecked::call(BytesIO, csv);
    if (!stream) return py::Ref();
    py::Ref pd = lookup_global(home, names::pd);
    if (!pd) return py::Ref();
    py::Ref read_csv = py::unchecked::getattr(pd.get(), input_names::read_csv);
    if (!read_csv) return py::Ref();
    py::Ref comma = py::Ref::steal(PyUnicode_FromString(","));
    py::Ref kwnames = py::unchecked::tuple(input_names::sep, input_names::low_memory);
    if (!comma || !kwnames) return py::Ref();
    PyObject* args[] = {stream.get(), comma.get(), Py_False};
    return py::unchecked::call_kw(read_csv.get(), args, 1, kwnames.get());
}

bool os_error(PyObject* path) {
    errno = errno ? errno : EIO;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
}

// The rest of an open file that is not a regular one (its size is not known beforehand), in
// one new bytes object. Closes fd.
py::Ref read_whole(int fd, PyObject* path) {
    py::Ref data = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, 1 << 16));
    if (!data) { ::close(fd); return py::Ref(); }
    Py_ssize_t size = 0;
    for (;;) {
        if (size == PyBytes_GET_SIZE(data.get())) {
            // the file grew, or is not a regular file: make room
            PyObject* raw = data.release();
            if (_PyBytes_Resize(&raw, size * 2) < 0) { ::close(fd); return py::Ref(); }
            data = py::Ref::steal(raw);
        }
        ssize_t got;
        char* dst = PyBytes_AS_STRING(data.get()) + size;
        std::size_t room = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()) - size);
        Py_BEGIN_ALLOW_THREADS
        got = ::read(fd, dst, room);
        Py_END_ALLOW_THREADS
        if (got < 0) {
            if (errno == EINTR) {
                if (PyErr_CheckSignals() < 0) { ::close(fd); zero(data.get()); return py::Ref(); }
                continue;
            }
            os_error(path);
            ::close(fd);
            zero(data.get());
            return py::Ref();
        }
        if (got == 0) break;
        size += got;
    }
    ::close(fd);
    if (size != PyBytes_GET_SIZE(data.get())) {
        PyObject* raw = data.release();
        if (_PyBytes_Resize(&raw, size) < 0) return py::Ref();
        data = py::Ref::steal(raw);
    }
    return data;
}

// How the running interpreter's non-validating b64decode treats alphabet characters after the
// pads that complete a quantum: older releases stop there, newer ones skip the pads and go on.
// Asked once, of the b64decode the import bound.
bool pad_rule(PyObject* b64decode, input::PadRule* rule) {
    static int known = -1;  // -1 not asked yet, else the PadRule
    if (known < 0) {
        py::Ref text = py::Ref::steal(PyUnicode_FromString("QQ==QQ=="));
        if (!text) return false;
        py::Ref decoded = py::unchecked::call(b64decode, text.get());
        if (!decoded) {
            PyErr_Clear();
            known = static_cast<int>(input::PadRule::skip);
        } else {
            bool stops = PyBytes_Check(decoded.get()) && PyBytes_GET_SIZE(decoded.get()) == 1;
            known = static_cast<int>(stops ? input::PadRule::stop : input::PadRule::skip);
        }
    }
    *rule = static_cast<input::PadRule>(known);
    return true;
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

// Opens the file; for a regular file gives its size, else -1 (read it whole first).
int open_input(PyObject* path, Py_ssize_t* size) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) return -1;
    py::Ref fs_path = py::Ref::steal(encoded);
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = ::open(PyBytes_AS_STRING(fs_path.get()), O_RDONLY | O_CLOEXEC);
    Py_END_ALLOW_THREADS
    if (fd < 0) {
        os_error(path);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        os_error(path);
        ::close(fd);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        os_error(path);
        return -1;
    }
    *size = S_ISREG(st.st_mode) ? static_cast<Py_ssize_t>(st.st_size) : -1;
    return fd;
}

py::Ref load_native(PyObject* home, const ModuleState* st, PyObject* path) {
    PyObject* BytesIO = st->bound_BytesIO;
    input::PadRule rule;
    if (!pad_rule(st->bound_b64decode, &rule)) return py::Ref();
    Py_ssize_t size = -1;
    int fd = open_input(path, &size);
    if (fd < 0) return py::Ref();
    py::Ref data;
    std::size_t decoded = 0;
    input::Status status;
    if (size < 0) {
        // Not a regular file: read it whole, then decrypt and decode it in place.
        data = read_whole(fd, path);
        if (!data) return py::Ref();
        size = PyBytes_GET_SIZE(data.get());
        unsigned char* buf = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data.get()));
        Py_BEGIN_ALLOW_THREADS
        status = input::decrypt_decode(buf, static_cast<std::size_t>(size), input::kKey, input::kIv,
                                       &decoded, rule);
        Py_END_ALLOW_THREADS
    } else {
        // The file is read once, chunk by chunk, each chunk decrypted into its place in the
        // buffer and decoded there while it is in cache.
        data = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, size > 0 ? size : 1));
        if (!data) {
            ::close(fd);
            return py::Ref();
        }
        prefer_huge_pages(data.get());
        unsigned char* buf = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data.get()));
        FileSource source = {fd, 0};
        if (size > kReleaseGilAbove) {
            Py_BEGIN_ALLOW_THREADS
            status = input::read_decrypt_decode(read_exactly, &source, buf, static_cast<std::size_t>(size),
                                                input::kKey, input::kIv, &decoded, rule);
            Py_END_ALLOW_THREADS
        } else {
            status = input::read_decrypt_decode(read_exactly, &source, buf, static_cast<std::size_t>(size),
                                                input::kKey, input::kIv, &decoded, rule);
        }
        ::close(fd);
        if (status == input::Status::read_error) {
            errno = source.error ? source.error : EIO;
            os_error(path);
            return py::Ref();
        }
    }
    if (status != input::Status::ok) {
        PyErr_SetString(PyExc_ValueError, input::status_text(status));
        return py::Ref();
    }
    // An interrupt that arrived while the GIL was released belongs to this load.
    if (PyErr_CheckSignals() < 0) {
        zero(data.get());
        return py::Ref();
    }

    py::Ref csv;
    if (decoded == 0) {
        data.reset();  // all zeros by now
        csv = py::Ref::steal(PyBytes_FromStringAndSize("", 0));  // nothing to parse: an empty CSV
        if (!csv) return py::Ref();
    } else {
        shorten(data.get(), static_cast<Py_ssize_t>(decoded));
        csv = std::move(data);
    }
    py::Ref df = parse(home, BytesIO, csv.get());
    // The stream has been dropped; whatever the outcome, no plaintext stays in the buffer.
    zero(csv.get());
    return df;
}

// The steps one by one, through the objects the names are bound to now.
py::Ref load_stepwise(PyObject* home, PyObject* path) {
    py::Ref AES = lookup_global(home, names::AES);
    if (!AES) return py::Ref();
    py::Ref key_text = py::Ref::steal(PyUnicode_FromString(kKeyText));
    py::Ref iv_text = py::Ref::steal(PyUnicode_FromString(kIvText));
    if (!key_text || !iv_text) return py::Ref();
    py::Ref key = py::Ref::steal(PyUnicode_AsEncodedString(key_text.get(), "utf8", nullptr));
    if (!key) return py::Ref();
    py::Ref mode = py::unchecked::getattr(AES.get(), names::MODE_CBC);
    if (!mode) return py::Ref();
    py::Ref iv = py::Ref::steal(PyUnicode_AsEncodedString(iv_text.get(), "utf8", nullptr));
    if (!iv) return py::Ref();
    py::Ref obj = py::unchecked::call_method(AES.get(), names::new_, key.get(), mode.get(), iv.get());
    if (!obj) return py::Ref();

    py::Ref open = lookup_global(home, names::open);
    if (!open) return py::Ref();
    py::Ref rb = py::Ref::steal(PyUnicode_FromString("rb"));
    if (!rb) return py::Ref();
    py::Ref manager = py::unchecked::call(open.get(), path, rb.get());
    if (!manager) return py::Ref();
    py::Ref exit = py::Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(manager.get())), input_names::dunder_exit));
    if (!exit) return py::Ref();
    py::Ref enter = py::Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(manager.get())), input_names::dunder_enter));
    if (!enter) return py::Ref();
    py::Ref f = py::unchecked::call(enter.get(), manager.get());
    if (!f) return py::Ref();

    py::Ref df;
    {
        py::Ref content = py::unchecked::call_method(f.get(), input_names::read);
        py::Ref plain = content ? py::unchecked::call_method(obj.get(), input_names::decrypt, content.get()) : py::Ref();
        py::Ref text = plain ? py::unchecked::call_method(plain.get(), input_names::decode, input_names::utf8) : py::Ref();
        py::Ref base64 = text ? lookup_global(home, names::base64) : py::Ref();
        py::Ref csv = base64 ? py::unchecked::call_method(base64.get(), names::b64decode, text.get()) : py::Ref();
        py::Ref BytesIO = csv ? lookup_global(home, names::BytesIO) : py::Ref();
        if (BytesIO) df = parse(home, BytesIO.get(), csv.get());
        // What was handed back to this load alone is zeroed before it is released (the error,
        // if any, stays set: zeroing calls nothing that could raise).
        wipe_if_sole(csv.get());
        wipe_if_sole(text.get());
        wipe_if_sole(plain.get());
    }
    if (!df) {
        // Leave the with block by the exception: the file is closed, the error stands.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        py::Ref r = py::unchecked::call(exit.get(), manager.get(), type ? type : Py_None, value ? value : Py_None,
                             tb ? tb : Py_None);
        if (!r) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            return py::Ref();
        }
        PyErr_Restore(type, value, tb);
        return py::Ref();
    }
    if (!py::unchecked::call(exit.get(), manager.get(), Py_None, Py_None, Py_None)) return py::Ref();
    return df;
}

// Is the attribute `name` of obj the very object `bound`? 1 yes, 0 no, -1 error.
int attribute_is(PyObject* obj, PyObject* name, PyObject* bound) {
    py::Ref v = py::unchecked::getattr(obj, name);
    if (!v) return -1;
    return v.get() == bound;
}

// Would the steps call exactly what the import bound? The names of the load (AES, base64,
// BytesIO, open) and the attributes the steps call through them (AES.new, AES.MODE_CBC,
// base64.b64decode): the native path stands for those objects only.
// A module torn down (no namespace or state left) goes step by step, and fails there.
int bound_as_imported(PyObject* home, const ModuleState* st) {
    PyObject* d = home ? PyModule_GetDict(home) : nullptr;
    if (!d || !st || !st->bound_AES || !st->bound_base64 || !st->bound_b64decode || !st->bound_BytesIO) return 0;
    PyObject* aes = PyDict_GetItemWithError(d, names::AES);
    if (aes != st->bound_AES) return PyErr_Occurred() ? -1 : 0;
    PyObject* base64 = PyDict_GetItemWithError(d, names::base64);
    if (base64 != st->bound_base64) return PyErr_Occurred() ? -1 : 0;
    if (PyDict_GetItemWithError(d, names::BytesIO) != st->bound_BytesIO) return PyErr_Occurred() ? -1 : 0;
    if (PyDict_GetItemWithError(d, names::open) != nullptr || PyErr_Occurred()) return PyErr_Occurred() ? -1 : 0;
    if (PyDict_GetItemWithError(g.builtins, names::open) != g.builtin_open) return PyErr_Occurred() ? -1 : 0;
    int same = attribute_is(aes, names::new_, st->bound_AES_new);
    if (same <= 0) return same;
    same = attribute_is(aes, names::MODE_CBC, st->bound_MODE_CBC);
    if (same <= 0) return same;
    return attribute_is(base64, names::b64decode, st->bound_b64decode);
}

py::Ref load(PyObject* home, PyObject* path) {
    const ModuleState* st = module_state(home);
    int native = bound_as_imported(home, st);
    if (native < 0) return py::Ref();
    if (native) return load_native(home, st, path);
    return load_stepwise(home, path);
}

} // namespace

PyObject* read_csv_impl(Function* f, PyObject* const* args) {
    input_names::ready();
    PyObject* self = args[0];
    PyObject* file_name = args[1];
    py::Ref home_ref = py::Ref::borrow(f->home);
    PyObject* home = home_ref.get();

    // The path, outside the protected region: its errors are the caller's to see.
    py::Ref path;
    {
        py::Ref os = lookup_global(home, names::os);
        if (!os) return nullptr;
        py::Ref os_path = py::unchecked::getattr(os.get(), input_names::path);
        if (!os_path) return nullptr;
        py::Ref file = lookup_global(home, names::dunder_file);
        if (!file) return nullptr;
        py::Ref directory = py::unchecked::call_method(os_path.get(), input_names::dirname, file.get());
        if (!directory) return nullptr;
        py::Ref joined = py::unchecked::call_method(os_path.get(), input_names::join, directory.get(), file_name);
        if (!joined) return nullptr;
        py::Ref suffix = py::Ref::steal(PyUnicode_FromString(".encrypted"));
        if (!suffix) return nullptr;
        path = py::Ref::steal(PyNumber_Add(joined.get(), suffix.get()));
        if (!path) return nullptr;
    }

    py::Ref df = load(home, path.get());
    if (df) return df.release();

    // Every failure in the region, of whatever class, becomes the one message naming the path.
    // The failure is the exception being handled while __error raises.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_GetExcInfo(&saved_type, &saved_value, &saved_tb);
    PyErr_SetExcInfo(type, value, tb);  // steals
    bool returned = false;
    {
        py::Ref format = py::Ref::steal(PyUnicode_FromString("Failed to load input file [%s]."));
        py::Ref msg = format ? py::Ref::steal(PyUnicode_Format(format.get(), path.get())) : py::Ref();
        returned = msg && refuse_unchecked(self, msg.get());
    }
    PyErr_SetExcInfo(saved_type, saved_value, saved_tb);  // steals
    if (returned) Py_RETURN_NONE;
    return nullptr;
}

} // namespace competition
