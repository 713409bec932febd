// _alloc_probe: a test-only module that makes one chosen allocation of the module under test fail.
//
//   start(module, n, trace=False)  from now on, the n-th allocation (counting from 0) that the
//                      module's own code asks the interpreter for fails, as when memory runs out;
//                      with trace, the C stack of that allocation is printed to stderr
//   stop() -> (counted, failed)  ends it: how many of the module's allocations were seen, and
//                      whether the chosen one was reached
//
// An allocation is the module's own when the first code on the C stack above the allocator that
// is not the interpreter's is the module's, with no frame of the eval loop between: what the
// module asks for through the C API, not what Python code it calls allocates, nor the
// deallocators of other extensions that its releases run. Failing those crashes some releases
// of numpy and pandas, with or without this module. Every allocator domain is wrapped; the
// interpreter's own allocators do the work.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <cstring>

namespace {

struct Hooked {
    PyMemAllocatorDomain domain;
    PyMemAllocatorEx saved;
};

Hooked hooked[] = {{PYMEM_DOMAIN_RAW, {}}, {PYMEM_DOMAIN_MEM, {}}, {PYMEM_DOMAIN_OBJ, {}}};
bool installed = false;
bool inside = false;  // the stack walk itself may allocate
void* target = nullptr;  // the load addresses of the module under test,
void* interpreter = nullptr;  // of the interpreter's own code
void* probe = nullptr;  // and of this module
long counted = 0, fail_at = -1;
bool failed = false;
bool trace = false;

bool from_target() {
    void* frames[24];
    const int n = backtrace(frames, 24);
    bool below_probe = true;  // a sanitizer's interceptor of backtrace() may come first
    for (int i = 0; i < n; ++i) {
        Dl_info info;
        if (!dladdr(frames[i], &info)) return false;
        if (info.dli_fbase == probe) {
            below_probe = false;
            continue;
        }
        if (below_probe) continue;
        if (info.dli_fbase == interpreter) {
            if (info.dli_sname && std::strstr(info.dli_sname, "EvalFrame")) return false;  // Python code's
            continue;
        }
        return info.dli_fbase == target;
    }
    return false;
}

bool should_fail() {
    if (!installed || inside) return false;
    inside = true;
    const bool ours = from_target();
    inside = false;
    if (!ours) return false;
    if (counted++ != fail_at) return false;
    failed = true;
    if (trace) {  // where it failed, for a failure the caller does not explain
        void* frames[24];
        backtrace_symbols_fd(frames, backtrace(frames, 24), 2);
    }
    return true;
}

void* hook_malloc(void* ctx, size_t size) {
    PyMemAllocatorEx* a = static_cast<PyMemAllocatorEx*>(ctx);
    return should_fail() ? nullptr : a->malloc(a->ctx, size);
}

void* hook_calloc(void* ctx, size_t n, size_t size) {
    PyMemAllocatorEx* a = static_cast<PyMemAllocatorEx*>(ctx);
    return should_fail() ? nullptr : a->calloc(a->ctx, n, size);
}

void* hook_realloc(void* ctx, void* p, size_t size) {
    PyMemAllocatorEx* a = static_cast<PyMemAllocatorEx*>(ctx);
    return should_fail() ? nullptr : a->realloc(a->ctx, p, size);
}

void hook_free(void* ctx, void* p) {
    PyMemAllocatorEx* a = static_cast<PyMemAllocatorEx*>(ctx);
    a->free(a->ctx, p);
}

void uninstall() {
    if (!installed) return;
    for (Hooked& h : hooked) PyMem_SetAllocator(h.domain, &h.saved);
    installed = false;
}

PyObject* probe_start(PyObject*, PyObject* args) {
    PyObject* module;
    long n;
    int with_trace = 0;
    if (!PyArg_ParseTuple(args, "Ol|p", &module, &n, &with_trace)) return nullptr;
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "not an extension module");
        return nullptr;
    }
    Dl_info info;
    if (!dladdr(def, &info)) {
        PyErr_SetString(PyExc_ValueError, "the module's code is not in a shared object");
        return nullptr;
    }
    uninstall();
    Dl_info self, python;
    if (!dladdr(reinterpret_cast<void*>(&hook_malloc), &self) ||
        !dladdr(reinterpret_cast<void*>(&PyObject_Malloc), &python)) {
        PyErr_SetString(PyExc_ValueError, "cannot tell where the interpreter's code is");
        return nullptr;
    }
    probe = self.dli_fbase;
    interpreter = python.dli_fbase;
    void* frames[4];
    backtrace(frames, 4);  // the first call loads the unwinder: not while hooked
    target = info.dli_fbase;
    counted = 0;
    fail_at = n;
    failed = false;
    trace = with_trace != 0;
    for (Hooked& h : hooked) {
        PyMem_GetAllocator(h.domain, &h.saved);
        PyMemAllocatorEx hook = {&h.saved, hook_malloc, hook_calloc, hook_realloc, hook_free};
        PyMem_SetAllocator(h.domain, &hook);
    }
    installed = true;
    Py_RETURN_NONE;
}

PyObject* probe_stop(PyObject*, PyObject*) {
    uninstall();
    return Py_BuildValue("(lO)", counted, failed ? Py_True : Py_False);
}

PyMethodDef kMethods[] = {
    {"start", probe_start, METH_VARARGS,
     "start(module, n, trace=False)\n\nFail the n-th allocation that the module's own code asks for."},
    {"stop", probe_stop, METH_NOARGS, "stop() -> (counted, failed)\n\nEnd the injection."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_alloc_probe",
    "Test-only failing allocations of one module.",
    -1,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// Exported by hand: before 3.9 PyMODINIT_FUNC carries no visibility of its own.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__alloc_probe(void) {
    return PyModule_Create(&kModule);
}
