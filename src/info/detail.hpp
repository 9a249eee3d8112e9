// Pieces the estimators share: input checks, sorted marginals and the per-point pass in tree-leaf order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <vector>

#include "core/sample.hpp"
#include "kdtree/kdtree.hpp"
#include "numeric/gamma_functions.hpp"
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

// An ascending copy; the values hold no NaN. Polls for an interrupt once sorted.
std::vector<double> sorted_copy(const std::vector<double>& values);

// The number of neighbours a (k+1)-nearest query asks a tree of `size` points for, kept in range so that
// no count overflows and an empty tree is never asked.
inline std::size_t query_count(std::uint64_t k, std::size_t size) { return k < size ? k + 1 : size; }

// The floored largest distance among the `count` points of the tree nearest to p. The point itself is
// stored in the tree, so count = k + 1 reaches the k-th nearest other point.
template <std::size_t K>
double neighbour_radius(const KdTree<K>& tree, const typename KdTree<K>::Point& p, std::size_t count) {
  if (count == 0) return kDistanceFloor;
  return floor_distance(tree.nth_nearest_distance(p, count));
}

// Approximate single-core costs of the estimators' stages, in nanoseconds per point (or per tree leaf),
// from which pool::worth_pooling decides whether a stage is worth the workers.
inline constexpr double kGatherNs = 1.0;    // copying a value to or from an indexed place
inline constexpr double kTermNs = 4.0;      // a per-point term from table look-ups, summed
inline constexpr double kLogNs = 20.0;      // a neighbour distance in sorted values and its logarithm
inline constexpr double kSortNs = 30.0;     // sorting a sample with its permutation
inline constexpr double kBuildNs = 40.0;    // placing a point in a tree
inline constexpr double kSearchNs = 40.0;   // boundary searches in sorted values from nearby hints
inline constexpr double kQueryNs = 150.0;   // a k-nearest or range query in a tree

// Calls visit(j, state) once for every j < n, on the pool when n visits of ns_per_visit are worth it;
// each range of consecutive j shares one default-constructed State (a scratch heap for the k-nearest
// queries, search hints), so no point allocates.
template <class State, class Visit>
void for_each_with_state(std::size_t n, double ns_per_visit, const Visit& visit) {
  pool::parallel_for(n, ns_per_visit, [&](std::size_t begin, std::size_t end) {
    State state;
    for (std::size_t j = begin; j < end; ++j) visit(j, state);
  });
}

// Calls visit(i, state) once for every i < n, as for_each_with_state does. Points are visited in the tree's
// leaf order when that order covers exactly 0 .. n-1 (neighbouring queries then touch the same nodes), in
// index order otherwise.
template <class State, class Visit>
void visit_in_leaf_order(std::span<const std::uint64_t> order, std::size_t n, const Visit& visit) {
  const bool use_order = order.size() == n;
  for_each_with_state<State>(n, kQueryNs, [&](std::size_t j, State& state) {
    visit(use_order ? static_cast<std::size_t>(order[j]) : j, state);
  });
}

// Evaluates term(i, scratch) for every i < n into slot i, visiting the points as visit_in_leaf_order does.
template <class Term>
std::vector<double> leaf_order_slots(std::span<const std::uint64_t> order, std::size_t n, const Term& term) {
  std::vector<double> slots(n);
  double* out = slots.data();
  visit_in_leaf_order<std::vector<NearestNeighbour>>(
      order, n, [&](std::size_t i, std::vector<NearestNeighbour>& scratch) { out[i] = term(i, scratch); });
  return slots;
}

// Sum of the slots left to right from -0.0, as a sequential loop over the points would form it.
double sequential_sum(const std::vector<double>& slots);

// Adapts pool::parallel_tasks to the tree's constructor, whose subtree builds run as independent tasks.
KdTreeTasks tree_tasks();

// Leaf size of the trees that answer the k-nearest queries: with the small k of typical use the neighbours
// lie in a few leaves, and smaller leaves have fewer points to scan.
inline constexpr std::size_t kNeighbourBucket = 16;

// The largest sample whose positions, and twice whose length, fit the 32-bit fields used with rankings.
inline constexpr std::size_t kMaxRanked = 0x7FFFFFFF;

// A sample's values in ascending order, bit-identical to sorted_copy, with the permutation between the
// two orders.
struct RankedSample {
  std::vector<double> sorted;
  std::vector<std::uint32_t> order;     // order[p]: the index whose value sits at sorted position p
  std::vector<std::uint32_t> position;  // position[i]: the sorted position of the value of index i
};

// Needs values.size() <= kMaxRanked and no NaN among the values. Polls for an interrupt once sorted.
RankedSample rank_sample(std::span<const double> values);

// The checked copies of three paired samples and, when n allows, their rankings (three pool tasks), as
// ksg_cmi and ksg_ii both start from them.
struct SampleTriple {
  std::vector<double> x, y, z;
  bool ranked = false;
  RankedSample rx, ry, rz;

  const RankedSample* ranking(const RankedSample& r) const { return ranked ? &r : nullptr; }
};

// Validates lengths and k (the three-sample messages), copies and NaN-checks, then ranks.
SampleTriple prepare_triple(Sample x, Sample y, Sample z, std::uint64_t k);

// Whether every difference of two values is finite: no infinity, no NaN and no overflow.
bool differences_finite(std::span<const double> values);

// psi(count + 1), the count converted to double before 1 is added. Small counts are read from a table that
// the same function filled once per process, so the bits are those of a direct evaluation.
inline constexpr std::size_t kPsiTableSize = std::size_t{1} << 16;
const double* psi_table();
inline double psi_of_count(const double* table, std::size_t count) {
  return count < kPsiTableSize ? table[count] : numeric::digamma(static_cast<double>(count) + 1.0);
}

}  // namespace quorlix::info::detail
