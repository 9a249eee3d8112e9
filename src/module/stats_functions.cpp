// Entry points of quorlix.stats: bind, convert, compute, build the (statistic, p-value) pair.
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/functions.hpp"
#include "stats/correlation.hpp"

namespace quorlix::py {
namespace {

constexpr FunctionDescription kPearson{"pearson_corr", 2, {"x", "y"}};
constexpr FunctionDescription kSpearman{"spearman_corr", 2, {"x", "y"}};
constexpr FunctionDescription kPhi{"phi_coef", 2, {"x", "y"}};

PyObject* float_pair(const stats::TestResult& result) {
  Ref tuple(PyTuple_New(2));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* value = PyFloat_FromDouble(i == 0 ? result.statistic : result.p_value);
    if (value == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), i, value);  // steals value
  }
  return tuple.release();
}

template <class View, class Stat>
PyObject* two_samples(const FunctionDescription& fn, Stat stat, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArguments bound;
    View x, y;
    if (!bind_arguments(fn, args, nargs, kwnames, bound) || !to_sample(bound[0], "x", x) ||
        !to_sample(bound[1], "y", y)) {
      return nullptr;
    }
    return float_pair(stat(x, y));
  });
}

}  // namespace

PyObject* pearson_corr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return two_samples<Sample>(kPearson, stats::pearson_corr, args, nargs, kwnames);
}

PyObject* spearman_corr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return two_samples<Sample>(kSpearman, stats::spearman_corr, args, nargs, kwnames);
}

PyObject* phi_coef(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return two_samples<BoolSample>(kPhi, stats::phi_coef, args, nargs, kwnames);
}

}  // namespace quorlix::py
