// The module's types, declared as slot tables. Each is a static type (one per process, shared by
// every module object, immutable from Python on every release) made ready from a table read as
// PyType_FromSpec reads one:
//
//     PyTypeObject FunctionType = py::type_object();
//     const PyType_Slot function_slots[] = {
//         {Py_tp_dealloc, py::slot(py::dealloc<Function>)},   // py/object.hpp
//         ...
//         {0, nullptr},
//     };
//     py::ready(&FunctionType, {"competition.function", sizeof(Function), flags, function_slots});
#pragma once

#include <cstddef>
#include <type_traits>

#include "py/error.hpp"
#include "py/ref.hpp"

namespace py {

struct TypeSpec {
    const char* name;
    Py_ssize_t basicsize;
    unsigned long flags;
    const PyType_Slot* slots;  // ends with {0, nullptr}
    // The offsets that have no slot id before 3.9 (members named __dictoffset__ and the like).
    Py_ssize_t dictoffset = 0;
    Py_ssize_t weaklistoffset = 0;
    Py_ssize_t vectorcall_offset = 0;  // 3.8 and later
};

// A type object with its header set and every slot empty.
inline PyTypeObject type_object() noexcept {
    PyTypeObject t{};
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};  // the macro ends with a comma
    t.ob_base = head[0];
    return t;
}

template <typename F, typename = std::enable_if_t<std::is_function<F>::value>>
void* slot(F* function) noexcept {
    return reinterpret_cast<void*>(function);
}
// A method table or member table handed to a slot.
template <typename T, std::size_t N>
void* slot(T (&table)[N]) noexcept {
    return static_cast<void*>(table);
}

// The strong references an object keeps, listed once for its traverse and clear: py::Ref
// members, or PyObject* members of a C struct.
//
//     constexpr py::Ref Scope::*kMembers[] = {&Scope::home, &Scope::State, ...};
//     ... return py::visit_members(as_scope(self), kMembers, visit, arg);
template <typename T, std::size_t N>
int visit_members(T* o, Ref T::* const (&members)[N], visitproc visit, void* arg) {
    for (Ref T::* m : members) Py_VISIT((o->*m).get());
    return 0;
}
template <typename T, std::size_t N>
void clear_members(T* o, Ref T::* const (&members)[N]) noexcept {
    for (Ref T::* m : members) (o->*m).reset();
}
template <typename T, std::size_t N>
int visit_members(T* o, PyObject* T::* const (&members)[N], visitproc visit, void* arg) {
    for (PyObject* T::* m : members) Py_VISIT(o->*m);
    return 0;
}
template <typename T, std::size_t N>
void clear_members(T* o, PyObject* T::* const (&members)[N]) noexcept {
    for (PyObject* T::* m : members) Py_CLEAR(o->*m);
}

// The getter and setter of a str attribute kept in a member (__name__, __qualname__); the
// setter refuses anything but a str, naming the attribute given as its PyGetSetDef's closure.
template <typename T, Ref T::* Member>
PyObject* get_member(PyObject* self, void*) noexcept {
    return (reinterpret_cast<T*>(self)->*Member).new_ref();
}
template <typename T, Ref T::* Member>
int set_str_member(PyObject* self, PyObject* value, void* name) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(name));
        return -1;
    }
    reinterpret_cast<T*>(self)->*Member = Ref::borrow(value);
    return 0;
}

// Fills the type from its slot table and readies it; a type that is ready already is left as it is.
// Throws py::Error (SystemError for a slot id this table does not know).
void ready(PyTypeObject* type, const TypeSpec& type_spec);

} // namespace py
