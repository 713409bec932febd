// The reader's plaintext in memory: zeroing a buffer once it is done with, cutting it to the
// decoded length without moving it, and the page advice for large buffers. Nothing here calls
// into the interpreter or can fail visibly: it runs on every way out of a load, error set or not.
#include <cstdint>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "input/reader.hpp"

namespace competition {
namespace reader {

namespace {

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

} // namespace

// The whole pages inside the buffer are handed back to the kernel, which reads them as zeros
// from then on (and clears them before any reuse); the edges are cleared here.
void zero(PyObject* bytes) noexcept {
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

// A shrinking realloc may move the buffer to a smaller block and free the old one as it is,
// plaintext and all; here the buffer never moves, so the allocator never copies or frees a
// block that holds plaintext before it has been zeroed. The bytes past n are zero already; the
// whole pages among them are handed back to the kernel.
void shorten(PyObject* bytes, Py_ssize_t n) noexcept {
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

// Before it is released: the objects the step-by-step load receives from the functions it
// calls. Anything shared, interned or of another type is left alone.
void wipe_if_sole(PyObject* o) noexcept {
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

// Far fewer page faults while the file is read in.
void prefer_huge_pages(PyObject* bytes) noexcept {
    std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
    char* first;
    std::size_t length;
    if (n >= (std::size_t(8) << 20) && inner_pages(PyBytes_AS_STRING(bytes), n, &first, &length))
        madvise(first, length, MADV_HUGEPAGE);
}

} // namespace reader
} // namespace competition
