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

// Exported by the interpreter but declared only in its internal headers: a
// dict of `length` pairs, with a str-key table when every key is an exact str.
extern "C" PyAPI_FUNC(PyObject*) _PyDict_FromItems(PyObject* const* keys, Py_ssize_t keys_offset,
                                                   PyObject* const* values, Py_ssize_t values_offset,
                                                   Py_ssize_t length);
