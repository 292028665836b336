// The module's functions, as the call frame sees them, and the module's own
// limits (the cores' are in their headers).
#pragma once

#include <cstdint>

#include "error.h"

namespace quorlix {

inline constexpr uint16_t GENSALT_DEFAULT_ROUNDS = 12;
inline constexpr uint64_t KDF_MAX_KEY_BYTES = 512;
inline constexpr uint32_t KDF_FEW_ROUNDS = 50;  // fewer rounds are warned about

PyResult<PyObject*> checkpw_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyResult<PyObject*> gensalt_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyResult<PyObject*> hashpw_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyResult<PyObject*> kdf_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

}  // namespace quorlix
