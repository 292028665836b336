// Converting argument objects to native values, with the interpreter's
// conversion errors.
#include "conversions.h"

#include <string>

#include "once_cell.h"

namespace quorlix {

///////////////////////
/// Texts users see ///
///////////////////////
// Each exact text is the module's documented behaviour.
namespace {

// The targets named by conversion errors.
constexpr const char* BYTES_TARGET = "PyBytes";
constexpr const char* BOOL_TARGET = "PyBool";

PyErr out_of_range() {
    return PyErr::message([] { return PyExc_OverflowError; },
                          "out of range integral type conversion attempted");
}

// What PyLong_AsLong raises past 64 bits where long has them.
PyErr too_large_for_long() {
    return PyErr::message([] { return PyExc_OverflowError; },
                          "Python int too large to convert to C long");
}

PyErr no_bool_conversion(PyObject* type) {
    return PyErr::type_error("object of type '" + python_format(type) +
                             "' does not define a '__bool__' conversion");
}

}  // namespace

///////////////////
/// Conversions ///
///////////////////
PyResult<Bytes> from_py_object_bound(PyObject* obj) {
    if (!has_type_flag(obj, Py_TPFLAGS_BYTES_SUBCLASS))
        return Err{PyErr::downcast(obj, BYTES_TARGET)};
    auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AsString(obj));
    return Bytes(data, size_t(PyBytes_Size(obj)));
}

namespace {

// Through PyLong_AsLongLongAndOverflow, which also accepts objects with
// __index__. Not PyLong_AsLong: long is 32 bits on Windows.
PyResult<uint64_t> extract_small_unsigned(PyObject* obj, uint64_t max) {
    int overflow = 0;
    const long long v = compat::as_long_long(obj, &overflow);
    if (overflow != 0) return Err{too_large_for_long()};
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

// A once-only cell: interned once however many threads ask first.
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
        return Err{no_bool_conversion(type)};
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
        return Err{PyErr::downcast(result.get(), BOOL_TARGET)};
    return result.get() == compat::bool_constant(true);
}

}  // namespace

PyResult<bool> extract_bool(PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyBool_Type)) return obj == compat::bool_constant(true);
    if (is_numpy_bool_type(Py_TYPE(obj))) return numpy_bool_value(obj);
    return Err{PyErr::downcast(obj, BOOL_TARGET)};
}

}  // namespace quorlix
