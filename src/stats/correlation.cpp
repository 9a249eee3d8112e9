// Pearson, Spearman and phi correlation coefficients with their p-values.
#include "stats/correlation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/errors.hpp"
#include "numeric/distributions.hpp"
#include "numeric/work_memory.hpp"
#include "pool/pool.hpp"
#include "stats/cell_counts.hpp"
#include "stats/ranks.hpp"

namespace quorlix::stats {
namespace {

void validate_pair(std::size_t x_size, std::size_t y_size) {
  if (x_size != y_size) throw ValidationError("x and y must have same length");
  if (x_size < 3) throw ValidationError("array must contain >= 3 elements");
}

// The two passes of the product-moment correlation: the means, then the centred sums of squares and
// products. Each sum runs left to right in one accumulator: the results are reproduced to the last bit, so
// the passes must not be split into lanes or reordered.
struct Moments {
  double sxx, syy, sxy;
};

// Instantiated once per use (kUse): with a single call site each copy is compiled into its caller, which the
// memory-bound passes need (a shared out-of-line copy ran a third slower at n = 10⁷).
template <int kUse>
Moments centred_moments(Sample x, Sample y) {
  // A signed index lets the compiler turn the view's i * stride into a pointer stepping by the stride, which
  // reads as fast as a plain array; with an unsigned one it multiplies on every access.
  const auto n = static_cast<std::ptrdiff_t>(x.size());
  const auto at = [](Sample v, std::ptrdiff_t i) { return v[static_cast<std::size_t>(i)]; };
  const double count = static_cast<double>(n);
  double sum_x = -0.0;
  double sum_y = -0.0;
  pool::for_each_stretch(n, [&](std::ptrdiff_t start, std::ptrdiff_t stop) {
    for (std::ptrdiff_t i = start; i < stop; ++i) {
      sum_x += at(x, i);
      sum_y += at(y, i);
    }
  });
  const double mean_x = sum_x / count;
  const double mean_y = sum_y / count;

  double sxx = 0.0;
  double syy = 0.0;
  double sxy = 0.0;
  pool::for_each_stretch(n, [&](std::ptrdiff_t start, std::ptrdiff_t stop) {
    for (std::ptrdiff_t i = start; i < stop; ++i) {
      const double dx = at(x, i) - mean_x;
      const double dy = at(y, i) - mean_y;
      sxx += dx * dx;
      syy += dy * dy;
      sxy += dx * dy;
    }
  });
  return {sxx, syy, sxy};
}

bool all_finite(Sample v) {
  bool finite = true;
  pool::for_each_stretch(static_cast<std::ptrdiff_t>(v.size()),
                         [&](std::ptrdiff_t start, std::ptrdiff_t stop) {
                           for (std::ptrdiff_t i = start; i < stop && finite; ++i)
                             finite = std::isfinite(v[static_cast<std::size_t>(i)]);
                         });
  return finite;
}

bool all_equal(Sample v) {
  if (v.byte_stride() == 0) return true;  // one stored value, however long the view
  bool equal = true;
  pool::for_each_stretch(static_cast<std::ptrdiff_t>(v.size()),
                         [&](std::ptrdiff_t start, std::ptrdiff_t stop) {
                           for (std::ptrdiff_t i = start; i < stop && equal; ++i)
                             equal = v[static_cast<std::size_t>(i)] == v[0];
                         });
  return equal;
}

// The values times the power of two that brings the largest magnitude into [0.5, 1). The product is
// exact unless a value is so much smaller than the largest that it falls below the normal range.
std::vector<double> scaled_to_unit(Sample v) {
  double largest = 0.0;
  pool::for_each_stretch(static_cast<std::ptrdiff_t>(v.size()),
                         [&](std::ptrdiff_t start, std::ptrdiff_t stop) {
                           for (std::ptrdiff_t i = start; i < stop; ++i)
                             largest = std::max(largest, std::fabs(v[static_cast<std::size_t>(i)]));
                         });
  int exponent = 0;
  std::frexp(largest, &exponent);
  std::vector<double> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = std::ldexp(v[i], -exponent);
  return out;
}

// The centred sums of finite data overflow when values approach the square root of the largest double,
// and squares underflow to zero when they approach that of the smallest. The correlation does not depend
// on the samples' scales, so such data is measured again after scaling each sample by a power of two.
// Anything the direct computation handles keeps its result; NaN and infinite values keep their failures.
bool needs_rescaling(const Moments& direct, Sample x, Sample y) {
  const bool overflowed =
      !std::isfinite(direct.sxx) || !std::isfinite(direct.syy) || !std::isfinite(direct.sxy);
  const bool underflowed = (direct.sxx == 0.0 && !all_equal(x)) || (direct.syy == 0.0 && !all_equal(y));
  return (overflowed || underflowed) && all_finite(x) && all_finite(y);
}

[[gnu::noinline]] Moments rescaled_moments(Sample x, Sample y) {
  const std::vector<double> xs = scaled_to_unit(x);
  const std::vector<double> ys = scaled_to_unit(y);
  return centred_moments<1>(Sample::of(xs), Sample::of(ys));
}

// The product-moment correlation of two equally long samples (n >= 3) and its two-sided t-test p-value.
TestResult correlation_test(Sample x, Sample y) {
  const std::size_t n = x.size();
  const double count = static_cast<double>(n);
  Moments moments = centred_moments<0>(x, y);
  if (needs_rescaling(moments, x, y)) moments = rescaled_moments(x, y);
  const auto [sxx, syy, sxy] = moments;
  // Exact comparison: a constant sample whose mean does not divide back exactly leaves tiny residues and
  // is treated as varying. A NaN sum is not zero and goes on to fail in the t distribution.
  if (sxx == 0.0 || syy == 0.0) throw ValidationError("arrays must have nonzero variance");

  // n - 2 degrees of freedom, formed as the addition of -2.0 (the same bits as subtracting 2.0).
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

// Counts the pairs of views that are not both adjacent bytes into cells[2 * x + y]. The four cells count
// in 16-bit lanes of one register, which each pair adds to through a small table: incrementing cells of a
// table in memory would chain every element to the previous one through the store. The lanes are emptied
// into full-width counts before they can overflow. The index is signed for the reason given in
// centred_moments.
void count_cells_strided(BoolSample x, BoolSample y, std::uint64_t (&cells)[4]) {
  constexpr std::uint64_t kLaneOne[4] = {1, std::uint64_t{1} << 16, std::uint64_t{1} << 32,
                                         std::uint64_t{1} << 48};
  constexpr std::ptrdiff_t kLaneCapacity = 0xFFFF;
  const auto length = static_cast<std::ptrdiff_t>(x.size());
  for (std::ptrdiff_t start = 0; start < length; start += kLaneCapacity) {
    const std::ptrdiff_t stop = std::min(length, start + kLaneCapacity);
    std::uint64_t lanes = 0;
    for (std::ptrdiff_t i = start; i < stop; ++i) {
      const int cell = 2 * (x[static_cast<std::size_t>(i)] != 0) + (y[static_cast<std::size_t>(i)] != 0);
      lanes += kLaneOne[cell];
    }
    for (int c = 0; c < 4; ++c) cells[c] += (lanes >> (16 * c)) & 0xFFFF;
    // Every 16 lane fills, about a million elements.
    if ((start / kLaneCapacity) % 16 == 15) pool::poll_interrupt_quietly();
  }
}

}  // namespace

TestResult pearson_corr(Sample x, Sample y) {
  validate_pair(x.size(), y.size());
  return correlation_test(x, y);
}

TestResult spearman_corr(Sample x, Sample y) {
  validate_pair(x.size(), y.size());
  // The caller's buffers are read only here, before the workers are woken: while the calling thread waits
  // for them it runs Python's signal handlers, which may free or resize the input arrays.
  numeric::WorkVector<std::uint64_t> kx = order_keys(x);
  numeric::WorkVector<std::uint64_t> ky = order_keys(y);
  numeric::WorkVector<double> rx;
  numeric::WorkVector<double> ry;
  // The two rankings are independent and take nearly all the time, so long samples rank x and y as two
  // tasks on the worker pool. The ranks are the same either way.
  constexpr double kRankNs = 30.0;  // per value, on one core
  pool::parallel_tasks(2, static_cast<double>(x.size()) * kRankNs,
                       [&](std::size_t t) { (t == 0 ? rx : ry) = ranks_of_keys(t == 0 ? kx : ky); });
  return correlation_test(Sample::contiguous(rx.data(), rx.size()), Sample::contiguous(ry.data(), ry.size()));
}

TestResult phi_coef(BoolSample x, BoolSample y) {
  validate_pair(x.size(), y.size());
  const std::size_t n = x.size();
  std::uint64_t cells[4] = {};
  const unsigned char* const x_bytes = x.contiguous_bytes();
  const unsigned char* const y_bytes = y.contiguous_bytes();
  if (x_bytes != nullptr && y_bytes != nullptr) {
    CellCounts c;
    pool::for_each_stretch(static_cast<std::ptrdiff_t>(n), [&](std::ptrdiff_t start, std::ptrdiff_t stop) {
      const CellCounts part =
          count_true(x_bytes + start, y_bytes + start, static_cast<std::size_t>(stop - start));
      c.x += part.x;
      c.y += part.y;
      c.both += part.both;
    });
    cells[3] = c.both;
    cells[2] = c.x - c.both;
    cells[1] = c.y - c.both;
    cells[0] = ((n - c.x) - c.y) + c.both;
  } else {
    count_cells_strided(x, y, cells);
  }
  const double n11 = static_cast<double>(cells[3]);
  const double n10 = static_cast<double>(cells[2]);
  const double n01 = static_cast<double>(cells[1]);
  const double n00 = static_cast<double>(cells[0]);

  // The product of the four marginal totals: y false, y true, x false, x true, nested in this order.
  const double d = (n10 + n00) * ((n01 + n11) * ((n01 + n00) * (n10 + n11)));
  if (d == 0.0) throw ValidationError("phi is undefined: 1+ marginal totals are zero");
  const double phi = (n00 * n11 - n01 * n10) / std::sqrt(d);
  const double chi_squared = (static_cast<double>(n) * phi) * phi;
  return {phi, 1.0 - numeric::ChiSquared(1.0).cdf(chi_squared)};
}

}  // namespace quorlix::stats
