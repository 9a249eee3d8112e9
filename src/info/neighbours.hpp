// Per-point neighbour radii and neighbour counts shared by the mutual-information estimators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// Sum over i of (psi(n_z + 1) - psi(n_xz + 1)) - psi(n_yz + 1), where the counts are the other points
// strictly within eps_i of point i in z, (x, z) and (y, z). The sum follows the pool's fixed split.
double cmi_neighbour_sum(std::span<const double> eps, const KdTree<2>& xz_tree, const KdTree<2>& yz_tree,
                         std::span<const double> x, std::span<const double> y, std::span<const double> z,
                         std::span<const double> zs);

// Sum over i of psi(n_x + 1) + psi(n_y + 1), with the marginal counts taken within the radius
// knn_eps_2d gives for point i; the radii are computed on the fly instead of being stored. The sum
// follows the pool's fixed split.
double mi_marginal_sum(const KdTree<2>& tree, std::span<const double> x, std::span<const double> y,
                       std::span<const double> xs, std::span<const double> ys, std::uint64_t k);

// cmi_neighbour_sum over the radii knn_eps_3d gives on the joint tree, computed on the fly.
double cmi_joint_sum(const KdTree<3>& joint, const KdTree<2>& xz_tree, const KdTree<2>& yz_tree,
                     std::span<const double> x, std::span<const double> y, std::span<const double> z,
                     std::span<const double> zs, std::uint64_t k);

}  // namespace quorlix::info
