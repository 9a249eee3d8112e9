// Input checks and sorted copies shared by the estimators.
#include "info/detail.hpp"

#include <cmath>
#include <string>

#include "core/errors.hpp"
#include "numeric/radix_sort.hpp"

namespace quorlix::info::detail {

void require_usable(std::size_t n, std::uint64_t k) {
  if (n == 0) throw ValidationError("arrays must be non-empty");
  if (k == 0 || k >= n) {
    throw ValidationError("k must satisfy 1 \u2264 k < n (got k=" + std::to_string(k) +
                          ", n=" + std::to_string(n) + ")");
  }
}

void require_same_length(std::initializer_list<std::size_t> lengths, const char* message) {
  for (std::size_t length : lengths) {
    if (length != *lengths.begin()) throw ValidationError(message);
  }
}

std::vector<double> checked_copy(Sample s) {
  std::vector<double> values = s.copy();
  for (double v : values) {
    if (std::isnan(v)) throw InternalFailure(kUnwrapNoneMessage);
  }
  return values;
}

std::vector<double> sorted_copy(const std::vector<double>& values) {
  std::vector<double> sorted = values;
  numeric::sort_ascending(sorted);
  return sorted;
}

double sequential_sum(const std::vector<double>& slots) {
  double s = -0.0;
  for (double v : slots) s += v;
  return s;
}

}  // namespace quorlix::info::detail
