// The error value's raising and rendering, the pending exception, the
// PanicException class and the text of objects in messages.
#include "error.h"

#include <cstdio>

#include "once_cell.h"

namespace quorlix {

//////////////////////
/// PanicException ///
//////////////////////
namespace {

OnceCell<PyObject*> PANIC_EXCEPTION;

constexpr const char* PANIC_DOC =
    "\nThe exception raised when the native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

}  // namespace

PyObject* panic_exception_type() {
    auto r = PANIC_EXCEPTION.init_once_cell_py_attached([]() -> PyResult<PyObject*> {
        PyObject* cls = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC,
                                                  PyExc_BaseException, nullptr);
        if (cls == nullptr) {
            // Not take(): it would ask for this very class.
            PyObject* exc = compat::get_raised_exception();
            PyErr err = exc != nullptr
                            ? PyErr::normalized(exc)
                            : PyErr::system_error("attempted to fetch exception but none was set");
            panic("Failed to initialize new exception type.: " + err.debug());
        }
        return cls;
    });
    return *r.value();
}

PyErr from_panic_payload(const Panic& p) { return PyErr::panic(p.message); }

///////////////////////////////
/// Fetching the exception ///
///////////////////////////////
namespace {

[[noreturn]] void print_panic_and_unwind(PyObject* exc) {
    std::string msg;
    if (PyObject* s = PyObject_Str(exc)) {
        msg = to_string_lossy(s);
        _Py_DecRef(s);
    } else {
        drop_pending();
        msg = "Unwrapped panic from Python code";
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    compat::set_raised_exception(exc);
    PyErr_PrintEx(0);
    panic(std::move(msg));
}

}  // namespace

std::optional<PyErr> take() {
    PyObject* exc = compat::get_raised_exception();
    if (exc == nullptr) return std::nullopt;
    if (type_object(exc) == panic_exception_type()) print_panic_and_unwind(exc);
    return PyErr::normalized(exc);
}

PyErr fetch() {
    if (auto e = take()) return std::move(*e);
    return PyErr::system_error("attempted to fetch exception but none was set");
}

void drop_pending() {
    if (PyObject* exc = compat::get_raised_exception()) _Py_DecRef(exc);
}

void panic_after_error() {
    PyErr_Print();
    panic("Python API call failed");
}

/////////////////////////
/// Object rendering ///
/////////////////////////
std::string to_string_lossy(PyObject* str) {
    Py_ssize_t len = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &len))
        return std::string(utf8, size_t(len));
    // Lone surrogates: each byte of their encoding that is not UTF-8
    // becomes U+FFFD.
    drop_pending();
    Owned bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) panic_after_error();
    Owned replaced(
        PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
    if (!replaced) panic_after_error();
    return to_string_lossy(replaced.get());  // no surrogates left: read at once
}

std::string python_format(PyObject* obj) {
    Owned s(PyObject_Str(obj));
    if (s) return to_string_lossy(s.get());
    PyErr_WriteUnraisable(obj);
    Owned name(PyType_GetName(Py_TYPE(obj)));
    if (name) {
        Py_ssize_t len = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &len)) {
            return "<unprintable " + std::string(utf8, size_t(len)) + " object>";
        }
    }
    drop_pending();
    return "<unprintable object>";
}

///////////////////////
/// The error value ///
///////////////////////
PyObject* new_str(std::string_view text) {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    if (s == nullptr) panic_after_error();
    return s;
}

namespace {

std::string qualified_type_name(PyObject* type) {
    Owned name(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (name) {
        Py_ssize_t len = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &len)) {
            return std::string(utf8, size_t(len));
        }
    }
    drop_pending();
    return "<failed to extract type name>";
}

}  // namespace

void PyErr::restore() && {
    switch (kind_) {
        case Kind::Normalized: compat::set_raised_exception(std::exchange(obj_, nullptr)); return;
        case Kind::Message: {
            Owned arg(new_str(text_));
            PyErr_SetObject(type_(), arg.get());
            return;
        }
        case Kind::Panic: {
            PyObject* cls = panic_exception_type();
            Owned args(PyTuple_New(1));
            if (!args) panic_after_error();
            if (PyTuple_SetItem(args.get(), 0, new_str(text_)) != 0) panic_after_error();
            PyErr_SetObject(cls, args.get());
            return;
        }
        case Kind::Downcast: {
            std::string msg = "'";
            msg += qualified_type_name(obj_);
            msg += "' object cannot be converted to '";
            msg += text_;
            msg += "'";
            Owned arg(new_str(msg));
            PyErr_SetObject(PyExc_TypeError, arg.get());
            return;
        }
    }
}

PyObject* PyErr::make_normalized() {
    if (kind_ != Kind::Normalized) {
        PyErr lazy = std::move(*this);
        std::move(lazy).restore();
        PyObject* exc = compat::get_raised_exception();
        if (exc == nullptr) panic("exception missing after writing to the interpreter");
        *this = PyErr::normalized(exc);
    }
    return obj_;
}

std::string PyErr::debug() {
    PyObject* exc = make_normalized();
    Owned tb(PyException_GetTraceback(exc));
    return "PyErr { type: " + python_format(type_object(exc)) + ", value: " + python_format(exc) +
           ", traceback: " + (tb ? python_format(tb.get()) : std::string("None")) + " }";
}

}  // namespace quorlix
