/* A stand-in for CPython's pyconfig.h for Windows, only for checking that
   the module compiles and links for Windows here: the other headers are
   the same on every system. It holds what those headers read when an
   extension module includes them against the stable ABI, and no more. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64)
#error "the stand-in describes 64-bit Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The interpreter is python3.dll: its names are imported, the module's
   init function exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4 /* the LLP64 model */
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1

#endif /* !Py_CONFIG_H */
