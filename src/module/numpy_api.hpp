// The few NumPy C-API entries the module needs, reached through NumPy's exported API table at run
// time, so the same build works with NumPy 1.x and 2.x.
#pragma once

#include "module/python.hpp"

namespace quorlix::py {

// NumPy type numbers of the two accepted dtypes.
inline constexpr int kNpyBool = 0;
inline constexpr int kNpyFloat64 = 12;

// The leading fields of NumPy's array object; their layout is part of NumPy's stable ABI.
struct NumpyArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

// Loads the API table on first use. Returns false with PanicException set ("Failed to access NumPy
// array API capsule: ...") when NumPy or its table cannot be reached; a later call tries again.
bool ensure_numpy_api();

// Valid after ensure_numpy_api() succeeded.
PyTypeObject* ndarray_type();
// Whether descr is the descriptor of type_num or equivalent to it.
bool dtype_matches(PyObject* descr, int type_num);

}  // namespace quorlix::py
