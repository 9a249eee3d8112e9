// Argument checks, checked copies and rankings of the estimators' inputs.
#include "info/inputs.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "core/errors.hpp"
#include "core/stop.hpp"
#include "info/passes.hpp"
#include "numeric/radix_sort.hpp"
#include "pool/pool.hpp"

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
  const std::size_t n = s.size();
  std::vector<double> values;
  values.reserve(n);
  bool has_nan = false;
  // The copy grows a stretch at a time, so that its pages are first touched between polls too.
  pool::for_each_stretch(static_cast<std::ptrdiff_t>(n), [&](std::ptrdiff_t start, std::ptrdiff_t stop) {
    const auto b = static_cast<std::size_t>(start);
    const auto e = static_cast<std::size_t>(stop);
    values.resize(e);
    if (const unsigned char* bytes = s.contiguous_bytes()) {
      std::memcpy(values.data() + b, bytes + b * sizeof(double), (e - b) * sizeof(double));
    } else {
      for (std::size_t i = b; i < e; ++i) values[i] = s[i];
    }
    for (std::size_t i = b; i < e; ++i) has_nan |= std::isnan(values[i]);
  });
  if (has_nan) throw InternalFailure(Failure::kNaN);
  return values;
}

std::vector<double> sorted_copy(std::span<const double> values) {
  std::vector<double> sorted(values.begin(), values.end());
  numeric::sort_ascending(sorted);
  pool::poll_interrupt();
  return sorted;
}

RankedSample rank_sample(std::span<const double> values) {
  RankedSample r;
  numeric::sort_with_order(values, r.sorted, r.order);
  r.position.resize(values.size());
  stop_point();
  for (std::size_t p = 0; p < r.order.size(); ++p) r.position[r.order[p]] = static_cast<std::uint32_t>(p);
  stop_point();
  return r;
}

SampleTriple prepare_triple(Sample x, Sample y, Sample z, std::uint64_t k) {
  require_same_length({x.size(), y.size(), z.size()}, "x, y and z must have same length");
  require_usable(x.size(), k);
  SampleTriple t;
  t.x = checked_copy(x);
  t.y = checked_copy(y);
  t.z = checked_copy(z);
  t.ranked = t.x.size() <= kMaxRanked;
  if (t.ranked) {
    RankedSample* const rankings[] = {&t.rx, &t.ry, &t.rz};
    const std::vector<double>* const samples[] = {&t.x, &t.y, &t.z};
    pool::parallel_tasks(3, static_cast<double>(t.x.size()) * kSortNs,
                         [&](std::size_t i) { *rankings[i] = rank_sample(*samples[i]); });
  }
  return t;
}

bool differences_finite(std::span<const double> values) {
  if (values.empty()) return true;
  double lo = values[0];
  double hi = values[0];
  for (const double v : values) {
    if (!std::isfinite(v)) return false;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  return std::isfinite(hi - lo);
}

}  // namespace quorlix::info::detail
