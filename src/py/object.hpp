// The module's objects are C++ classes behind the interpreter's slots. The class is the object:
// its first member is the interpreter's header, the others are ordinary members with default
// initialisers (py::Ref for each reference it owns, std::unique_ptr for anything else it owns)
// set by a constructor from what the object is made of. py::gc_new builds one, and the type's
// dealloc slot, py::dealloc<T>, destroys it:
//
//     struct Scope {
//         PyObject_HEAD
//         py::Ref home;
//         py::Ref submission_df = py::Ref::borrow(Py_None);
//         explicit Scope(PyObject* home_) noexcept : home(py::Ref::borrow(home_)) {}
//     };
//     {Py_tp_dealloc, py::slot(py::dealloc<Scope>)},
//     py::Ref scope = py::gc_new<Scope>(&ScopeType, home);
//
// The slots that see the object as the collector does (traverse, clear) list its references
// once (py::visit_members, type.hpp). A member whose offset the type gives the interpreter
// (__dict__, __module__ as a member) is a py::Ref, which is laid out as the PyObject* the
// interpreter reads and writes there; the weak-reference list is a plain PyObject*, which the
// interpreter keeps and the object does not own.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "py/ref.hpp"

namespace py {

static_assert(sizeof(Ref) == sizeof(PyObject*) && std::is_standard_layout<Ref>::value,
              "a Ref member is laid out as a PyObject* member");

// A new object of type (a collected type whose basic size is sizeof(T)) built as T(args...),
// tracked by the collector. Throws py::Error; a constructor that throws leaves nothing behind.
template <typename T, typename... Args>
Ref gc_new(PyTypeObject* type, Args&&... args) {
    static_assert(std::is_standard_layout<T>::value, "the header is the object's first member");
    PyObject* raw = check(reinterpret_cast<PyObject*>(PyObject_GC_New(T, type)));
    // The header that the allocation set (the reference count, the type) is kept across the
    // constructor, which leaves that member as it finds it only by chance.
    const PyObject head = *raw;
    T* made;
    try {
        made = ::new (static_cast<void*>(raw)) T(std::forward<Args>(args)...);
    } catch (...) {
        *raw = head;
        PyObject_GC_Del(raw);
        throw;
    }
    PyObject* o = reinterpret_cast<PyObject*>(made);
    *o = head;
    PyObject_GC_Track(o);
    return Ref::steal(o);
}

// The dealloc slot of a type built by gc_new: untracked, its weak references cleared, then T
// destroyed (its members release what they own) and the memory freed.
template <typename T>
void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    const Py_ssize_t weaklist = Py_TYPE(self)->tp_weaklistoffset;
    if (weaklist && *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + weaklist))
        PyObject_ClearWeakRefs(self);
    reinterpret_cast<T*>(self)->~T();
    PyObject_GC_Del(self);
}

} // namespace py
