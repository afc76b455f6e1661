// Includes the CPython headers the binding is written against.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
