// What every module of the package is made of: its definition, the
// once-per-process creation of its object, and adding functions and string
// attributes with their names listed in __all__.
#pragma once

#include "compat.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

#include "error.h"
#include "frame.h"
#include "once_cell.h"

namespace quorlix {

using ModuleBody = PyResult<void> (*)(PyObject* module);

#if !defined(Py_TARGET_ABI3T)
// A single-phase module: one object per process, filled by its body.
struct ModuleDef {
    PyModuleDef ffi;
    // Set once, by compare-and-swap, to the first importer's id (-1 before):
    // of interpreters importing at once, exactly one wins.
    std::atomic<int64_t> interpreter;
    OnceCell<PyObject*> module;
};

// A definition for a single-phase module of that name and empty __doc__.
constexpr PyModuleDef module_definition(const char* name) {
    return {
        PyModuleDef_HEAD_INIT,
        name,     // m_name
        "",       // m_doc: empty, not NULL, so __doc__ is ""
        0,        // m_size
        nullptr,  // m_methods: the module body adds them
        nullptr,  // m_slots
        nullptr,  // m_traverse
        nullptr,  // m_clear
        nullptr,  // m_free
    };
}

// The module object, created with body() the first time and the same one
// for every later import; refused in any interpreter but the first one.
PyResult<PyObject*> make_module(ModuleDef& def, ModuleBody body);

// PyInit_NAME, the module's entry point: the module of that name. Its
// definition is a function-local static, which C++ initialises exactly once
// even when threads import at once.
#define QUORLIX_MODULE(NAME, FULL_NAME, BODY)                                           \
    PyMODINIT_FUNC PyInit_##NAME(void) {                                                \
        static quorlix::ModuleDef def{quorlix::module_definition(FULL_NAME), {-1}, {}}; \
        return quorlix::trampoline([] { return quorlix::make_module(def, BODY); });     \
    }
#else
// abi3t has no module definitions: the interpreter creates a module from
// the slot array that PyModExport_NAME returns and fills it with the exec
// slot, in each interpreter the slots allow, once for each import. The
// slots are function-local statics, initialised once, which the
// interpreter only reads.
int exec_module(PyObject* module, ModuleBody body);

#define QUORLIX_MODULE(NAME, FULL_NAME, BODY)                                                      \
    PyMODEXPORT_FUNC PyModExport_##NAME(void) {                                                    \
        PyABIInfo_VAR(abi);                                                                        \
        static int (*exec)(PyObject*) = [](PyObject* m) { return quorlix::exec_module(m, BODY); }; \
        static PySlot slots[] = {                                                                  \
            PySlot_PTR(Py_mod_abi, &abi),                                                          \
            PySlot_PTR(Py_mod_name, FULL_NAME),                                                    \
            PySlot_PTR(Py_mod_doc, ""),                                                            \
            PySlot_PTR(Py_mod_exec, reinterpret_cast<void*>(exec)),                                \
            PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),                                           \
            PySlot_PTR(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),  \
            PySlot_END,                                                                            \
        };                                                                                         \
        return slots;                                                                              \
    }
#endif

// Adds each function to the module, bound to it.
PyResult<void> add_functions(PyObject* module, std::span<PyMethodDef> methods);

// Adds a str attribute.
PyResult<void> add(PyObject* module, std::string_view name, std::string_view value);

// Adds an attribute, its name listed in __all__.
PyResult<void> add(PyObject* module, PyObject* name, PyObject* value);

}  // namespace quorlix
