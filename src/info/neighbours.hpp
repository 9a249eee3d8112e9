// Per-point neighbour radii and neighbour counts shared by the mutual-information estimators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "info/inputs.hpp"
#include "kdtree/kdtree.hpp"

namespace quorlix::info {

// Entry i is the distance from (a_i, b_i) to its k-th nearest other point of the tree (which holds exactly
// these points with item id i), floored at 1e-7. The result has the length of the shorter sequence.
std::vector<double> knn_eps_2d(const KdTree<2>& tree, std::span<const double> a, std::span<const double> b,
                               std::uint64_t k);

// The same for three coordinates; the result has the length of the shortest sequence.
std::vector<double> knn_eps_3d(const KdTree<3>& tree, std::span<const double> a, std::span<const double> b,
                               std::span<const double> c, std::uint64_t k);

// The number of values of `sorted` (ascending, the centre's own value included) strictly between
// centre - radius and centre + radius, each bound rounded to double, minus one for the centre itself and
// never below zero.
std::size_t marginal_count(std::span<const double> sorted, double centre, double radius);

// A range of positions in a sorted sample, [first, last).
struct PositionRange {
  std::size_t first, last;
};

// The two boundaries marginal_count uses: first is the number of values at or below centre - radius, last
// the number below centre + radius. Each is searched outward from its hint (a position below sorted.size());
// the result does not depend on the hints, only the time taken, which is least when they lie near the
// boundaries (those of a nearby point, or the centre's own position).
// own is the position of centre itself, which also helps guess where the boundaries lie.
PositionRange marginal_bounds(std::span<const double> sorted, std::size_t own, PositionRange hints,
                              double centre, double radius);

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
  std::size_t count_ = 0;              // buckets below high_; values equal to high_ have bucket count_
  Buffer<std::uint32_t> starts_;       // count_ + 2 entries, the last one the sample size
};

// marginal_bounds and closer_than with the search started inside the bucket range of each bound instead of
// at a guess from the hints; the result is the same. Needs a sample of at most 2^32 - 1 values, and falls
// back on the guesses when the buckets are not usable.
PositionRange marginal_bounds(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                              PositionRange hints, double centre, double radius);
PositionRange closer_than(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                          PositionRange hints, double centre, double radius);

// marginal_bounds searched outward from the given positions (each below sorted.size()) without a guess;
// for starts that already lie next to the boundaries.
PositionRange marginal_bounds_from(std::span<const double> sorted, PositionRange starts, double centre,
                                   double radius);

// The positions of sorted whose value lies strictly closer to centre than radius, measured as
// |sorted[p] - centre|, searched from hints as marginal_bounds does. centre must be sorted[own] and radius
// positive, so the range holds own.
PositionRange closer_than(std::span<const double> sorted, std::size_t own, PositionRange hints, double centre,
                          double radius);

// Sum over i of (psi(n_z + 1) - psi(n_xz + 1)) - psi(n_yz + 1), where the counts are the other points
// strictly within eps_i of point i in z, (x, z) and (y, z). The sum follows the pool's fixed split.
double cmi_neighbour_sum(std::span<const double> eps, const KdTree<2>& xz_tree, const KdTree<2>& yz_tree,
                         std::span<const double> x, std::span<const double> y, std::span<const double> z,
                         std::span<const double> zs);

// cmi_neighbour_sum with the counts taken in rank space from the three samples ranked: the z count as
// marginal_count takes it, and the plane counts as counts of points in rectangles of sorted positions. Needs
// every difference of two values of a sample to be finite, so that the Chebyshev distance in a plane is below
// a radius exactly when both coordinate distances are.
double ranked_neighbour_sum(std::span<const double> eps, const detail::RankedSample& rx,
                            const detail::RankedSample& ry, const detail::RankedSample& rz);

// Sum over i of psi(n_x + 1) + psi(n_y + 1), with the marginal counts of marginal_count taken within eps_i;
// xs and ys are x and y sorted. The sum follows the pool's fixed split.
double marginal_sum(std::span<const double> eps, std::span<const double> x, std::span<const double> y,
                    std::span<const double> xs, std::span<const double> ys);

// marginal_sum from the two samples ranked.
double ranked_marginal_sum(std::span<const double> eps, const detail::RankedSample& rx,
                           const detail::RankedSample& ry);

// The sum S of ksg_mi, marginal_sum over the radii knn_eps_2d gives on the joint tree of x and y; from the
// rankings when they are given (not null).
double mutual_sum(std::span<const double> x, std::span<const double> y, const detail::RankedSample* rx,
                  const detail::RankedSample* ry, std::uint64_t k);

// The conditional sum of ksg_cmi, cmi_neighbour_sum over the radii knn_eps_3d gives on the joint tree: in
// rank space when the three rankings are given (not null) and every difference of two values is finite, by
// radius queries on pair trees otherwise.
double conditional_sum(std::span<const double> x, std::span<const double> y, std::span<const double> z,
                       const detail::RankedSample* rx, const detail::RankedSample* ry,
                       const detail::RankedSample* rz, std::uint64_t k);

}  // namespace quorlix::info
