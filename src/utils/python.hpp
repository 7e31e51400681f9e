// The one place that includes the interpreter's headers, so every file sees the
// same configuration of the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

// The encoder and decoder read object layouts of CPython 3.13 directly (dict
// tables, int digits, the thread's recursion budget), which other versions lay
// out differently: refuse to build there rather than misread them.
#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000
#error "pyquarl reads CPython 3.13 object layouts; build it with CPython 3.13"
#endif
