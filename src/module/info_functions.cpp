// Entry points of quorlix.info: bind, convert, compute, return one float.
#include <initializer_list>

#include "info/info.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/functions.hpp"

namespace quorlix::py {
namespace {

constexpr FunctionDescription kKlH{"kl_h", 2, {"x", "k"}};
constexpr FunctionDescription kKsgMi{"ksg_mi", 4, {"x", "y", "k", "normalize"}};
constexpr FunctionDescription kKsgCmi{"ksg_cmi", 5, {"x", "y", "z", "k", "normalize"}};
constexpr FunctionDescription kKsgIi{"ksg_ii", 5, {"x", "y", "z", "k", "normalize"}};

// Converting k or normalize may run Python code (__index__, __bool__) that reshapes an array or replaces
// its buffer, so the views checked first, for the order of the errors, are taken again once that code has
// run: they then describe the arrays as they are read.
bool retake(const BoundArguments& bound, std::initializer_list<Sample*> views) {
  static constexpr const char* kNames[] = {"x", "y", "z"};
  std::size_t i = 0;
  for (Sample* view : views) {
    if (!to_sample(bound[i], kNames[i], *view)) return false;
    ++i;
  }
  return true;
}

// ksg_cmi and ksg_ii share their parameters.
template <class Estimator>
PyObject* three_samples(const FunctionDescription& fn, Estimator estimator, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArguments bound;
    Sample x, y, z;
    std::uint64_t k = 0;
    bool normalize = false;
    if (!bind_arguments(fn, args, nargs, kwnames, bound) || !to_sample(bound[0], "x", x) ||
        !to_sample(bound[1], "y", y) || !to_sample(bound[2], "z", z) || !to_count(bound[3], "k", k) ||
        !to_flag(bound[4], "normalize", normalize) || !retake(bound, {&x, &y, &z})) {
      return nullptr;
    }
    return PyFloat_FromDouble(estimator(x, y, z, k, normalize));
  });
}

}  // namespace

PyObject* kl_h(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArguments bound;
    Sample x;
    std::uint64_t k = 0;
    if (!bind_arguments(kKlH, args, nargs, kwnames, bound) || !to_sample(bound[0], "x", x) ||
        !to_count(bound[1], "k", k) || !retake(bound, {&x})) {
      return nullptr;
    }
    return PyFloat_FromDouble(info::kl_h(x, k));
  });
}

PyObject* ksg_mi(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArguments bound;
    Sample x, y;
    std::uint64_t k = 0;
    bool normalize = false;
    if (!bind_arguments(kKsgMi, args, nargs, kwnames, bound) || !to_sample(bound[0], "x", x) ||
        !to_sample(bound[1], "y", y) || !to_count(bound[2], "k", k) ||
        !to_flag(bound[3], "normalize", normalize) || !retake(bound, {&x, &y})) {
      return nullptr;
    }
    return PyFloat_FromDouble(info::ksg_mi(x, y, k, normalize));
  });
}

PyObject* ksg_cmi(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return three_samples(kKsgCmi, info::ksg_cmi, args, nargs, kwnames);
}

PyObject* ksg_ii(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return three_samples(kKsgIi, info::ksg_ii, args, nargs, kwnames);
}

}  // namespace quorlix::py
