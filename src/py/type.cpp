#include "py/type.hpp"

namespace py {

namespace {

// Stores one slot of the table in its field.
void fill_slot(PyTypeObject* t, const PyType_Slot& s) {
    switch (s.slot) {
    case Py_tp_dealloc:
        t->tp_dealloc = reinterpret_cast<destructor>(s.pfunc);
        return;
    case Py_tp_repr:
        t->tp_repr = reinterpret_cast<reprfunc>(s.pfunc);
        return;
    case Py_tp_call:
        t->tp_call = reinterpret_cast<ternaryfunc>(s.pfunc);
        return;
    case Py_tp_traverse:
        t->tp_traverse = reinterpret_cast<traverseproc>(s.pfunc);
        return;
    case Py_tp_clear:
        t->tp_clear = reinterpret_cast<inquiry>(s.pfunc);
        return;
    case Py_tp_iter:
        t->tp_iter = reinterpret_cast<getiterfunc>(s.pfunc);
        return;
    case Py_tp_iternext:
        t->tp_iternext = reinterpret_cast<iternextfunc>(s.pfunc);
        return;
    case Py_tp_methods:
        t->tp_methods = static_cast<PyMethodDef*>(s.pfunc);
        return;
    case Py_tp_members:
        t->tp_members = static_cast<PyMemberDef*>(s.pfunc);
        return;
    case Py_tp_getset:
        t->tp_getset = static_cast<PyGetSetDef*>(s.pfunc);
        return;
    case Py_tp_descr_get:
        t->tp_descr_get = reinterpret_cast<descrgetfunc>(s.pfunc);
        return;
    case Py_tp_doc:
        t->tp_doc = static_cast<const char*>(s.pfunc);
        return;
    default:
        raise_format(PyExc_SystemError, "%s: slot %d is not supported", t->tp_name, s.slot);
    }
}

} // namespace

void ready(PyTypeObject* type, const TypeSpec& type_spec) {
    if (type->tp_flags & Py_TPFLAGS_READY) return;
    type->tp_name = type_spec.name;
    type->tp_basicsize = type_spec.basicsize;
    type->tp_flags = type_spec.flags;
    for (const PyType_Slot* s = type_spec.slots; s->slot; ++s) fill_slot(type, *s);
    type->tp_dictoffset = type_spec.dictoffset;
    type->tp_weaklistoffset = type_spec.weaklistoffset;
#if PY_VERSION_HEX >= 0x03080000
    type->tp_vectorcall_offset = type_spec.vectorcall_offset;
#endif
    check(PyType_Ready(type));
}

} // namespace py
