// The least work any bit-exact Pearson correlation has to do: a left-to-right sum of each sample, then one
// pass accumulating the centred squares and cross products, each sum in a single accumulator. The benchmark
// loads this as a shared library and times it on the same arrays as quorlix.stats.pearson_corr.
#include <cmath>
#include <cstddef>

extern "C" double pearson_floor(const double* x, const double* y, std::size_t n) {
  double sum_x = -0.0;
  double sum_y = -0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum_x += x[i];
    sum_y += y[i];
  }
  const double count = static_cast<double>(n);
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
  return sxy / (std::sqrt(sxx) * std::sqrt(syy));
}
