// A small owned-reference type and call helpers over the CPython C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

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

// ---- calls -------------------------------------------------------------------------------

inline Ref call(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_CallNoArgs(callable));
#else
    return Ref::steal(PyObject_CallObject(callable, nullptr));
#endif
}

template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {args...};
    constexpr Py_ssize_t n = sizeof...(Args);
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_Vectorcall(callable, argv, n, nullptr));
#else
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple) return Ref();
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, new_ref(argv[i]));
    return Ref::steal(PyObject_Call(callable, tuple.get(), nullptr));
#endif
}

// callable(*args, **{kwname: kwvalue ...}) with keyword names given as a tuple of str.
inline Ref call_kw(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_Vectorcall(callable, args, nargs, kwnames));
#else
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return Ref();
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, new_ref(args[i]));
    Ref kwargs;
    if (nkw) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return Ref();
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return Ref();
    }
    return Ref::steal(PyObject_Call(callable, tuple.get(), kwargs.get()));
#endif
}

// obj.name(*args), name an interned str.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* argv[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(Args), nullptr));
#else
    Ref m = Ref::steal(PyObject_GetAttr(obj, name));
    if (!m) return Ref();
    return call(m.get(), args...);
#endif
}

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// Builds a tuple from borrowed items.
template <typename... Args>
Ref tuple(Args... args) {
    return Ref::steal(PyTuple_Pack(sizeof...(Args), args...));
}

// The truth of (a op b) through the full rich comparison, with no identity shortcut:
// -1 on error.
inline int compare(PyObject* a, PyObject* b, int op) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

} // namespace py
