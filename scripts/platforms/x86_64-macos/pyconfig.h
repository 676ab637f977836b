/* A minimal pyconfig.h for macOS on Intel. It exists only for the compile check
 * (scripts/check_platforms.sh), which compiles the sources against CPython's headers for a
 * platform this machine has no interpreter for; it is never used to build the modules. It
 * gives what the public headers ask of it: type sizes and the platform's macros, as CPython's
 * configure sets them there. The check adds Py_GIL_DISABLED for the free-threaded build. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 8
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T 4
#define SIZEOF_PTHREAD_T 8
#define SIZEOF_PTHREAD_KEY_T 8
#define SIZEOF_WCHAR_T 4
#define SIZEOF__BOOL 1
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 16
#define ALIGNOF_MAX_ALIGN_T 16

#define HAVE_UNISTD_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_WCHAR_H 1
#define HAVE_PTHREAD_H 1
#define HAVE_SSIZE_T 1
#define HAVE_CLOCK_GETTIME 1
#define HAVE_DYNAMIC_LOADING 1
#define HAVE_DLOPEN 1
#define HAVE_FORK 1
#define HAVE_SIGACTION 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_SUPPORT_TIER 1

#endif /* Py_CONFIG_H */
