// The estimators' sums over the points of digamma terms of neighbour counts. Each count is taken one of two
// ways with the same result: by searches in sorted copies and radius queries on trees, or in rank space
// from the samples' rankings (faster; needs them).
#pragma once

#include <cstdint>
#include <span>

#include "info/inputs.hpp"
#include "kdtree/kdtree.hpp"

namespace quorlix::info {

// Sum over i of (psi(n_z + 1) - psi(n_xz + 1)) - psi(n_yz + 1), where the counts are the other points
// strictly within eps_i of point i in z, (x, z) and (y, z): by radius queries on the pair trees and searches
// in zs (z sorted). The sum follows numeric::split_sum's fixed split.
double tree_conditional_sum(std::span<const double> eps, const KdTree<2>& xz_tree, const KdTree<2>& yz_tree,
                            std::span<const double> x, std::span<const double> y, std::span<const double> z,
                            std::span<const double> zs);

// tree_conditional_sum with the counts taken in rank space from the three samples ranked: the z count as
// marginal_count takes it, and the plane counts as counts of points in rectangles of sorted positions. Needs
// every difference of two values of a sample to be finite, so that the Chebyshev distance in a plane is below
// a radius exactly when both coordinate distances are.
double ranked_conditional_sum(std::span<const double> eps, const detail::RankedSample& rx,
                              const detail::RankedSample& ry, const detail::RankedSample& rz);

// Sum over i of psi(n_x + 1) + psi(n_y + 1), with the marginal counts of marginal_count taken within eps_i
// by searches in xs and ys (x and y sorted). The sum follows numeric::split_sum's fixed split.
double searched_marginal_sum(std::span<const double> eps, std::span<const double> x,
                             std::span<const double> y, std::span<const double> xs,
                             std::span<const double> ys);

// searched_marginal_sum from the two samples ranked: each search starts where the previous position's
// ended, in a table of value buckets.
double ranked_marginal_sum(std::span<const double> eps, const detail::RankedSample& rx,
                           const detail::RankedSample& ry);

// The sum S of ksg_mi, the marginal sum over the radii knn_eps_2d gives on the joint tree of x and y; from
// the rankings when they are given (not null).
double mutual_sum(std::span<const double> x, std::span<const double> y, const detail::RankedSample* rx,
                  const detail::RankedSample* ry, std::uint64_t k);

// The conditional sum of ksg_cmi over the radii knn_eps_3d gives on the joint tree: in
// rank space when the three rankings are given (not null) and every difference of two values is finite, by
// radius queries on pair trees otherwise.
double conditional_sum(std::span<const double> x, std::span<const double> y, std::span<const double> z,
                       const detail::RankedSample* rx, const detail::RankedSample* ry,
                       const detail::RankedSample* rz, std::uint64_t k);

}  // namespace quorlix::info
