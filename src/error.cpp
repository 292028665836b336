// The error value's raising and rendering, the pending exception, the
// PanicException class and the text of objects in messages.
#include "error.h"

#include <cstdio>

#include "once_cell.h"

namespace quorlix {

///////////////////////
/// Texts users see ///
///////////////////////
// Each exact text is the module's documented behaviour.
namespace {

constexpr const char* PANIC_EXCEPTION_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_DOC =
    "\nThe exception raised when the native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* PANIC_CLASS_FAILED = "Failed to initialize new exception type.: ";
constexpr const char* NO_EXCEPTION_SET = "attempted to fetch exception but none was set";
constexpr const char* API_CALL_FAILED = "Python API call failed";
constexpr const char* RESUMING_PANIC =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
constexpr const char* UNWRAPPED_PANIC = "Unwrapped panic from Python code";
constexpr const char* EXCEPTION_MISSING = "exception missing after writing to the interpreter";
constexpr const char* UNPRINTABLE = "<unprintable object>";
constexpr const char* NO_TYPE_NAME = "<failed to extract type name>";
constexpr const char* NO_TRACEBACK = "None";

std::string unprintable(std::string_view type_name) {
    return "<unprintable " + std::string(type_name) + " object>";
}

std::string cannot_convert(const std::string& type_name, const std::string& target) {
    return "'" + type_name + "' object cannot be converted to '" + target + "'";
}

std::string debug_text(const std::string& type, const std::string& value,
                       const std::string& traceback) {
    return "PyErr { type: " + type + ", value: " + value + ", traceback: " + traceback + " }";
}

}  // namespace

//////////////////////
/// PanicException ///
//////////////////////
namespace {

// A once-only cell: parallel first panics make the class once.
OnceCell<PyObject*> PANIC_EXCEPTION;

}  // namespace

PyObject* panic_exception_type() {
    auto r = PANIC_EXCEPTION.init_once_cell_py_attached([]() -> PyResult<PyObject*> {
        PyObject* cls = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_DOC,
                                                  PyExc_BaseException, nullptr);
        if (cls == nullptr) {
            // Not take(): it would ask for this very class.
            PyObject* exc = compat::get_raised_exception();
            PyErr err =
                exc != nullptr ? PyErr::normalized(exc) : PyErr::system_error(NO_EXCEPTION_SET);
            panic(PANIC_CLASS_FAILED + err.debug());
        }
        return cls;
    });
    return *r.value();
}

PyErr from_panic_payload(const Panic& p) { return PyErr::panic(p.message); }

//////////////////////////////
/// Fetching the exception ///
//////////////////////////////
namespace {

[[noreturn]] void print_panic_and_unwind(PyObject* exc) {
    std::string msg;
    if (PyObject* s = PyObject_Str(exc)) {
        msg = to_string_lossy(s);
        _Py_DecRef(s);
    } else {
        drop_pending();
        msg = UNWRAPPED_PANIC;
    }
    std::fputs(RESUMING_PANIC, stderr);
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
    return PyErr::system_error(NO_EXCEPTION_SET);
}

void drop_pending() {
    if (PyObject* exc = compat::get_raised_exception()) _Py_DecRef(exc);
}

void panic_after_error() {
    PyErr_Print();
    panic(API_CALL_FAILED);
}

////////////////////////
/// Object rendering ///
////////////////////////
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
            return unprintable({utf8, size_t(len)});
        }
    }
    drop_pending();
    return UNPRINTABLE;
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
    return NO_TYPE_NAME;
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
            Owned arg(new_str(cannot_convert(qualified_type_name(obj_), text_)));
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
        if (exc == nullptr) panic(EXCEPTION_MISSING);
        *this = PyErr::normalized(exc);
    }
    return obj_;
}

std::string PyErr::debug() {
    PyObject* exc = make_normalized();
    Owned tb(PyException_GetTraceback(exc));
    return debug_text(python_format(type_object(exc)), python_format(exc),
                      tb ? python_format(tb.get()) : NO_TRACEBACK);
}

}  // namespace quorlix
