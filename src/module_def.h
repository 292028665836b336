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
#include "once_cell.h"

namespace quorlix {

struct ModuleDef {
    PyModuleDef ffi;
    std::atomic<int64_t> interpreter;  // the first importer's id, -1 before
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
PyResult<PyObject*> make_module(ModuleDef& def, PyResult<void> (*body)(PyObject* module));

// Adds each function to the module, bound to it.
PyResult<void> add_functions(PyObject* module, std::span<PyMethodDef> methods);

// Adds a str attribute.
PyResult<void> add(PyObject* module, std::string_view name, std::string_view value);

// Adds an attribute, its name listed in __all__.
PyResult<void> add(PyObject* module, PyObject* name, PyObject* value);

}  // namespace quorlix
