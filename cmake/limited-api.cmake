# The stable ABI version the module targets: 3.11, or under scikit-build-core
# the version its wheel is tagged for (wheel.py-api, e.g. -C wheel.py-api=cp313
# for a cp313-abi3 wheel that calls the newer interpreter functions itself).
# Sets QUORLIX_LIMITED_API and QUORLIX_LIMITED_API_HEX, the Py_LIMITED_API
# value. Run as a script (cmake -P), it prints that value of the default
# build, for builds that compile the sources without CMake. PyPy has no
# stable ABI, and a free-threaded CPython none before 3.15
# (scikit-build-core ignores wheel.py-api cp311 there): both are empty. On a
# free-threaded 3.15 or newer with wheel.py-api=cp315t, the version is that
# of its stable ABI, abi3t, and QUORLIX_ABI3T is set.
set(QUORLIX_ABI3T OFF)
if(Python_INTERPRETER_ID STREQUAL "PyPy" OR (QUORLIX_FREE_THREADED AND NOT SKBUILD_SABI_VERSION))
  set(QUORLIX_LIMITED_API "")
  set(QUORLIX_LIMITED_API_HEX "")
  return()
endif()
if(QUORLIX_FREE_THREADED)
  set(QUORLIX_ABI3T ON)
endif()
if(SKBUILD_SABI_VERSION)
  set(QUORLIX_LIMITED_API ${SKBUILD_SABI_VERSION})
elseif(DEFINED SKBUILD)
  # A version-specific build would carry a tag the module was not made for.
  message(FATAL_ERROR "quorlix builds only for CPython's stable ABI: wheel.py-api must name "
                      "cp311 or newer, up to the building interpreter's version")
else()
  set(QUORLIX_LIMITED_API 3.11)
endif()
if(QUORLIX_LIMITED_API VERSION_LESS 3.11)
  message(FATAL_ERROR "quorlix needs the stable ABI of CPython 3.11 or newer, not ${QUORLIX_LIMITED_API}")
endif()
string(REPLACE "." ";" _api_parts "${QUORLIX_LIMITED_API}")
list(GET _api_parts 0 _api_major)
list(GET _api_parts 1 _api_minor)
math(EXPR QUORLIX_LIMITED_API_HEX "(${_api_major} << 24) | (${_api_minor} << 16)" OUTPUT_FORMAT HEXADECIMAL)

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${QUORLIX_LIMITED_API_HEX})
endif()
