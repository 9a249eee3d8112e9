// Pieces the estimators share: input checks, sorted marginals and the per-point pass in tree-leaf order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "core/sample.hpp"
#include "kdtree/kdtree.hpp"
#include "pool/pool.hpp"

namespace quorlix::info::detail {

inline constexpr double kDistanceFloor = 1e-7;
inline constexpr double kNormalizeThreshold = 1e-10;
inline constexpr double kLn2 = 0.6931471805599453;
inline constexpr double kLn4 = 1.3862943611198906;

// A radius of 0 (coinciding points) would make the logarithms and the strict counts degenerate; NaN
// fails the comparison too, so it is floored as well.
inline double floor_distance(double d) { return d > kDistanceFloor ? d : kDistanceFloor; }

// Throws ValidationError when the samples are empty or k is outside [1, n).
void require_usable(std::size_t n, std::uint64_t k);

// Throws ValidationError with `message` unless every length equals the first.
void require_same_length(std::initializer_list<std::size_t> lengths, const char* message);

// Copies the sample and throws InternalFailure (the unwrap message) if it holds a NaN.
std::vector<double> checked_copy(Sample s);

// An ascending copy; the values hold no NaN.
std::vector<double> sorted_copy(const std::vector<double>& values);

// The number of neighbours a (k+1)-nearest query asks a tree of `size` points for, kept in range so that
// no count overflows and an empty tree is never asked.
inline std::size_t query_count(std::uint64_t k, std::size_t size) { return k < size ? k + 1 : size; }

// The floored largest distance among the `count` points of the tree nearest to p. The point itself is
// stored in the tree, so count = k + 1 reaches the k-th nearest other point.
template <std::size_t K>
double neighbour_radius(const KdTree<K>& tree, const typename KdTree<K>::Point& p, std::size_t count,
                        std::vector<NearestNeighbour>& scratch) {
  if (count == 0) return kDistanceFloor;
  return floor_distance(tree.nth_nearest_distance(p, count, scratch));
}

// Below this many points the per-point work costs less than waking the pool's workers.
inline constexpr std::size_t kSerialLimit = 256;

// Evaluates term(i, scratch) for every i < n into slot i. Points are visited in the tree's leaf order when
// that order covers exactly 0 .. n-1 (neighbouring queries then touch the same nodes), in index order
// otherwise. Each chunk owns one scratch heap for the k-nearest queries, so no point allocates.
template <class Term>
std::vector<double> leaf_order_slots(std::span<const std::uint64_t> order, std::size_t n, const Term& term) {
  std::vector<double> slots(n);
  double* out = slots.data();
  const bool use_order = order.size() == n;
  const auto run = [&](std::size_t begin, std::size_t end) {
    std::vector<NearestNeighbour> scratch;
    for (std::size_t j = begin; j < end; ++j) {
      const std::size_t i = use_order ? static_cast<std::size_t>(order[j]) : j;
      out[i] = term(i, scratch);
    }
  };
  if (n <= kSerialLimit) {
    run(0, n);
  } else {
    pool::parallel_for(n, run);
  }
  return slots;
}

// Sum of the slots left to right from -0.0, as a sequential loop over the points would form it.
double sequential_sum(const std::vector<double>& slots);

}  // namespace quorlix::info::detail
