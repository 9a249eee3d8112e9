// Each point's neighbour radius: the floored distance to its k-th nearest other point in the joint space.
#pragma once

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

}  // namespace quorlix::info
