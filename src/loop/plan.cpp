#include "loop/plan.hpp"

#include "module/globals.hpp"

namespace competition {

namespace {

py::Ref attr(PyObject* o, const char* name) { return py::Ref::steal(PyObject_GetAttrString(o, name)); }

py::Ref call_kw1(PyObject* callable, PyObject* arg, PyObject* kwname, PyObject* kwvalue) {
    py::Ref kwnames = py::tuple(kwname);
    if (!kwnames) return py::Ref();
    PyObject* args[] = {arg, kwvalue};
    return py::call_kw(callable, args, 1, kwnames.get());
}

py::Ref call_kw_only(PyObject* callable, PyObject* kwname, PyObject* kwvalue) {
    py::Ref kwnames = py::tuple(kwname);
    if (!kwnames) return py::Ref();
    PyObject* args[] = {kwvalue};
    return py::call_kw(callable, args, 0, kwnames.get());
}

py::Ref numpy() {
    if (!g.numpy) g.numpy = PyImport_ImportModule("numpy");
    return py::Ref::borrow(g.numpy);
}

py::Ref pandas() { return py::Ref::steal(PyImport_ImportModule("pandas")); }

// The list ['PlayId'], new on every use as the literal steps build it.
py::Ref playid_list() { return py::Ref::steal(Py_BuildValue("[O]", names::PlayId)); }

enum class KeyKind { unsupported, integer, floating, boolean, text };

// The key dtypes for which factorizing, sorting and hashing give exactly the group-by's keys
// and the element-wise equality of the mask.
KeyKind classify(PyObject* pd, PyObject* series) {
    py::Ref dtype = py::getattr(series, names::dtype);
    if (!dtype) return KeyKind::unsupported;
    py::Ref np = numpy();
    py::Ref np_dtype = np ? attr(np.get(), "dtype") : py::Ref();
    if (!np_dtype) return KeyKind::unsupported;
    if (Py_TYPE(dtype.get()) == reinterpret_cast<PyTypeObject*>(np_dtype.get()) ||
        PyObject_TypeCheck(dtype.get(), reinterpret_cast<PyTypeObject*>(np_dtype.get()))) {
        py::Ref kind = attr(dtype.get(), "kind");
        if (!kind || !PyUnicode_Check(kind.get())) return KeyKind::unsupported;
        if (PyUnicode_CompareWithASCIIString(kind.get(), "i") == 0 ||
            PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0)
            return KeyKind::integer;
        if (PyUnicode_CompareWithASCIIString(kind.get(), "f") == 0) return KeyKind::floating;
        if (PyUnicode_CompareWithASCIIString(kind.get(), "b") == 0) return KeyKind::boolean;
        if (PyUnicode_CompareWithASCIIString(kind.get(), "O") != 0) return KeyKind::unsupported;
        // object: only when every present value is a str
        py::Ref api = attr(pd, "api");
        py::Ref types = api ? attr(api.get(), "types") : py::Ref();
        py::Ref infer = types ? attr(types.get(), "infer_dtype") : py::Ref();
        if (!infer) return KeyKind::unsupported;
        py::Ref skipna = py::Ref::steal(PyUnicode_FromString("skipna"));
        py::Ref inferred = skipna ? call_kw1(infer.get(), series, skipna.get(), Py_True) : py::Ref();
        if (!inferred || !PyUnicode_Check(inferred.get())) return KeyKind::unsupported;
        if (PyUnicode_CompareWithASCIIString(inferred.get(), "string") == 0 ||
            PyUnicode_CompareWithASCIIString(inferred.get(), "empty") == 0)
            return KeyKind::text;
        return KeyKind::unsupported;
    }
    py::Ref string_dtype = attr(pd, "StringDtype");
    if (!string_dtype) return KeyKind::unsupported;
    int is_string = PyObject_IsInstance(dtype.get(), string_dtype.get());
    return is_string == 1 ? KeyKind::text : KeyKind::unsupported;
}

// True when a float column holds a negative zero, which compares equal to zero but prints
// differently: which of the two a group's key would be is then up to the sort.
int has_negative_zero(PyObject* series) {
    py::Ref np = numpy();
    if (!np) return -1;
    py::Ref values = py::call_method(series, names::to_numpy);
    if (!values) return -1;
    py::Ref signbit = attr(np.get(), "signbit");
    if (!signbit) return -1;
    py::Ref negative = py::call(signbit.get(), values.get());
    if (!negative) return -1;
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    py::Ref is_zero = py::Ref::steal(PyObject_RichCompare(values.get(), zero.get(), Py_EQ));
    if (!is_zero) return -1;
    py::Ref both = py::Ref::steal(PyNumber_And(negative.get(), is_zero.get()));
    if (!both) return -1;
    py::Ref any = py::call_method(both.get(), py::Ref::steal(PyUnicode_FromString("any")).get());
    if (!any) return -1;
    return PyObject_IsTrue(any.get());
}

// The one column named PlayId of a frame, or null (no error) when there is not exactly one.
py::Ref unique_key_column(PyObject* frame) {
    py::Ref columns = py::getattr(frame, names::columns);
    if (!columns) return py::Ref();
    py::Ref loc = py::call_method(columns.get(), py::Ref::steal(PyUnicode_FromString("get_loc")).get(),
                                  names::PlayId);
    if (!loc) return py::Ref();
    if (!PyLong_Check(loc.get())) return py::Ref();
    return py::Ref::steal(PyObject_GetItem(frame, names::PlayId));
}

// The positions of the rows, grouped by code in code order, each group in row order, rows
// with the missing code (-1) left out: a counting sort over the codes. *bounds gets ncodes + 1
// offsets into *order (PyMem, the caller frees it).
bool order_by_code(PyObject* codes, Py_ssize_t ncodes, py::Ref* order, Py_ssize_t** bounds) {
    py::Ref np = numpy();
    if (!np) return false;
    py::Ref intp = py::Ref::steal(PyUnicode_FromString("intp"));
    py::Ref contiguous = intp ? py::call_method(np.get(), py::Ref::steal(PyUnicode_FromString("ascontiguousarray")).get(),
                                                codes, intp.get())
                              : py::Ref();
    if (!contiguous) return false;
    Py_buffer in;
    if (PyObject_GetBuffer(contiguous.get(), &in, PyBUF_C_CONTIGUOUS) < 0) return false;
    const Py_ssize_t n = in.len / static_cast<Py_ssize_t>(sizeof(Py_ssize_t));
    const Py_ssize_t* code = static_cast<const Py_ssize_t*>(in.buf);
    Py_ssize_t* offsets = static_cast<Py_ssize_t*>(PyMem_Calloc(static_cast<std::size_t>(ncodes) + 2, sizeof(Py_ssize_t)));
    if (!offsets || in.itemsize != static_cast<Py_ssize_t>(sizeof(Py_ssize_t))) {
        PyBuffer_Release(&in);
        PyMem_Free(offsets);
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t c = code[i];
        if (c < -1 || c >= ncodes) {
            PyBuffer_Release(&in);
            PyMem_Free(offsets);
            PyErr_SetString(PyExc_ValueError, "factorize gave a code out of range");
            return false;
        }
        if (c >= 0) ++offsets[c + 2];
    }
    for (Py_ssize_t c = 0; c < ncodes; ++c) offsets[c + 2] += offsets[c + 1];
    // offsets[c + 1] is now where code c starts; filling moves it to where c ends
    py::Ref size = py::Ref::steal(PyLong_FromSsize_t(offsets[ncodes + 1]));
    py::Ref out = size ? py::call_method(np.get(), py::Ref::steal(PyUnicode_FromString("empty")).get(), size.get(),
                                         intp.get())
                       : py::Ref();
    Py_buffer dst;
    if (!out || PyObject_GetBuffer(out.get(), &dst, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
        PyBuffer_Release(&in);
        PyMem_Free(offsets);
        return false;
    }
    Py_ssize_t* positions = static_cast<Py_ssize_t*>(dst.buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t c = code[i];
        if (c >= 0) positions[offsets[c + 1]++] = i;
    }
    PyBuffer_Release(&dst);
    PyBuffer_Release(&in);
    // offsets[c + 1] is now where code c ends, which is where c + 1 starts; shift back by one
    offsets[0] = 0;
    *bounds = offsets;  // offsets[c] .. offsets[c + 1] for code c
    *order = std::move(out);
    return true;
}

// 1 indexed, 0 not eligible, -1 error.
int index_sample(Plan* p, PyObject* pd, PyObject* sample, PyObject* test_key, KeyKind kind,
                 PyObject* uniques) {
    py::Ref DataFrame = py::getattr(pd, names::DataFrame);
    if (!DataFrame) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(sample)) != DataFrame.get()) return 0;
    py::Ref key = unique_key_column(sample);
    if (!key) return PyErr_Occurred() ? -1 : 0;
    py::Ref tdtype = py::getattr(test_key, names::dtype);
    py::Ref sdtype = py::getattr(key.get(), names::dtype);
    if (!tdtype || !sdtype) return -1;
    if (Py_TYPE(tdtype.get()) != Py_TYPE(sdtype.get())) return 0;
    int same = py::compare(tdtype.get(), sdtype.get(), Py_EQ);
    if (same <= 0) return same;
    if (classify(pd, key.get()) != kind) return PyErr_Occurred() ? -1 : 0;
    if (kind == KeyKind::floating) {
        int nz = has_negative_zero(key.get());
        if (nz != 0) return nz < 0 ? -1 : 0;
    }
    py::Ref factorize = py::getattr(pd, names::factorize);
    if (!factorize) return -1;
    py::Ref fz = py::call(factorize.get(), key.get());
    if (!fz || !PyTuple_Check(fz.get()) || PyTuple_GET_SIZE(fz.get()) != 2) return PyErr_Occurred() ? -1 : 0;
    PyObject* codes = PyTuple_GET_ITEM(fz.get(), 0);
    PyObject* suniques = PyTuple_GET_ITEM(fz.get(), 1);
    Py_ssize_t ncodes = PyObject_Length(suniques);
    if (ncodes < 0) return -1;
    py::Ref where = py::call_method(suniques, names::get_indexer, uniques);
    if (!where) return -1;
    py::Ref where_list = py::call_method(where.get(), names::tolist);
    if (!where_list || !PyList_Check(where_list.get()) || PyList_GET_SIZE(where_list.get()) != p->ngroups)
        return PyErr_Occurred() ? -1 : 0;
    py::Ref order;
    Py_ssize_t* starts = nullptr;
    if (!order_by_code(codes, ncodes, &order, &starts)) return -1;
    Py_ssize_t* bounds = static_cast<Py_ssize_t*>(PyMem_Malloc((2 * p->ngroups + 1) * sizeof(Py_ssize_t)));
    if (!bounds) { PyMem_Free(starts); PyErr_NoMemory(); return -1; }
    for (Py_ssize_t gi = 0; gi < p->ngroups; ++gi) {
        Py_ssize_t c = PyLong_AsSsize_t(PyList_GET_ITEM(where_list.get(), gi));
        if (c < 0 || c >= ncodes) {
            bounds[2 * gi] = bounds[2 * gi + 1] = 0;
        } else {
            bounds[2 * gi] = starts[c];
            bounds[2 * gi + 1] = starts[c + 1];
        }
    }
    PyMem_Free(starts);
    if (PyErr_Occurred()) { PyMem_Free(bounds); return -1; }
    py::Ref columns_kw = py::Ref::steal(PyUnicode_FromString("columns"));
    py::Ref drop = py::getattr(sample, names::drop);
    py::Ref label = playid_list();
    py::Ref body = (drop && columns_kw && label) ? call_kw_only(drop.get(), columns_kw.get(), label.get())
                                                 : py::Ref();
    if (!body) { PyMem_Free(bounds); return -1; }
    p->sample_body = body.release();
    p->sample_order = order.release();
    p->sample_bounds = bounds;
    p->sample_indexed = true;
    return 1;
}

// 1 built, 0 not eligible, -1 error.
int build_indexed(Plan* p, PyObject* test, PyObject* sample) {
    py::Ref pd = pandas();
    if (!pd) return -1;
    py::Ref DataFrame = py::getattr(pd.get(), names::DataFrame);
    py::Ref RangeIndex = py::getattr(pd.get(), names::RangeIndex);
    if (!DataFrame || !RangeIndex) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(test)) != DataFrame.get()) return 0;
    // Row labels 0, 1, 2, ...: row order and label order are one.
    py::Ref index = py::getattr(test, names::index);
    if (!index) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(index.get())) != RangeIndex.get()) return 0;
    py::Ref start = py::getattr(index.get(), names::start);
    py::Ref step = py::getattr(index.get(), names::step);
    if (!start || !step) return -1;
    if (PyLong_AsLong(start.get()) != 0 || PyLong_AsLong(step.get()) != 1) return PyErr_Occurred() ? -1 : 0;

    py::Ref key = unique_key_column(test);
    if (!key) return PyErr_Occurred() ? -1 : 0;
    KeyKind kind = classify(pd.get(), key.get());
    if (kind == KeyKind::unsupported) return PyErr_Occurred() ? -1 : 0;
    if (kind == KeyKind::floating) {
        int nz = has_negative_zero(key.get());
        if (nz != 0) return nz < 0 ? -1 : 0;
    }

    // The keys as the sorted group-by gives them: factorized in sorted order, missing dropped.
    py::Ref factorize = py::getattr(pd.get(), names::factorize);
    if (!factorize) return -1;
    py::Ref fz = call_kw1(factorize.get(), key.get(), names::sort, Py_True);
    if (!fz || !PyTuple_Check(fz.get()) || PyTuple_GET_SIZE(fz.get()) != 2) return PyErr_Occurred() ? -1 : 0;
    PyObject* codes = PyTuple_GET_ITEM(fz.get(), 0);
    PyObject* uniques = PyTuple_GET_ITEM(fz.get(), 1);
    py::Ref keys = py::Ref::steal(PySequence_List(uniques));
    if (!keys) return -1;
    Py_ssize_t ngroups = PyList_GET_SIZE(keys.get());
    py::Ref order;
    Py_ssize_t* bounds = nullptr;
    if (!order_by_code(codes, ngroups, &order, &bounds)) return -1;
    p->keys = keys.release();
    p->test_order = order.release();
    p->test_bounds = bounds;
    p->ngroups = ngroups;
    p->next = 0;
    p->indexed = true;

    // The sample rows of each key; where that cannot be exact, each group uses the mask.
    int r = index_sample(p, pd.get(), sample, key.get(), kind, uniques);
    if (r < 0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
            return -1;
        PyErr_Clear();
    }
    return 1;
}

bool build_literal(Plan* p, PyObject* test) {
    // test_df.sort_values(by=['PlayId']).groupby('PlayId')
    py::Ref sort_values = py::getattr(test, names::sort_values);
    if (!sort_values) return false;
    py::Ref by = playid_list();
    if (!by) return false;
    py::Ref sorted = call_kw_only(sort_values.get(), names::by, by.get());
    if (!sorted) return false;
    py::Ref grouped = py::call_method(sorted.get(), names::groupby, names::PlayId);
    if (!grouped) return false;
    p->grouped_iter = PyObject_GetIter(grouped.get());
    return p->grouped_iter != nullptr;
}

// Unpacks an item into exactly two values, as `for (a, b) in ...` does.
bool unpack_pair(PyObject* item, py::Ref* first, py::Ref* second) {
    py::Ref it = py::Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    py::Ref* slots[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = py::Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    py::Ref extra = py::Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

} // namespace

int Plan::traverse(visitproc visit, void* arg) {
    Py_VISIT(keys);
    Py_VISIT(test_order);
    Py_VISIT(sample_body);
    Py_VISIT(sample_order);
    Py_VISIT(grouped_iter);
    return 0;
}

void Plan::clear() {
    Py_CLEAR(keys);
    Py_CLEAR(test_order);
    Py_CLEAR(sample_body);
    Py_CLEAR(sample_order);
    Py_CLEAR(grouped_iter);
    PyMem_Free(test_bounds);
    test_bounds = nullptr;
    PyMem_Free(sample_bounds);
    sample_bounds = nullptr;
    indexed = sample_indexed = false;
    ngroups = next = 0;
}

bool plan_build(Plan* p, PyObject* test_df, PyObject* sample_submission_df) {
    int r = build_indexed(p, test_df, sample_submission_df);
    if (r < 0 && !PyErr_Occurred()) r = 0;  // an unexpected shape of a result: not indexed
    if (r < 0) {
        // Anything unexpected on the indexed path: the literal steps decide what happens.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
            return false;
        PyErr_Clear();
        p->clear();
        r = 0;
    }
    if (r == 1) return true;
    p->clear();
    return build_literal(p, test_df);
}

bool plan_next_test_group(Plan* p, PyObject* test_df, py::Ref* key, py::Ref* test_group_df) {
    if (p->indexed) {
        if (p->next >= p->ngroups) return false;
        Py_ssize_t gi = p->next;
        py::Ref rows = py::Ref::steal(PySequence_GetSlice(p->test_order, p->test_bounds[gi], p->test_bounds[gi + 1]));
        if (!rows) return false;
        *test_group_df = py::call_method(test_df, names::take, rows.get());
        if (!*test_group_df) return false;
        *key = py::Ref::borrow(PyList_GET_ITEM(p->keys, gi));
        p->next = gi + 1;
        return true;
    }
    if (!p->grouped_iter) return false;
    py::Ref item = py::Ref::steal(PyIter_Next(p->grouped_iter));
    if (!item) return false;
    py::Ref group;
    if (!unpack_pair(item.get(), key, &group)) return false;
    *test_group_df = py::call_method(group.get(), names::sort_index);
    return bool(*test_group_df);
}

py::Ref plan_sample_frame(Plan* p, PyObject* sample_submission_df, PyObject* key) {
    if (p->indexed && p->sample_indexed) {
        Py_ssize_t gi = p->next - 1;
        py::Ref rows = py::Ref::steal(
            PySequence_GetSlice(p->sample_order, p->sample_bounds[2 * gi], p->sample_bounds[2 * gi + 1]));
        if (!rows) return py::Ref();
        return py::call_method(p->sample_body, names::take, rows.get());
    }
    // sample_submission_df[sample_submission_df['PlayId'] == key].drop(columns=['PlayId'])
    py::Ref column = py::Ref::steal(PyObject_GetItem(sample_submission_df, names::PlayId));
    if (!column) return py::Ref();
    py::Ref mask = py::Ref::steal(PyObject_RichCompare(column.get(), key, Py_EQ));
    if (!mask) return py::Ref();
    py::Ref rows = py::Ref::steal(PyObject_GetItem(sample_submission_df, mask.get()));
    if (!rows) return py::Ref();
    py::Ref drop = py::getattr(rows.get(), names::drop);
    py::Ref label = playid_list();
    py::Ref columns_kw = py::Ref::steal(PyUnicode_FromString("columns"));
    if (!drop || !label || !columns_kw) return py::Ref();
    return call_kw_only(drop.get(), columns_kw.get(), label.get());
}

} // namespace competition
