// The estimators' per-point passes: what each stage costs (so the pool is woken only when it pays), visits
// of every point with a per-range state, in the tree's leaf order when it has one, and the adapter that lets
// the trees build their subtrees on the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "info/ksg_terms.hpp"
#include "kdtree/kdtree.hpp"
#include "numeric/fixed_split_sum.hpp"
#include "pool/pool.hpp"

namespace quorlix::info::detail {

// Approximate single-core costs of the estimators' stages, in nanoseconds per point (or per tree leaf),
// from which pool::worth_pooling decides whether a stage is worth the workers.
inline constexpr double kGatherNs = 1.0;   // copying a value to or from an indexed place
inline constexpr double kTermNs = 4.0;     // a per-point term from table look-ups, summed
inline constexpr double kLogNs = 20.0;     // a neighbour distance in sorted values and its logarithm
inline constexpr double kSortNs = 30.0;    // sorting a sample with its permutation
inline constexpr double kBuildNs = 40.0;   // placing a point in a tree
inline constexpr double kSearchNs = 40.0;  // boundary searches in sorted values from nearby hints
inline constexpr double kQueryNs = 150.0;  // a k-nearest or range query in a tree

// Leaf size of the trees that answer the k-nearest queries: with the small k of typical use the neighbours
// lie in a few leaves, and smaller leaves have fewer points to scan.
inline constexpr std::size_t kNeighbourBucket = 16;

// The floored largest distance among the `count` points of the tree nearest to p. The point itself is
// stored in the tree, so count = k + 1 reaches the k-th nearest other point.
template <std::size_t K>
double neighbour_radius(const KdTree<K>& tree, const typename KdTree<K>::Point& p, std::size_t count) {
  if (count == 0) return kDistanceFloor;
  return floor_distance(tree.nth_nearest_distance(p, count));
}

// Calls visit(j, state) once for every j < n, on the pool when n visits of ns_per_visit are worth it;
// each range of consecutive j shares one default-constructed State (the search hints carried from one
// position to the next).
template <class State, class Visit>
void for_each_with_state(std::size_t n, double ns_per_visit, const Visit& visit) {
  pool::parallel_for(n, ns_per_visit, [&](std::size_t begin, std::size_t end) {
    State state;
    for (std::size_t j = begin; j < end; ++j) visit(j, state);
  });
}

// Evaluates term(i) for every i < n into slot i, on the pool when the queries are worth it. Points are
// visited in the tree's leaf order when that order covers exactly 0 .. n-1 (neighbouring queries then touch
// the same nodes), in index order otherwise.
template <class Term>
Buffer<double> leaf_order_slots(std::span<const std::uint64_t> order, std::size_t n, const Term& term) {
  Buffer<double> slots(n);
  double* out = slots.data();
  const bool use_order = order.size() == n;
  pool::parallel_for(n, kQueryNs, [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      const std::size_t i = use_order ? static_cast<std::size_t>(order[j]) : j;
      out[i] = term(i);
    }
  });
  return slots;
}

// Sum of the slots left to right from -0.0, as a sequential loop over the points would form it.
inline double sequential_sum(std::span<const double> slots) {
  return numeric::ordered_sum(0, slots.size(), [slots](std::size_t i) { return slots[i]; });
}

// Adapts pool::parallel_tasks to the tree's constructor, whose subtree builds run as independent tasks.
inline KdTreeTasks tree_tasks() {
  return [](std::size_t count, std::size_t points_per_task, const std::function<void(std::size_t)>& task) {
    pool::parallel_tasks(count, static_cast<double>(points_per_task) * kBuildNs, task);
  };
}

}  // namespace quorlix::info::detail
