# Release toolchain for Linux wheels: zig's clang, linked against the symbols
# of an old glibc, with libc++ and libc++abi built in statically, so the
# module runs on every glibc from that version on.
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-linux.cmake
#   -DQUORLIX_ZIG=/path/to/zig                 the zig binary (PyPI: ziglang)
#   -DQUORLIX_ZIG_TARGET=x86_64-linux-gnu.2.17 processor, C library and its oldest version
#   -DQUORLIX_LIBGCC_S=/path/to/libgcc_s.so.1  the target's GCC unwinder
#
# The unwinder is the system's libgcc_s rather than zig's static libunwind:
# glibc ends a thread (pthread_exit, as CPython does to daemon threads at
# exit) by unwinding it with libgcc_s, and that unwind passes through the
# module's frames, whose personality routine must read the unwinder's state
# through the same unwinder.
cmake_minimum_required(VERSION 3.26)

# Seen again by try_compile projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORLIX_ZIG QUORLIX_ZIG_TARGET QUORLIX_LIBGCC_S)

foreach(var QUORLIX_ZIG QUORLIX_ZIG_TARGET QUORLIX_LIBGCC_S)
  if(NOT ${var})
    message(FATAL_ERROR "cmake/zig-linux.cmake needs -D${var}=...")
  endif()
endforeach()

string(REGEX MATCH "^[^-]+" _zig_arch "${QUORLIX_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_zig_arch})

set(CMAKE_C_COMPILER "${QUORLIX_ZIG}" cc)
set(CMAKE_CXX_COMPILER "${QUORLIX_ZIG}" c++)
set(CMAKE_C_COMPILER_TARGET ${QUORLIX_ZIG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${QUORLIX_ZIG_TARGET})
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${QUORLIX_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${QUORLIX_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${QUORLIX_ZIG}\" ranlib <TARGET>")
endforeach()

set(CMAKE_SHARED_LINKER_FLAGS_INIT "${QUORLIX_LIBGCC_S}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${QUORLIX_LIBGCC_S}")
