// Each point's neighbour radius: the floored distance to its k-th nearest other point in the joint space.
#pragma once

#include <cstdint>
#include <vector>

#include "kdtree/kdtree.hpp"

namespace quorlix::info {

// Entry i is the distance from the tree's point with item id i to its k-th nearest other point of the tree,
// floored at 1e-7; the tree holds the joint sample, point i with item id i.
std::vector<double> knn_eps_2d(const KdTree<2>& tree, std::uint64_t k);

// The same for three coordinates.
std::vector<double> knn_eps_3d(const KdTree<3>& tree, std::uint64_t k);

}  // namespace quorlix::info
