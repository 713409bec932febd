// __read_csv(file_name):
//
//     def __read_csv(self, file_name):
//         path = os.path.join(os.path.dirname(__file__), file_name) + ".encrypted"
//         try:
//             obj = AES.new("sample-aes-key16".encode("utf8"), AES.MODE_CBC,
//                           "sample-iv-16byte".encode("utf8"))
//             with open(path, "rb") as f:
//                 csv = base64.b64decode(obj.decrypt(f.read()).decode("utf8"))
//                 df = pd.read_csv(BytesIO(csv), sep=",", low_memory=False)
//             return df
//         except:
//             self.__error("Failed to load input file [%s]." % path)
//
// One encrypted input file -> a DataFrame, decrypted in memory only.
//
// The file is read whole into one bytes object, decrypted, checked and base64-decoded in place
// (without the GIL for large files), cut to the decoded length in place (never moved, so that no
// copy of the plaintext is freed behind the reader's back) and handed to read_csv through a
// BytesIO that shares it (read_native.cpp). The buffer is zeroed once the frame is built or the
// load has failed.
// When a caller has rebound one of the names the steps go through (AES, base64, BytesIO, open)
// or one of the functions called through them (AES.new, AES.MODE_CBC, base64.b64decode), or
// when what the import bound is not the libraries' own (a function replaced before the import),
// the load goes through the objects as bound now, step by step, instead (below). The native
// load raises the "open" audit event that open(path, "rb") raises.
#include "input/names.hpp"
#include "input/reader.hpp"
#include "module/methods.hpp"

namespace competition {

namespace input_names {
PY_NAMES_DEFINE(COMPETITION_INPUT_NAMES)
void ready() { PY_NAMES_INTERN(COMPETITION_INPUT_NAMES) }
} // namespace input_names

namespace reader {

py::Ref parse(PyObject* home, py::Handle BytesIO, PyObject* csv) {
    py::Ref stream = BytesIO.call(csv);
    py::Ref read_csv = global(home, names::pd).attr(input_names::read_csv);
    py::Ref comma = py::str(",");
    return read_csv.call({stream}, {{input_names::sep, comma}, {input_names::low_memory, Py_False}});
}

} // namespace reader

namespace {

using reader::Received;

const char kKeyText[] = "sample-aes-key16";
const char kIvText[] = "sample-iv-16byte";

// While this lives, the error that was set is the exception being handled, as in an except
// clause; the exception handled before is back when it goes.
class Handling {
public:
    Handling() noexcept {
        py::Caught failure;
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        failure.handle();
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() { PyErr_SetExcInfo(type_, value_, traceback_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// path = os.path.join(os.path.dirname(__file__), file_name) + ".encrypted"
py::Ref input_path(PyObject* home, PyObject* file_name) {
    py::Ref os_path = global(home, names::os).attr(input_names::path);
    py::Ref file = global(home, names::dunder_file);
    py::Ref directory = os_path.method(input_names::dirname, file);
    py::Ref joined = os_path.method(input_names::join, directory, file_name);
    return py::take(PyNumber_Add(joined.get(), py::str(".encrypted").get()));
}

py::Ref utf8(const char* text) { return py::take(PyUnicode_AsEncodedString(py::str(text).get(), "utf8", nullptr)); }

// obj = AES.new("sample-aes-key16".encode("utf8"), AES.MODE_CBC, "sample-iv-16byte".encode("utf8"))
py::Ref new_cipher(PyObject* home) {
    py::Ref AES = global(home, names::AES);
    py::Ref key = utf8(kKeyText);
    py::Ref mode = AES.attr(names::MODE_CBC);
    py::Ref iv = utf8(kIvText);
    return AES.method(names::new_, key, mode, iv);
}

// Leaves a with block by the exception that is set: __exit__ is called with it, and it stands,
// unless __exit__ raises in its turn.
void exit_by_exception(py::Handle exit, PyObject* manager) {
    py::Caught failure;
    exit.call(manager, failure.type(), failure.value(), failure.traceback());
    failure.reraise();
}

// with manager as f: return body(f)
template <typename Body>
py::Ref with_block(PyObject* manager, Body&& body) {
    py::Handle type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
    py::Ref exit = type.attr(input_names::dunder_exit);
    py::Ref enter = type.attr(input_names::dunder_enter);
    py::Ref f = enter.call(manager);
    py::Ref result;
    try {
        result = body(f.get());
    } catch (const py::Error&) {
        exit_by_exception(exit, manager);
        throw;
    }
    exit.call(manager, Py_None, Py_None, Py_None);
    return result;
}

// csv = base64.b64decode(obj.decrypt(f.read()).decode("utf8"))
// df = pd.read_csv(BytesIO(csv), sep=",", low_memory=False)
// What was handed back to this load alone is zeroed before it is released, whatever the outcome.
py::Ref decrypt_and_parse(PyObject* home, py::Handle obj, py::Handle f) {
    py::Ref content = f.method(input_names::read);
    Received plain(obj.method(input_names::decrypt, content));
    Received text(plain.ref().method(input_names::decode, input_names::utf8));
    py::Ref base64 = global(home, names::base64);
    Received csv(base64.method(names::b64decode, text.ref()));
    py::Ref BytesIO = global(home, names::BytesIO);
    return reader::parse(home, BytesIO, csv.get());
}

// The steps one by one, through the objects the names are bound to now.
py::Ref load_stepwise(PyObject* home, PyObject* path) {
    py::Ref obj = new_cipher(home);
    py::Ref open = global(home, names::open);
    py::Ref rb = py::str("rb");
    py::Ref manager = open.call(path, rb);
    return with_block(manager.get(), [&](PyObject* f) { return decrypt_and_parse(home, obj, f); });
}

py::Ref load(PyObject* home, PyObject* path) {
    const ModuleState* st = module_state(home);
    if (reader::bound_as_imported(home, st)) return reader::load_native(home, *st, path);
    return load_stepwise(home, path);
}

// except: self.__error("Failed to load input file [%s]." % path)
// Every failure in the region, of whatever class, becomes the one message naming the path; the
// failure is the exception being handled while __error raises.
void refuse_load(py::Handle self, PyObject* path) {
    Handling failure;
    py::Ref msg = py::take(PyUnicode_Format(py::str("Failed to load input file [%s].").get(), path));
    refuse(self, msg.get());
}

} // namespace

PyObject* read_csv_impl(Function* f, PyObject* const* args) {
    input_names::ready();
    py::Handle self = args[0];
    py::Ref home = py::Ref::borrow(f->home.get());
    // The path, outside the protected region: its errors are the caller's to see.
    py::Ref path = input_path(home.get(), args[1]);
    try {
        return load(home.get(), path.get()).release();
    } catch (const py::Error&) {
        refuse_load(self, path.get());
    }
    return py::none();
}

} // namespace competition
