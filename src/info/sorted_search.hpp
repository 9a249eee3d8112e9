// Searches in a sorted sample: how many values lie strictly within a radius of a centre (the marginal
// counts of the estimators), as one count or as the two boundary positions, started from hints or from a
// table of value buckets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/buffer.hpp"

namespace quorlix::info {

// The number of values of `sorted` (ascending, the centre's own value included) strictly between
// centre - radius and centre + radius, each bound rounded to double, minus one for the centre itself and
// never below zero.
std::size_t marginal_count(std::span<const double> sorted, double centre, double radius);

// A range of positions in a sorted sample, [first, last).
struct PositionRange {
  std::size_t first, last;
};

// Where the values of a sorted sample lie, by value: the span from the least to the greatest value is cut
// into as many equal buckets as there are values, and for each bucket the table holds the first position
// whose value falls into it or a later one. Every boundary of a threshold on the values (v <= t or v < t)
// then lies between the table's entries for the bucket of t and the next one, a range of a few positions
// on most data. Samples without a finite, non-zero span have no buckets (usable() is false).
class ValueBuckets {
 public:
  explicit ValueBuckets(std::span<const double> sorted);

  bool usable() const { return !starts_.empty(); }

  // The positions between which the boundary of every threshold at t lies (first <= boundary <= last).
  // Needs usable().
  PositionRange around(double t) const {
    const std::size_t b = bucket(t);
    return {starts_[b], starts_[b + 1]};
  }

 private:
  // A non-decreasing function of the value, so that a value in a lower bucket than t is below t.
  std::size_t bucket(double v) const {
    if (!(v > low_)) return 0;
    if (!(v < high_)) return count_;
    const auto b = static_cast<std::size_t>((v - low_) * scale_);
    return b < count_ ? b : count_ - 1;
  }

  double low_ = 0.0;
  double high_ = 0.0;
  double scale_ = 0.0;
  std::size_t count_ = 0;         // buckets below high_; values equal to high_ have bucket count_
  Buffer<std::uint32_t> starts_;  // count_ + 2 entries, the last one the sample size
};

// The two boundaries marginal_count uses: first is the number of values at or below centre - radius, last
// the number below centre + radius. Each search starts inside the bucket range of its bound, from the hint
// when it lies there (as it does when neighbouring points share a boundary); without usable buckets it
// starts at a guess from the hints (positions below sorted.size()) and own, the position of centre itself.
// The result does not depend on the hints, only the time taken. Needs at most 2^32 - 1 values.
PositionRange marginal_bounds(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                              PositionRange hints, double centre, double radius);

// marginal_bounds searched outward from the given positions (each below sorted.size()) without a guess;
// for starts that already lie next to the boundaries.
PositionRange marginal_bounds_from(std::span<const double> sorted, PositionRange starts, double centre,
                                   double radius);

// The positions of sorted whose value lies strictly closer to centre than radius, measured as
// |sorted[p] - centre|, searched as marginal_bounds does. centre must be sorted[own] and radius positive, so
// the range holds own.
PositionRange closer_than(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                          PositionRange hints, double centre, double radius);

// The count of marginal_count from its two boundaries: the values strictly between the bounds, less the
// centre itself, never below zero.
inline std::size_t counted_between(PositionRange bounds) {
  return bounds.last > bounds.first ? bounds.last - bounds.first - 1 : 0;
}

// Search hints for the next point from the boundaries just found, kept inside the sample.
inline PositionRange as_hints(PositionRange found, std::size_t n) {
  return {std::min(found.first, n - 1), std::min(found.last, n - 1)};
}

}  // namespace quorlix::info
