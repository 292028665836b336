// Creating a module object once per process and filling it.
#include "module_def.h"

#include <string>

#include "references.h"

namespace quorlix {

namespace {

///////////////////////
/// Texts users see ///
///////////////////////
// Each exact text is the modules' documented behaviour: the errors of the
// import and of filling the module.
constexpr const char* SUBINTERPRETER_HELP = "https://quorlix.dev/docs/subinterpreters";

// The targets named by conversion errors.
constexpr const char* LIST_TARGET = "PyList";
constexpr const char* STRING_TARGET = "PyString";

constexpr const char* APPEND_FAILED = "could not append __name__ to __all__: ";

[[maybe_unused]] PyErr subinterpreters_unsupported() {
    return PyErr::message(
        [] { return PyExc_ImportError; },
        std::string("PyO3 modules do not yet support subinterpreters, see ") + SUBINTERPRETER_HELP);
}

// Once-only cells: filled by one thread however many ask at once.
OnceCell<PyObject*> NAME_ATTR;
OnceCell<PyObject*> ALL_ATTR;

// The module's __all__ list, the index of its public names, created empty
// when missing.
PyResult<Owned> index(PyObject* module) {
    PyObject* all_name = intern(ALL_ATTR, "__all__");
    Owned all(PyObject_GetAttr(module, all_name));
    if (all) {
        if (!has_type_flag(all.get(), Py_TPFLAGS_LIST_SUBCLASS)) {
            return Err{PyErr::downcast(all.get(), LIST_TARGET)};
        }
        return all;
    }
    PyErr err = fetch();
    if (!PyErr_GivenExceptionMatches(type_object(err.make_normalized()), PyExc_AttributeError)) {
        return Err{std::move(err)};
    }
    Owned fresh(PyList_New(0));
    if (!fresh) panic_after_error();
    if (PyObject_SetAttr(module, all_name, fresh.get()) != 0) return Err{fetch()};
    return fresh;
}

PyResult<void> add_function(PyObject* module, PyObject* function) {
    Owned name(PyObject_GetAttr(function, intern(NAME_ATTR, "__name__")));
    if (!name) return Err{fetch()};
    if (!has_type_flag(name.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return Err{PyErr::downcast(name.get(), STRING_TARGET)};
    }
    // A private function is the package's own business, not in __all__.
    if (PyUnicode_GetLength(name.get()) > 0 && PyUnicode_ReadChar(name.get(), 0) == '_') {
        if (PyObject_SetAttr(module, name.get(), function) != 0) return Err{fetch()};
        return {};
    }
    return add(module, name.get(), function);
}

// A new builtin function object for def, bound to the module and with the
// module's name as its __module__.
PyResult<Owned> internal_new(PyMethodDef* def, PyObject* module) {
    Owned module_name(PyModule_GetNameObject(module));
    if (!module_name) return Err{fetch()};
    Owned function(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) return Err{fetch()};
    return function;
}

}  // namespace

PyResult<void> add(PyObject* module, PyObject* name, PyObject* value) {
    TRY_LET(const Owned all, index(module));
    if (PyList_Append(all.get(), name) != 0) {
        panic(APPEND_FAILED + fetch().debug());
    }
    if (PyObject_SetAttr(module, name, value) != 0) return Err{fetch()};
    return {};
}

PyResult<void> add(PyObject* module, std::string_view name, std::string_view value) {
    Owned n(new_str(name));
    Owned v(new_str(value));
    return add(module, n.get(), v.get());
}

PyResult<void> add_functions(PyObject* module, std::span<PyMethodDef> methods) {
    for (PyMethodDef& def : methods) {
        TRY_LET(const Owned function, internal_new(&def, module));
        TRY_OK(add_function(module, function.get()));
    }
    return {};
}

#if !defined(Py_TARGET_ABI3T)
PyResult<PyObject*> make_module(ModuleDef& def, ModuleBody body) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return Err{fetch()};
    int64_t expected = -1;
    if (!def.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return Err{subinterpreters_unsupported()};
    }
    TRY_LET(PyObject* const* cell,
            def.module.init_once_cell_py_attached([&def, body]() -> PyResult<PyObject*> {
                Owned module(compat::create_module(&def.ffi));
                if (!module) return Err{fetch()};
                TRY_OK(body(module.get()));
                return module.release();
            }));
    _Py_IncRef(*cell);
    return *cell;
}
#else
int exec_module(PyObject* module, ModuleBody body) {
    PyObject* done = trampoline([module, body]() -> PyResult<PyObject*> {
        TRY_OK(body(module));
        PyObject* none = Py_None;
        _Py_IncRef(none);
        return none;
    });
    if (done == nullptr) return -1;
    _Py_DecRef(done);
    return 0;
}
#endif

}  // namespace quorlix
