#include "frame.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorlix {

void trap_abort(const char* message) noexcept {
    std::fprintf(stderr, "quorlix: fatal: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

////////////////////////
/// Binding messages ///
////////////////////////
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
    PyErr wrapped =
        PyErr::type_error("argument '" + std::string(name) + "': " + python_format(exc));
    PyObject* fresh = wrapped.make_normalized();
    // Keep the conversion's cause, drop the conversion's exception itself.
    PyException_SetCause(fresh, PyException_GetCause(exc));
    return wrapped;
}

///////////////////
/// Conversions ///
///////////////////
PyResult<Bytes> from_py_object_bound(PyObject* obj) {
    if (!has_type_flag(obj, Py_TPFLAGS_BYTES_SUBCLASS)) return Err{PyErr::downcast(obj, "PyBytes")};
    auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AsString(obj));
    return Bytes(data, size_t(PyBytes_Size(obj)));
}

namespace {

PyErr out_of_range() {
    return PyErr::message([] { return PyExc_OverflowError; },
                          "out of range integral type conversion attempted");
}

// Through PyLong_AsLong, which also accepts objects with __index__.
PyResult<uint64_t> extract_small_unsigned(PyObject* obj, uint64_t max) {
    const long v = compat::as_long(obj);
    if (v == -1) {
        if (auto e = take()) return Err{std::move(*e)};
    }
    if (uint64_t(v) > max) return Err{out_of_range()};
    return uint64_t(v);
}

}  // namespace

PyResult<uint16_t> extract_u16(PyObject* obj) {
    TRY_LET(const uint64_t v, extract_small_unsigned(obj, UINT16_MAX));
    return uint16_t(v);
}

PyResult<uint32_t> extract_u32(PyObject* obj) {
    TRY_LET(const uint64_t v, extract_small_unsigned(obj, UINT32_MAX));
    return uint32_t(v);
}

PyResult<uint64_t> extract_u64(PyObject* obj) {
    unsigned long long v;
    if (has_type_flag(obj, Py_TPFLAGS_LONG_SUBCLASS)) {
        v = compat::as_unsigned_long_long(obj);
    } else {
        Owned index(PyNumber_Index(obj));
        if (!index) return Err{fetch()};
        v = compat::as_unsigned_long_long(index.get());
    }
    if (v == static_cast<unsigned long long>(-1)) {
        if (auto e = take()) return Err{std::move(*e)};
    }
    return uint64_t(v);
}

namespace {

OnceCell<PyObject*> BOOL_NAME;

// numpy.bool / numpy.bool_: decided by the type's module and name; any
// failure while asking means "not NumPy".
bool is_numpy_bool_type(PyTypeObject* type) {
    Owned module(compat::type_module_name(type));
    if (!module) {
        drop_pending();
        return false;
    }
    if (!has_type_flag(module.get(), Py_TPFLAGS_UNICODE_SUBCLASS) ||
        !compat::unicode_equals_utf8(module.get(), "numpy")) {
        return false;
    }
    Owned name(PyType_GetName(type));
    if (!name) {
        drop_pending();
        return false;
    }
    return compat::unicode_equals_utf8(name.get(), "bool_") ||
           compat::unicode_equals_utf8(name.get(), "bool");
}

PyResult<bool> numpy_bool_value(PyObject* obj) {
    PyObject* type = type_object(obj);
    Owned method(PyObject_GetAttr(type, intern(BOOL_NAME, "__bool__")));
    if (!method) {
        drop_pending();
        return Err{PyErr::type_error("object of type '" + python_format(type) +
                                     "' does not define a '__bool__' conversion")};
    }
    auto descr_get =
        reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(method.get()), Py_tp_descr_get));
    if (descr_get != nullptr) {
        method = Owned(descr_get(method.get(), obj, type));
        if (!method) return Err{fetch()};
    }
    Owned result(PyObject_CallNoArgs(method.get()));
    if (!result) return Err{fetch()};
    if (!Py_IS_TYPE(result.get(), &PyBool_Type))
        return Err{PyErr::downcast(result.get(), "PyBool")};
    return result.get() == compat::bool_constant(true);
}

}  // namespace

PyResult<bool> extract_bool(PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyBool_Type)) return obj == compat::bool_constant(true);
    if (is_numpy_bool_type(Py_TYPE(obj))) return numpy_bool_value(obj);
    return Err{PyErr::downcast(obj, "PyBool")};
}

}  // namespace quorlix
