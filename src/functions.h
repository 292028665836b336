// The module's functions, as the call frame sees them.
#pragma once

#include "error.h"

namespace quorlix {

PyResult<PyObject*> checkpw_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyResult<PyObject*> gensalt_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyResult<PyObject*> hashpw_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyResult<PyObject*> kdf_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

}  // namespace quorlix
