# Cross toolchain for the Windows checks: zig's clang for a MinGW-w64 target
# (its own headers, UCRT and libc++, linked statically), so that nothing but
# zig from PyPI is needed to build for x86-64 and arm64 Windows here.
#
#   -DCMAKE_TOOLCHAIN_FILE=scripts/windows/zig-windows.cmake
#   -DQUORLIX_ZIG=/path/to/zig                 the zig binary (PyPI: ziglang)
#   -DQUORLIX_ZIG_TARGET=x86_64-windows-gnu    or aarch64-windows-gnu
cmake_minimum_required(VERSION 3.26)

# Seen again by try_compile projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORLIX_ZIG QUORLIX_ZIG_TARGET)

foreach(var QUORLIX_ZIG QUORLIX_ZIG_TARGET)
  if(NOT ${var})
    message(FATAL_ERROR "zig-windows.cmake needs -D${var}=...")
  endif()
endforeach()

string(REGEX MATCH "^[^-]+" _zig_arch "${QUORLIX_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${_zig_arch})

set(CMAKE_C_COMPILER "${QUORLIX_ZIG}" cc)
set(CMAKE_CXX_COMPILER "${QUORLIX_ZIG}" c++)
set(CMAKE_C_COMPILER_TARGET ${QUORLIX_ZIG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${QUORLIX_ZIG_TARGET})
# Nothing here is a resource; CMake looks for a compiler of them all the same.
find_program(CMAKE_RC_COMPILER NAMES llvm-rc llvm-rc-14 REQUIRED)
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${QUORLIX_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${QUORLIX_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${QUORLIX_ZIG}\" ranlib <TARGET>")
endforeach()
