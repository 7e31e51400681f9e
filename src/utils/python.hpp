// The one place that includes the interpreter's headers, so every file sees the
// same configuration of the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
