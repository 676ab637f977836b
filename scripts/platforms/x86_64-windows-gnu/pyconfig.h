/* A minimal pyconfig.h for 64-bit Windows. It exists only for the compile check
 * (scripts/check_platforms.sh), which compiles the sources against CPython's headers for a
 * platform this machine has no interpreter for; it is never used to build the modules. It
 * gives what the public headers ask of it: type sizes and the platform's macros, as CPython's
 * own Windows configuration sets them. The check adds Py_GIL_DISABLED for the free-threaded
 * build. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
/* The interpreter is a DLL: API functions are imported, the module's init function exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T 4
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 16
#define ALIGNOF_MAX_ALIGN_T 16
#define HAVE_USABLE_WCHAR_T

#define HAVE_WCHAR_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_DYNAMIC_LOADING
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_SUPPORT_TIER 1

#endif /* Py_CONFIG_H */
