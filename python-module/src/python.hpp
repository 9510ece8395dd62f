// The one place <Python.h> is included. CPython wants it before any standard
// header (it may set feature macros that change them), so every source of the
// module includes this file first.
#ifndef TUVAX_PY_PYTHON_HPP
#define TUVAX_PY_PYTHON_HPP

#define PY_SSIZE_T_CLEAN  // sizes in the argument APIs are Py_ssize_t
#include <Python.h>

#endif  // TUVAX_PY_PYTHON_HPP
