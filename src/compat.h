// Interpreter calls that the targeted stable ABI (or PyPy) may lack,
// supplied from older calls with the same observable behaviour. Everything
// that depends on the targeted interpreter lives here and nowhere else.
//
// The names are the module's own: newer interpreter headers declare the real
// calls whatever Py_LIMITED_API says, so a stand-in of the same name would
// clash with them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstring>
#include <string_view>

#if defined(Py_LIMITED_API)
#define QUORLIX_API_AT_LEAST(hex) (Py_LIMITED_API + 0 >= (hex))
#else
#define QUORLIX_API_AT_LEAST(hex) (PY_VERSION_HEX >= (hex))
#endif

////////////
/// PyPy ///
////////////

// PyPy has no stable ABI and builds against its own C API emulation, which
// names or lacks a few calls differently. Macros, so that the rest of the
// module calls the CPython names either way.
#if defined(PYPY_VERSION)
// The reference count calls exist only under their public names.
#define _Py_IncRef Py_IncRef
#define _Py_DecRef Py_DecRef
// No PyInterpreterState_Get: the attached thread's interpreter is the same.
#define PyInterpreterState_Get() PyThreadState_GetInterpreter(PyThreadState_Get())
#endif

namespace quorlix::compat {

//////////////////////////
/// Pending exception ///
//////////////////////////

// The pending exception as one normalized object with its traceback
// attached, or nullptr; clears it.
inline PyObject* get_raised_exception() {
#if QUORLIX_API_AT_LEAST(0x030C0000)
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Steals the reference to exc; nullptr clears the pending exception.
inline void set_raised_exception(PyObject* exc) {
#if QUORLIX_API_AT_LEAST(0x030C0000)
    PyErr_SetRaisedException(exc);
#else
    if (exc == nullptr) {
        PyErr_Restore(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

/////////////
/// Types ///
/////////////

// The type's own module name: the "__module__" entry of a heap type's
// dictionary, the part of tp_name before the last dot for a static one.
// Before 3.13 the interpreter's own getter is taken from `type` itself: a
// plain attribute lookup would go through the metaclass, which may define
// "__module__" as it likes.
inline PyObject* type_module_name(PyTypeObject* type) {
#if QUORLIX_API_AT_LEAST(0x030D0000)
    return PyType_GetModuleName(type);
#else
    auto* self = reinterpret_cast<PyObject*>(type);
    PyObject* dict = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__");
    if (dict == nullptr) return nullptr;
    PyObject* getter = PyMapping_GetItemString(dict, "__module__");
    Py_DECREF(dict);
    if (getter == nullptr) return nullptr;
    auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(getter), Py_tp_descr_get));
    PyObject* name = nullptr;
    if (get != nullptr) {
        name = get(getter, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
    } else {
        PyErr_SetString(PyExc_SystemError, "type.__module__ is not a descriptor");
    }
    Py_DECREF(getter);
    return name;
#endif
}

////////////////
/// Integers ///
////////////////

// PyLong_AsLongLongAndOverflow, __index__ included: long long, as long is
// 32 bits on Windows. PyPy turns a ValueError raised by __index__ into an
// OverflowError: there the index is taken first.
inline long long as_long_long(PyObject* obj, int* overflow) {
#if defined(PYPY_VERSION)
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return -1;
    const long long v = PyLong_AsLongLongAndOverflow(index, overflow);
    Py_DECREF(index);
    return v;
#else
    return PyLong_AsLongLongAndOverflow(obj, overflow);
#endif
}

// PyLong_AsUnsignedLongLong of an int. PyPy words its overflow errors its
// own way: they get CPython's messages.
inline unsigned long long as_unsigned_long_long(PyObject* index) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
#if defined(PYPY_VERSION)
    // (PyPy's PyErr_ExceptionMatches crashes when no exception is set.)
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr &&
        PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyObject* zero = PyLong_FromLong(0);
        const int negative = zero != nullptr ? PyObject_RichCompareBool(index, zero, Py_LT) : -1;
        Py_XDECREF(zero);
        if (negative >= 0) {
            PyErr_SetString(PyExc_OverflowError, negative ? "can't convert negative int to unsigned"
                                                          : "int too big to convert");
        }
    }
#endif
    return v;
}

///////////////
/// Strings ///
///////////////

// Never raises: a string that cannot be encoded simply is not equal.
inline bool unicode_equals_utf8(PyObject* unicode, std::string_view text) {
#if QUORLIX_API_AT_LEAST(0x030D0000)
    return PyUnicode_EqualToUTF8AndSize(unicode, text.data(), Py_ssize_t(text.size())) == 1;
#else
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(unicode, &len);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    return size_t(len) == text.size() && std::memcmp(utf8, text.data(), text.size()) == 0;
#endif
}

///////////////
/// Threads ///
///////////////

// The running interpreter's version, which for a stable-ABI module may be
// newer than the one it was built for.
inline unsigned long runtime_version() {
#if defined(Py_LIMITED_API) && !defined(PYPY_VERSION)
    return Py_Version;
#else
    return PY_VERSION_HEX;
#endif
}

// PyThread_get_thread_ident: PyPy declares it as returning long.
inline unsigned long thread_ident() {
    return static_cast<unsigned long>(PyThread_get_thread_ident());
}

///////////////
/// Signals ///
///////////////

// PyErr_CheckSignals. PyPy's runs no Python handler: its C handler only asks
// the interpreter to run them at its next Python code, so there an empty
// Python function is called after it, whose exception is the handlers'.
inline int check_signals() {
    if (PyErr_CheckSignals() != 0) return -1;
#if defined(PYPY_VERSION)
    // Kept for good. Atomic: running the code lets other threads in, and
    // one of them may make it too; the first one stored wins.
    static std::atomic<PyObject*> cached{nullptr};
    PyObject* empty = cached.load(std::memory_order_acquire);
    if (empty == nullptr) {
        PyObject* globals = PyDict_New();
        if (globals == nullptr) return -1;
        PyObject* fresh = nullptr;
        if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0) {
            fresh = PyRun_String("lambda: None", Py_eval_input, globals, globals);
        }
        Py_DECREF(globals);
        if (fresh == nullptr) return -1;
        if (cached.compare_exchange_strong(empty, fresh, std::memory_order_acq_rel)) {
            empty = fresh;
        } else {
            Py_DECREF(fresh);
        }
    }
    PyObject* none = PyObject_CallNoArgs(empty);
    if (none == nullptr) return -1;
    Py_DECREF(none);
#endif
    return 0;
}

///////////////
/// Modules ///
///////////////

#if !defined(Py_TARGET_ABI3T)
// A single-phase module. PyPy leaves an empty m_doc unset, which would show
// the module type's own docstring as __doc__: there it is set. A
// free-threaded interpreter would enable the GIL on importing it unless it
// says it needs none: the Py_mod_gil slot is for multi-phase modules only.
inline PyObject* create_module(PyModuleDef* def) {
    PyObject* module = PyModule_Create2(def, 3);
#if defined(Py_GIL_DISABLED)
    if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) != 0) {
        Py_CLEAR(module);
    }
#endif
#if defined(PYPY_VERSION)
    if (module != nullptr && def->m_doc != nullptr) {
        PyObject* doc = PyUnicode_FromString(def->m_doc);
        const int set = doc != nullptr ? PyObject_SetAttrString(module, "__doc__", doc) : -1;
        Py_XDECREF(doc);
        if (set != 0) Py_CLEAR(module);
    }
#endif
    return module;
}
#endif

/////////////////
/// Constants ///
/////////////////

// Py_True or Py_False, borrowed.
inline PyObject* bool_constant(bool value) {
#if QUORLIX_API_AT_LEAST(0x030D0000)
    return Py_GetConstantBorrowed(value ? Py_CONSTANT_TRUE : Py_CONSTANT_FALSE);
#else
    return value ? Py_True : Py_False;
#endif
}

}  // namespace quorlix::compat
