// Boundary searches in sorted samples.
#include "info/sorted_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "info/inputs.hpp"
#include "info/passes.hpp"
#include "pool/pool.hpp"

namespace quorlix::info {
namespace {

// How many leading values satisfy `holds`, which is true on a prefix of `values` and false after it. The
// halving keeps the remaining range length a function of n alone, so the loop compiles without branches
// on the data.
template <class Holds>
std::size_t prefix_length(std::span<const double> values, const Holds& holds) {
  std::size_t n = values.size();
  if (n == 0) return 0;
  const double* base = values.data();
  while (n > 1) {
    const std::size_t half = n / 2;
    base = holds(base[half]) ? base + half : base;
    n -= half;
  }
  return static_cast<std::size_t>(base - values.data()) + (holds(*base) ? 1 : 0);
}

// prefix_length, searching outward from position hint: doubling steps find a range that holds the end of the
// prefix, and a binary search finishes inside it.
template <class Holds>
std::size_t prefix_length_near(std::span<const double> values, std::size_t hint, const Holds& holds) {
  const std::size_t n = values.size();
  if (n == 0) return 0;
  // The prefix ends in [good, bad]: values before good hold, the value at bad (if any) does not.
  std::size_t good = 0;
  std::size_t bad = n;
  if (holds(values[hint])) {
    good = hint + 1;
    for (std::size_t step = 1; good + step - 1 < bad; step *= 2) {
      const std::size_t probe = good + step - 1;
      if (!holds(values[probe])) {
        bad = probe;
        break;
      }
      good = probe + 1;
    }
  } else {
    bad = hint;
    for (std::size_t step = 1; step <= bad; step *= 2) {
      const std::size_t probe = bad - step;
      if (holds(values[probe])) {
        good = probe + 1;
        break;
      }
      bad = probe;
    }
  }
  return good + prefix_length(values.subspan(good, bad - good), holds);
}

// Where target probably sits in sorted: a secant step from the positions own and hint, and a second one
// from the first guess and hint. Only a starting point for an exact search, which costs the fewer probes
// the nearer the guess; the values change smoothly with the position on most data, so two steps usually
// land within a few places of the target.
std::size_t secant(std::span<const double> sorted, std::size_t a, std::size_t b, double target) {
  const double from = sorted[a];
  const double span = sorted[b] - from;
  if (!(span != 0.0)) return b;
  const double guess =
      static_cast<double>(a) + (target - from) / span * (static_cast<double>(b) - static_cast<double>(a));
  const double last = static_cast<double>(sorted.size() - 1);
  if (!(guess > 0.0)) return 0;
  return guess < last ? static_cast<std::size_t>(guess) : sorted.size() - 1;
}

std::size_t guess_position(std::span<const double> sorted, std::size_t own, std::size_t hint, double target) {
  const std::size_t first = secant(sorted, own, hint, target);
  return first == hint ? hint : secant(sorted, hint, first, target);
}

// The boundary of a threshold at t (holds is v <= t or v < t): an exact search within the bucket range, from
// the hint when it lies inside, as it does when neighbouring points share their boundary.
template <class Holds>
std::size_t threshold_boundary(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t hint,
                               double t, const Holds& holds) {
  const PositionRange range = buckets.around(t);
  const std::span<const double> inside = sorted.subspan(range.first, range.last - range.first);
  if (hint >= range.first && hint < range.last) {
    return range.first + prefix_length_near(inside, hint - range.first, holds);
  }
  return range.first + prefix_length(inside, holds);
}

// A starting position for a search whose boundary lies near the threshold t: with usable buckets the hint
// when it falls in the bucket range of t and the start of that range otherwise, without them a guess.
std::size_t start_near(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                       std::size_t hint, double t) {
  if (!buckets.usable()) return guess_position(sorted, own, hint, t);
  const PositionRange range = buckets.around(t);
  const std::size_t guess = hint >= range.first && hint <= range.last ? hint : range.first;
  return std::min(guess, sorted.size() - 1);
}

// The ends of a marginal count: a value counts when it lies strictly above centre - radius and strictly
// below centre + radius, each bound as rounded. A value exactly at a rounded bound lies outside; with a NaN
// bound neither comparison holds, so nothing counts.
struct MarginalEnds {
  double lo, hi;
  MarginalEnds(double centre, double radius) : lo(centre - radius), hi(centre + radius) {}
  auto at_or_below_lo() const {
    return [lo = lo](double v) { return v <= lo; };
  }
  auto below_hi() const {
    return [hi = hi](double v) { return v < hi; };
  }
};

// closer_than searched outward from the given positions (each below sorted.size()).
PositionRange closer_than_from(std::span<const double> sorted, PositionRange starts, double centre,
                               double radius) {
  // Rounding is monotone, so |v - centre| shrinks towards centre from either side: the values left of it
  // that are too far form a prefix, and so do all values up to the last one close enough on its right.
  const std::size_t first = prefix_length_near(sorted, starts.first, [centre, radius](double v) {
    return v < centre && !(std::fabs(v - centre) < radius);
  });
  const std::size_t last = prefix_length_near(sorted, starts.last, [centre, radius](double v) {
    return v <= centre || std::fabs(v - centre) < radius;
  });
  return {first, last};
}

}  // namespace

std::size_t marginal_count(std::span<const double> sorted, double centre, double radius) {
  const MarginalEnds ends(centre, radius);
  return counted_between(
      {prefix_length(sorted, ends.at_or_below_lo()), prefix_length(sorted, ends.below_hi())});
}

PositionRange marginal_bounds_from(std::span<const double> sorted, PositionRange starts, double centre,
                                   double radius) {
  const MarginalEnds ends(centre, radius);
  return {prefix_length_near(sorted, starts.first, ends.at_or_below_lo()),
          prefix_length_near(sorted, starts.last, ends.below_hi())};
}

ValueBuckets::ValueBuckets(std::span<const double> sorted) {
  const std::size_t n = sorted.size();
  if (n < 2 || n > std::numeric_limits<std::uint32_t>::max()) return;
  low_ = sorted.front();
  high_ = sorted.back();
  count_ = n;
  scale_ = static_cast<double>(count_) / (high_ - low_);
  if (!(std::isfinite(low_) && std::isfinite(high_) && std::isfinite(high_ - low_) && high_ > low_ &&
        std::isfinite(scale_))) {
    return;
  }
  starts_.resize(count_ + 2);
  // Position p starts the buckets after the one of the value before it, up to its own; every bucket is
  // written by exactly one position (or, past the greatest value, by the end), so ranges of positions can
  // be handled at the same time.
  pool::parallel_for(n, detail::kGatherNs, [&](std::size_t begin, std::size_t end) {
    std::size_t next = begin == 0 ? 0 : bucket(sorted[begin - 1]) + 1;
    for (std::size_t p = begin; p < end; ++p) {
      const std::size_t b = bucket(sorted[p]);
      for (; next <= b; ++next) starts_[next] = detail::position32(p);
    }
  });
  for (std::size_t b = bucket(sorted[n - 1]) + 1; b < starts_.size(); ++b) starts_[b] = detail::position32(n);
}

PositionRange marginal_bounds(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                              PositionRange hints, double centre, double radius) {
  const MarginalEnds ends(centre, radius);
  if (buckets.usable()) {
    return {threshold_boundary(sorted, buckets, hints.first, ends.lo, ends.at_or_below_lo()),
            threshold_boundary(sorted, buckets, hints.last, ends.hi, ends.below_hi())};
  }
  return {
      prefix_length_near(sorted, guess_position(sorted, own, hints.first, ends.lo), ends.at_or_below_lo()),
      prefix_length_near(sorted, guess_position(sorted, own, hints.last, ends.hi), ends.below_hi())};
}

PositionRange closer_than(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                          PositionRange hints, double centre, double radius) {
  return closer_than_from(sorted,
                          {start_near(sorted, buckets, own, hints.first, centre - radius),
                           start_near(sorted, buckets, own, hints.last, centre + radius)},
                          centre, radius);
}

}  // namespace quorlix::info
