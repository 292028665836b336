// Argument binding and its TypeError messages.
#include "arguments.h"

#include <string>

namespace quorlix {

////////////////////////
/// Binding messages ///
////////////////////////
// In the interpreter's own wording: each exact text is the module's
// documented behaviour.
namespace {

std::string full_name(const FunctionDescription& d) { return std::string(d.func_name) + "()"; }

PyErr too_many_positional(const FunctionDescription& d, Py_ssize_t nargs) {
    const size_t n = d.params.size();
    std::string msg = full_name(d);
    if (d.required == n) {
        msg += " takes " + std::to_string(n);
    } else {
        msg += " takes from " + std::to_string(d.required) + " to " + std::to_string(n);
    }
    msg += " positional arguments but " + std::to_string(nargs) + " were given";
    return PyErr::type_error(std::move(msg));
}

PyErr unexpected_keyword(const FunctionDescription& d, PyObject* kw) {
    return PyErr::type_error(full_name(d) + " got an unexpected keyword argument '" +
                             python_format(kw) + "'");
}

PyErr multiple_values(const FunctionDescription& d, std::string_view name) {
    return PyErr::type_error(full_name(d) + " got multiple values for argument '" +
                             std::string(name) + "'");
}

// Quotes and joins parameter names as the interpreter's messages do:
// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string push_parameter_list(std::span<const std::string_view> names) {
    std::string out;
    for (size_t i = 0; i < names.size(); i++) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            if (i + 1 == names.size()) out += " and";
            out += " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

PyErr missing_required(const FunctionDescription& d, std::span<const Owned> slots) {
    std::string_view missing[MAX_PARAMS];
    size_t k = 0;
    for (size_t i = 0; i < d.required; i++) {
        if (!slots[i]) missing[k++] = d.params[i];
    }
    return PyErr::type_error(full_name(d) + " missing " + std::to_string(k) +
                             " required positional " + (k == 1 ? "argument" : "arguments") + ": " +
                             push_parameter_list({missing, k}));
}

// A conversion's message, prefixed with the parameter it failed for.
std::string conversion_failed(std::string_view name, const std::string& message) {
    return "argument '" + std::string(name) + "': " + message;
}

}  // namespace

///////////////
/// Binding ///
///////////////
PyResult<void> extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames,
                                          std::span<Owned, MAX_PARAMS> slots) {
    const size_t n = desc.params.size();
    if (n > MAX_PARAMS) panic("assertion failed: a function has at most MAX_PARAMS parameters");
    const size_t given = size_t(nargs);
    if (given > n) return Err{too_many_positional(desc, nargs)};
    for (size_t i = 0; i < given; i++) slots[i] = Owned::borrow(args[i]);

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < nkw; i++) {
            PyObject* kw = PyTuple_GetItem(kwnames, i);
            PyObject* value = args[nargs + i];
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(kw, &len);
            if (utf8 == nullptr) {
                drop_pending();
                return Err{unexpected_keyword(desc, kw)};
            }
            const std::string_view name(utf8, size_t(len));
            size_t j = 0;
            while (j < n && desc.params[j] != name) j++;
            if (j == n) return Err{unexpected_keyword(desc, kw)};
            if (slots[j]) return Err{multiple_values(desc, name)};
            slots[j] = Owned::borrow(value);
        }
    }

    if (given < desc.required) {
        for (size_t i = given; i < desc.required; i++) {
            if (!slots[i]) return Err{missing_required(desc, slots)};
        }
    }
    return {};
}

PyErr argument_extraction_error(std::string_view name, PyErr err) {
    PyObject* exc = err.make_normalized();
    if (type_object(exc) != PyExc_TypeError) return err;
    PyErr wrapped = PyErr::type_error(conversion_failed(name, python_format(exc)));
    PyObject* fresh = wrapped.make_normalized();
    // Keep the conversion's cause, drop the conversion's exception itself.
    PyException_SetCause(fresh, PyException_GetCause(exc));
    return wrapped;
}

}  // namespace quorlix
