// The one way this module includes Python: the stable ABI of CPython 3.9, so that the
// compiler refuses any call outside it and one binary loads in every CPython from 3.9 on.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
