// The module definition and PyInit__quorlix.
#include <array>
#include <atomic>
#include <string>
#include <string_view>

#include "frame.h"
#include "functions.h"
#include "once_cell.h"
#include "references.h"

namespace quorlix {

namespace {

///////////////////////
/// Texts users see ///
///////////////////////
// Each exact text is the module's documented behaviour: the attributes'
// values and the errors of the import.
constexpr const char* AUTHOR = "The quorlix developers";
constexpr const char* COPYRIGHT_PREFIX = "Copyright 2025-2026";
constexpr const char* SUBINTERPRETER_HELP = "https://quorlix.dev/docs/subinterpreters";

struct Attribute {
    const char* name;
    const char* value;
};

constexpr Attribute METADATA[] = {
    {"__title__", "quorlix"},
    {"__summary__", "bcrypt password hashing and bcrypt_pbkdf key derivation for Python"},
    {"__uri__", "https://quorlix.dev/"},
    {"__version_ex__", "5.0.0"},
    {"__author__", AUTHOR},
    {"__email__", "developers@quorlix.dev"},
    {"__license__", "Apache License, Version 2.0"},
};

std::string copyright() { return std::string(COPYRIGHT_PREFIX) + " " + AUTHOR; }

// The targets named by conversion errors.
constexpr const char* LIST_TARGET = "PyList";
constexpr const char* STRING_TARGET = "PyString";

constexpr const char* APPEND_FAILED = "could not append __name__ to __all__: ";

PyErr subinterpreters_unsupported() {
    return PyErr::message(
        [] { return PyExc_ImportError; },
        std::string("PyO3 modules do not yet support subinterpreters, see ") + SUBINTERPRETER_HELP);
}

////////////////////////
/// Function records ///
////////////////////////
// gensalt's signature text, its default cost written from the constant.
constexpr std::array<char, 64> gensalt_signature() {
    std::array<char, 64> text{};
    size_t at = 0;
    auto put = [&](std::string_view s) {
        for (char c : s) text[at++] = c;
    };
    put("gensalt(rounds=");
    if (GENSALT_DEFAULT_ROUNDS >= 10) text[at++] = char('0' + GENSALT_DEFAULT_ROUNDS / 10);
    text[at++] = char('0' + GENSALT_DEFAULT_ROUNDS % 10);  // a cost: two digits at most
    put(", prefix=b'2b')\n--\n\n");
    return text;
}
constexpr std::array<char, 64> GENSALT_SIGNATURE = gensalt_signature();

template <FastcallBody body>
constexpr PyCFunction entry() {
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&fastcall_with_keywords<body>));
}

// The interpreter keeps pointers into these for the rest of the process.
// Each exact name and signature text is the module's documented behaviour.
PyMethodDef METHODS[] = {
    {"checkpw", entry<checkpw_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "checkpw(password, hashed_password)\n--\n\n"},
    {"gensalt", entry<gensalt_wrapper>(), METH_FASTCALL | METH_KEYWORDS, GENSALT_SIGNATURE.data()},
    {"hashpw", entry<hashpw_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "hashpw(password, salt)\n--\n\n"},
    {"kdf", entry<kdf_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "kdf(password, salt, desired_key_bytes, rounds, ignore_few_rounds=False)\n--\n\n"},
};

/////////////////////////
/// Module definition ///
/////////////////////////
struct ModuleDef {
    PyModuleDef ffi;
    std::atomic<int64_t> interpreter;
    OnceCell<PyObject*> module;
};

ModuleDef MODULE_DEF{
    {
        PyModuleDef_HEAD_INIT,
        "_quorlix",  // m_name
        "",          // m_doc: empty, not NULL, so __doc__ is ""
        0,           // m_size
        nullptr,     // m_methods: the module body adds them
        nullptr,     // m_slots
        nullptr,     // m_traverse
        nullptr,     // m_clear
        nullptr,     // m_free
    },
    {-1},
    {},
};

OnceCell<PyObject*> NAME_ATTR;
OnceCell<PyObject*> ALL_ATTR;

/////////////////////////
/// Module operations ///
/////////////////////////
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

PyResult<void> add_function(PyObject* module, PyObject* function) {
    Owned name(PyObject_GetAttr(function, intern(NAME_ATTR, "__name__")));
    if (!name) return Err{fetch()};
    if (!has_type_flag(name.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return Err{PyErr::downcast(name.get(), STRING_TARGET)};
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

PyResult<void> module_body(PyObject* module) {
    for (PyMethodDef& def : METHODS) {
        TRY_LET(const Owned function, internal_new(&def, module));
        TRY_OK(add_function(module, function.get()));
    }
    for (const Attribute& a : METADATA) TRY_OK(add(module, a.name, a.value));
    return add(module, "__copyright__", copyright());
}

PyResult<PyObject*> make_module(ModuleDef& def) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return Err{fetch()};
    int64_t expected = -1;
    if (!def.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return Err{subinterpreters_unsupported()};
    }
    TRY_LET(PyObject* const* cell,
            def.module.init_once_cell_py_attached([&def]() -> PyResult<PyObject*> {
                Owned module(compat::create_module(&def.ffi));
                if (!module) return Err{fetch()};
                TRY_OK(module_body(module.get()));
                return module.release();
            }));
    _Py_IncRef(*cell);
    return *cell;
}

}  // namespace

}  // namespace quorlix

PyMODINIT_FUNC PyInit__quorlix(void) {
    return quorlix::trampoline([] { return quorlix::make_module(quorlix::MODULE_DEF); });
}
