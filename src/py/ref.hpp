// The owned reference (py::Ref), the borrowed handle (py::Handle) and call helpers over the
// CPython C API. Both carry the same accessors, read as the Python they run:
//
//     frame.attr(names::columns)                                   frame.columns
//     read.call(path)                                              read(path)
//     os_path.method(names::join, directory, file_name)            os_path.join(directory, file_name)
//     frame.method(names::to_csv, {path}, {{names::index, Py_False}})
//                                                                  frame.to_csv(path, index=False)
//
// The accessors throw py::Error when the interpreter reports an error (error.hpp): a result is
// never null.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <utility>

#include "py/error.hpp"

namespace py {

class Ref;
class Handle;
struct Kw;

// The accessors of a reference, owned or borrowed: Self has get(), the object (never null when
// an accessor is called).
template <typename Self>
class Accessors {
public:
    Ref attr(PyObject* name) const;                     // self.name
    Ref optional_attr(PyObject* name) const;            // self.name, or null without the attribute
    template <typename... Args>
    Ref call(const Args&... args) const;  // self(*args)
    Ref call(std::initializer_list<Handle> args, std::initializer_list<Kw> kwargs) const;
    template <typename... Args>
    Ref method(PyObject* name, const Args&... args) const;
    Ref method(PyObject* name, std::initializer_list<Handle> args, std::initializer_list<Kw> kwargs) const;
    Ref item(PyObject* key) const;                      // self[key]
    void set_attr(PyObject* name, PyObject* value) const;
    void set_item(PyObject* key, PyObject* value) const;
    bool is_true() const;

private:
    PyObject* self() const noexcept { return static_cast<const Self*>(this)->get(); }
};

// Owns one strong reference (or none). Moving transfers it; release() hands it out.
class Ref : public Accessors<Ref> {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
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
    PyObject* release() noexcept {
        PyObject* o = o_;
        o_ = nullptr;
        return o;
    }
    PyObject* new_ref() const noexcept {
        Py_XINCREF(o_);
        return o_;
    }
    explicit operator bool() const noexcept { return o_ != nullptr; }
    // Drops the reference; the member is null before the object goes, as Py_CLEAR leaves it.
    void reset() noexcept { Ref tmp(std::move(*this)); }

private:
    explicit Ref(PyObject* o) noexcept : o_(o) {}
    PyObject* o_ = nullptr;
};

// A borrowed reference: the same accessors, nothing owned. What it names must outlive it.
// Made from a PyObject* or from a Ref, so that a parameter of this type takes either.
class Handle : public Accessors<Handle> {
public:
    Handle(PyObject* o) noexcept : o_(o) {}
    Handle(const Ref& r) noexcept : o_(r.get()) {}
    PyObject* get() const noexcept { return o_; }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    PyObject* o_;
};

// One keyword argument of a call: {name, value}, name an interned str, value borrowed.
struct Kw {
    PyObject* name;
    Handle value;
};

inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}
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
// The same for a member that is a Ref.
inline void assign(Ref* slot, PyObject* value) noexcept { *slot = Ref::borrow(value); }

// ---- checked calls -------------------------------------------------------------------------
// Arguments are borrowed: PyObject*, Ref or Handle alike.

inline PyObject* arg(PyObject* o) noexcept { return o; }
inline PyObject* arg(const Ref& r) noexcept { return r.get(); }
inline PyObject* arg(const Handle& h) noexcept { return h.get(); }

// A new reference from the C API, or the error it set thrown.
inline Ref take(PyObject* o) {
    if (!o) throw Error();
    return Ref::steal(o);
}

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

// The truth of (a op b) through the full rich comparison, with no identity shortcut.
inline bool compare(PyObject* a, PyObject* b, int op) { return Handle(take(PyObject_RichCompare(a, b, op))).is_true(); }

// A call with keywords laid out as vectorcall takes it: self (or a free slot), the positional
// values, then the keyword values; and the tuple of the keywords' names.
class KeywordCall {
public:
    KeywordCall(PyObject* self, std::initializer_list<Handle> args, std::initializer_list<Kw> kwargs)
        : large_(1 + args.size() + kwargs.size() > kSmall ? new PyObject*[1 + args.size() + kwargs.size()] : nullptr),
          nargs_(static_cast<Py_ssize_t>(args.size())),
          kwnames_(kwargs.size() ? take(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size()))) : Ref()) {
        PyObject** out = stack();
        *out++ = self;
        for (const Handle& a : args) *out++ = a.get();
        Py_ssize_t k = 0;
        for (const Kw& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames_.get(), k++, new_ref(kw.name));
            *out++ = kw.value.get();
        }
    }

    // callable(*args, **kwargs)
    Ref call(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
        return take(PyObject_Vectorcall(callable, stack() + 1, nargs_, kwnames_.get()));
#else
        PyObject* const* args = stack() + 1;
        Ref positional = take(PyTuple_New(nargs_));
        for (Py_ssize_t i = 0; i < nargs_; ++i) PyTuple_SET_ITEM(positional.get(), i, new_ref(args[i]));
        Ref kwargs;
        if (kwnames_) {
            kwargs = take(PyDict_New());
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames_.get()); ++i)
                check(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames_.get(), i), args[nargs_ + i]));
        }
        return take(PyObject_Call(callable, positional.get(), kwargs.get()));
#endif
    }
    // self.name(*args, **kwargs)
    Ref method(PyObject* name) {
#if PY_VERSION_HEX >= 0x03090000
        return take(PyObject_VectorcallMethod(name, stack(), nargs_ + 1, kwnames_.get()));
#else
        return call(Handle(stack()[0]).attr(name).get());
#endif
    }

private:
    static constexpr std::size_t kSmall = 8;
    PyObject** stack() noexcept { return large_ ? large_.get() : small_; }
    PyObject* small_[kSmall];
    std::unique_ptr<PyObject*[]> large_;
    Py_ssize_t nargs_;
    Ref kwnames_;
};

template <typename Self>
Ref Accessors<Self>::attr(PyObject* name) const {
    return take(PyObject_GetAttr(self(), name));
}
template <typename Self>
Ref Accessors<Self>::optional_attr(PyObject* name) const {
    Ref value = Ref::steal(PyObject_GetAttr(self(), name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error();
    PyErr_Clear();
    return value;
}
template <typename Self>
template <typename... Args>
Ref Accessors<Self>::call(const Args&... args) const {
    return py::call(self(), args...);
}
template <typename Self>
Ref Accessors<Self>::call(std::initializer_list<Handle> args, std::initializer_list<Kw> kwargs) const {
    return KeywordCall(nullptr, args, kwargs).call(self());
}
// self.name(*args), name an interned str
template <typename Self>
template <typename... Args>
Ref Accessors<Self>::method(PyObject* name, const Args&... args) const {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* argv[] = {self(), arg(args)...};
    return take(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(Args), nullptr));
#else
    return py::call(attr(name).get(), args...);
#endif
}
template <typename Self>
Ref Accessors<Self>::method(PyObject* name, std::initializer_list<Handle> args,
                            std::initializer_list<Kw> kwargs) const {
    return KeywordCall(self(), args, kwargs).method(name);
}
template <typename Self>
Ref Accessors<Self>::item(PyObject* key) const {
    return take(PyObject_GetItem(self(), key));
}
template <typename Self>
void Accessors<Self>::set_attr(PyObject* name, PyObject* value) const {
    check(PyObject_SetAttr(self(), name, value));
}
template <typename Self>
void Accessors<Self>::set_item(PyObject* key, PyObject* value) const {
    check(PyObject_SetItem(self(), key, value));
}
template <typename Self>
bool Accessors<Self>::is_true() const {
    return check(PyObject_IsTrue(self())) != 0;
}

} // namespace py
