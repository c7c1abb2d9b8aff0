// The one way this project includes the interpreter's C API: the size macro
// must be set before Python.h, and Python.h before any standard header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
