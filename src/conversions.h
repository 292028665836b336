// The conversions from argument objects to native values: byte-string
// views, unsigned integers and booleans.
#pragma once

#include <cstdint>
#include <span>

#include "error.h"

namespace quorlix {

///////////////////
/// Conversions ///
///////////////////
using Bytes = std::span<const uint8_t>;

// A bytes argument as a view of its contents, borrowed for the call.
PyResult<Bytes> from_py_object_bound(PyObject* obj);
PyResult<uint16_t> extract_u16(PyObject* obj);
PyResult<uint32_t> extract_u32(PyObject* obj);
PyResult<uint64_t> extract_u64(PyObject* obj);
PyResult<bool> extract_bool(PyObject* obj);

}  // namespace quorlix
