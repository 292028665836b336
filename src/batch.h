// The functions of quorlix._batch, as the call frame sees them.
#pragma once

#include "error.h"

namespace quorlix {

PyResult<PyObject*> hashpw_many_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
PyResult<PyObject*> checkpw_many_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
// The cost of hashpw's or checkpw's arguments, or the error that function
// would raise for them.
PyResult<PyObject*> hashpw_cost_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
PyResult<PyObject*> checkpw_cost_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

}  // namespace quorlix
