// The module's one error channel. A Python error travels as the interpreter keeps it (set in the
// thread state) while the C++ unwinds with py::Error, thrown by the checking helpers below and by
// the owned reference's accessors (ref.hpp). It is caught only where the interpreter calls us:
// the function type's call, the generator's slots and module init, through py::boundary.
//
// Nothing throws without the GIL: the regions that release it (the reader's file I/O and
// decryption) are plain C++ that report by return value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace py {

// "A Python error is set." Carries nothing: the error itself is the interpreter's.
struct Error {};

[[noreturn]] inline void raise() { throw Error(); }

// Sets an error of `type` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw Error();
}
template <typename... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw Error();
}

// A result of the C API that is null exactly when an error is set (a borrowed reference, a
// pointer from PyModule_GetState, ...): returned as it is, or thrown.
template <typename T>
T* check(T* result) {
    if (!result) throw Error();
    return result;
}
// A status of the C API that is negative exactly when an error is set: the truth of
// PyObject_IsTrue, PyObject_RichCompareBool, PySequence_Contains; the 0 of the setters.
inline int check(int status) {
    if (status < 0) throw Error();
    return status;
}
// The Py_ssize_t of a length or an index, -1 exactly when an error is set.
inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n == -1 && PyErr_Occurred()) throw Error();
    return n;
}

// The error that is set, taken out of the thread state while other calls run (a cleanup that
// must not see it, or may raise and fail itself), and put back when this goes out of scope:
// the error that was set before wins over any error of the calls in between.
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        // 3.12 keeps one exception object; fetching a triple would normalize it needlessly.
        value_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { restore(); }

    bool pending() const noexcept { return value_ != nullptr || type_ != nullptr; }
    // Puts the saved error back now (dropping any error set since); nothing is left to restore.
    void restore() noexcept {
        if (!pending()) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_);
#else
        PyErr_Restore(type_, value_, traceback_);
#endif
        type_ = value_ = traceback_ = nullptr;
    }
    // Forgets the saved error: it is not restored.
    void discard() noexcept {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The error that is set, taken out of the thread state as an except clause receives it:
// normalized, its traceback on it. Released when this goes, unless it is set again (reraise) or
// made the exception being handled (handle).
class Caught {
public:
    Caught() noexcept {
        PyErr_Fetch(&type_, &value_, &traceback_);
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (value_ && traceback_) PyException_SetTraceback(value_, traceback_);
    }
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;
    ~Caught() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    // What sys.exc_info() would give (None for what is missing); borrowed.
    PyObject* type() const noexcept { return type_ ? type_ : Py_None; }
    PyObject* value() const noexcept { return value_ ? value_ : Py_None; }
    PyObject* traceback() const noexcept { return traceback_ ? traceback_ : Py_None; }

    // Sets it again, as it was caught.
    void reraise() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        forget();
    }
    // Makes it the exception being handled (sys.exc_info()).
    void handle() noexcept {
        PyErr_SetExcInfo(type_, value_, traceback_);
        forget();
    }

private:
    void forget() noexcept { type_ = value_ = traceback_ = nullptr; }
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Sets the Python error that stands for a C++ exception other than py::Error leaving our code.
inline void translate_foreign_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected internal error");
    }
}

// Runs body() where the interpreter calls us: its result, or `failed` with the Python error set.
template <typename Result, typename Body>
Result boundary(Result failed, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "an error was reported without an exception set");
    } catch (...) {
        translate_foreign_exception();
    }
    return failed;
}

} // namespace py
