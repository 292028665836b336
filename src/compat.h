// Interpreter calls that the targeted stable ABI may lack, supplied from
// older stable calls with the same observable behaviour. Everything that
// depends on the targeted interpreter version lives here and nowhere else.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#if defined(Py_LIMITED_API)
#define QUORLIX_API_AT_LEAST(hex) (Py_LIMITED_API + 0 >= (hex))
#else
#define QUORLIX_API_AT_LEAST(hex) (PY_VERSION_HEX >= (hex))
#endif

//////////////////////
/// CPython < 3.12 ///
//////////////////////
#if !QUORLIX_API_AT_LEAST(0x030C0000)

// The pending exception as one normalized object with its traceback attached.
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

// Steals the reference to exc; NULL clears the pending exception.
static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Restore(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

#endif

//////////////////////
/// CPython < 3.13 ///
//////////////////////
#if !QUORLIX_API_AT_LEAST(0x030D0000)

// type.__module__ reads the dictionary entry of heap types and derives the
// name from tp_name for static ones, as PyType_GetModuleName does.
static inline PyObject* PyType_GetModuleName(PyTypeObject* type) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
}

// Never raises: a string that cannot be encoded simply is not equal.
static inline int PyUnicode_EqualToUTF8AndSize(PyObject* unicode, const char* str,
                                               Py_ssize_t size) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(unicode, &len);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return 0;
    }
    return len == size && std::memcmp(utf8, str, size_t(size)) == 0;
}

#define Py_CONSTANT_FALSE 1
#define Py_CONSTANT_TRUE 2

static inline PyObject* Py_GetConstantBorrowed(unsigned int constant_id) {
    return constant_id == Py_CONSTANT_TRUE ? Py_True : Py_False;
}

#endif
