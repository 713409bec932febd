// A small owned-reference type and call helpers over the CPython C API. The accessors throw
// py::Error when the interpreter reports an error (error.hpp): a result is never null.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "py/error.hpp"

namespace py {

// Owns one strong reference (or none). Moving transfers it; release() hands it out.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return Ref(o); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : o_(other.o_) { other.o_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = o_;
            o_ = other.o_;
            other.o_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }

    PyObject* get() const noexcept { return o_; }
    PyObject* release() noexcept { PyObject* o = o_; o_ = nullptr; return o; }
    PyObject* new_ref() const noexcept { Py_XINCREF(o_); return o_; }
    explicit operator bool() const noexcept { return o_ != nullptr; }
    void reset() noexcept { Ref tmp(std::move(*this)); }

    // The accessors: each throws py::Error when the interpreter sets an error.
    Ref attr(PyObject* name) const;                     // self.name
    template <typename... Args> Ref call(const Args&... args) const;
    template <typename... Args> Ref method(PyObject* name, const Args&... args) const;
    Ref item(PyObject* key) const;                      // self[key]
    void set_attr(PyObject* name, PyObject* value) const;
    bool is_true() const;


private:
    explicit Ref(PyObject* o) noexcept : o_(o) {}
    PyObject* o_ = nullptr;
};

inline PyObject* new_ref(PyObject* o) noexcept { Py_INCREF(o); return o; }
inline PyObject* none() noexcept { return new_ref(Py_None); }

// Replaces *slot with a new strong reference to value (which may be null), releasing the old
// value last, so that a destructor running on release sees a consistent slot.
inline void assign(PyObject** slot, PyObject* value) noexcept {
    PyObject* old = *slot;
    Py_XINCREF(value);
    *slot = value;
    Py_XDECREF(old);
}
inline void clear(PyObject** slot) noexcept { Py_CLEAR(*slot); }

// The setter of a str attribute such as __name__: what names the error is `what`.
inline int set_str(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    assign(slot, value);
    return 0;
}

// ---- checked calls -------------------------------------------------------------------------
// Arguments are borrowed: PyObject* or Ref alike.

inline PyObject* arg(PyObject* o) noexcept { return o; }
inline PyObject* arg(const Ref& r) noexcept { return r.get(); }

// A new reference from the C API, or the error it set thrown.
inline Ref take(PyObject* o) {
    if (!o) throw Error();
    return Ref::steal(o);
}

inline Ref attr(PyObject* obj, PyObject* name) { return take(PyObject_GetAttr(obj, name)); }
inline Ref item(PyObject* obj, PyObject* key) { return take(PyObject_GetItem(obj, key)); }
// obj.name, or null where obj has no such attribute (AttributeError, cleared).
inline Ref optional_attr(PyObject* obj, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error();
    PyErr_Clear();
    return value;
}
inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value));
}
inline void set_item(PyObject* obj, PyObject* key, PyObject* value) {
    check(PyObject_SetItem(obj, key, value));
}
inline bool is_true(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }
inline Ref str(const char* text) { return take(PyUnicode_FromString(text)); }

inline Ref call(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
    return take(PyObject_CallNoArgs(callable));
#else
    return take(PyObject_CallObject(callable, nullptr));
#endif
}

// Builds a tuple from borrowed items.
template <typename... Args>
Ref tuple(const Args&... args) {
    return take(PyTuple_Pack(sizeof...(Args), arg(args)...));
}

template <typename... Args>
Ref call(PyObject* callable, const Args&... args) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* argv[] = {arg(args)...};
    return take(PyObject_Vectorcall(callable, argv, sizeof...(Args), nullptr));
#else
    // PyObject_Vectorcall is public from 3.9 on
    Ref packed = tuple(args...);
    return take(PyObject_Call(callable, packed.get(), nullptr));
#endif
}

// callable(*args, **{kwname: kwvalue ...}): the nargs positional values, then one value for each
// name of the tuple of str kwnames.
inline Ref call_kw(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return take(PyObject_Vectorcall(callable, args, nargs, kwnames));
#else
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref positional = take(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, new_ref(args[i]));
    Ref kwargs;
    if (nkw) {
        kwargs = take(PyDict_New());
        for (Py_ssize_t i = 0; i < nkw; ++i)
            check(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
    }
    return take(PyObject_Call(callable, positional.get(), kwargs.get()));
#endif
}

// callable(**{kwname: kwvalue}) and callable(arg, **{kwname: kwvalue}).
inline Ref call_keyword(PyObject* callable, PyObject* kwname, PyObject* kwvalue) {
    PyObject* args[] = {kwvalue};
    return call_kw(callable, args, 0, tuple(kwname).get());
}
inline Ref call_keyword(PyObject* callable, PyObject* arg, PyObject* kwname, PyObject* kwvalue) {
    PyObject* args[] = {arg, kwvalue};
    return call_kw(callable, args, 1, tuple(kwname).get());
}

// obj.name(*args), name an interned str.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, const Args&... args) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* argv[] = {obj, arg(args)...};
    return take(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(Args), nullptr));
#else
    return call(attr(obj, name).get(), args...);
#endif
}

// The truth of (a op b) through the full rich comparison, with no identity shortcut.
inline bool compare(PyObject* a, PyObject* b, int op) {
    return is_true(take(PyObject_RichCompare(a, b, op)).get());
}

inline Ref Ref::attr(PyObject* name) const { return py::attr(o_, name); }
template <typename... Args>
Ref Ref::call(const Args&... args) const { return py::call(o_, args...); }
template <typename... Args>
Ref Ref::method(PyObject* name, const Args&... args) const { return call_method(o_, name, args...); }
inline Ref Ref::item(PyObject* key) const { return py::item(o_, key); }
inline void Ref::set_attr(PyObject* name, PyObject* value) const { py::set_attr(o_, name, value); }
inline bool Ref::is_true() const { return py::is_true(o_); }


} // namespace py
