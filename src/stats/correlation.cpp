// Pearson, Spearman and phi correlation coefficients with their p-values, computed on the calling thread.
#include "stats/correlation.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/errors.hpp"
#include "numeric/distributions.hpp"
#include "numeric/radix_sort.hpp"

namespace quorlix::stats {
namespace {

void validate_pair(std::size_t x_size, std::size_t y_size) {
  if (x_size != y_size) throw ValidationError("x and y must have same length");
  if (x_size < 3) throw ValidationError("array must contain >= 3 elements");
}

// The product-moment correlation of two equally long samples (n >= 3) and its two-sided t-test p-value.
// Each sum runs left to right in one accumulator: the results are reproduced to the last bit, so the passes
// must not be split into lanes or reordered.
TestResult correlation_test(Sample x, Sample y) {
  const std::size_t n = x.size();
  const double count = static_cast<double>(n);

  double sum_x = -0.0;
  double sum_y = -0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum_x += x[i];
    sum_y += y[i];
  }
  const double mean_x = sum_x / count;
  const double mean_y = sum_y / count;

  double sxx = 0.0;
  double syy = 0.0;
  double sxy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = x[i] - mean_x;
    const double dy = y[i] - mean_y;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  // Exact comparison: a constant sample whose mean does not divide back exactly leaves tiny residues and
  // is treated as varying. A NaN sum is not zero and goes on to fail in the t distribution.
  if (sxx == 0.0 || syy == 0.0) throw ValidationError("arrays must have nonzero variance");

  const double df = count + -2.0;
  const numeric::StudentsT distribution(0.0, 1.0, df);
  const double r = sxy / (std::sqrt(sxx) * std::sqrt(syy));
  // Rounding can push |r| just above 1 for perfectly linear or monotone data; 1 - r*r would then be negative
  // and t NaN. Such data is perfectly correlated, so its p-value is 0. A NaN r fails this test and reaches
  // the distribution, which rejects it.
  if (std::fabs(r) > 1.0) return {r, 0.0};
  const double t = std::fabs(r * std::sqrt(df / (1.0 - r * r)));
  const double c = distribution.cdf(t);
  return {r, 2.0 * (1.0 - c)};
}

template <class Index>
std::vector<double> rank_with(Sample v) {
  const std::size_t n = v.size();
  std::vector<std::uint64_t> keys(n);
  bool has_nan = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double value = v[i];
    has_nan |= std::isnan(value);
    keys[i] = numeric::order_key(value);
  }
  // A NaN has no place in the order; a single element is never compared, so it alone is allowed.
  if (has_nan && n >= 2) throw InternalFailure(kUnwrapNoneMessage);
  std::vector<Index> order;
  numeric::sort_keys(keys, order);

  // Equal keys mean equal values (the two zeros share a key), so each run of equal keys is one tie group.
  std::vector<double> result(n);
  std::size_t start = 0;
  while (start < n) {
    std::size_t end = start;
    while (end + 1 < n && keys[end + 1] == keys[start]) ++end;
    const double group_rank = static_cast<double>(start + end) * 0.5 + 1.0;
    for (std::size_t j = start; j <= end; ++j) result[order[j]] = group_rank;
    start = end + 1;
  }
  return result;
}

}  // namespace

TestResult pearson_corr(Sample x, Sample y) {
  validate_pair(x.size(), y.size());
  return correlation_test(x, y);
}

TestResult spearman_corr(Sample x, Sample y) {
  validate_pair(x.size(), y.size());
  const std::vector<double> rx = rank(x);
  const std::vector<double> ry = rank(y);
  return correlation_test(Sample::of(rx), Sample::of(ry));
}

TestResult phi_coef(BoolSample x, BoolSample y) {
  validate_pair(x.size(), y.size());
  const std::size_t n = x.size();
  std::uint64_t table[2][2] = {};
  for (std::size_t i = 0; i < n; ++i) ++table[x[i] != 0][y[i] != 0];
  const double n11 = static_cast<double>(table[1][1]);
  const double n10 = static_cast<double>(table[1][0]);
  const double n01 = static_cast<double>(table[0][1]);
  const double n00 = static_cast<double>(table[0][0]);

  // The product of the four marginal totals: y false, y true, x false, x true, nested in this order.
  const double d = (n10 + n00) * ((n01 + n11) * ((n01 + n00) * (n10 + n11)));
  if (d == 0.0) throw ValidationError("phi is undefined: 1+ marginal totals are zero");
  const double phi = (n00 * n11 - n01 * n10) / std::sqrt(d);
  const double chi_squared = (static_cast<double>(n) * phi) * phi;
  return {phi, 1.0 - numeric::ChiSquared(1.0).cdf(chi_squared)};
}

std::vector<double> rank(Sample v) {
  if (v.size() <= std::numeric_limits<std::uint32_t>::max()) return rank_with<std::uint32_t>(v);
  return rank_with<std::size_t>(v);
}

}  // namespace quorlix::stats
