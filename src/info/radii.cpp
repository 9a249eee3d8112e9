// Neighbour radii from k-nearest queries on the joint tree.
#include "info/radii.hpp"

#include <algorithm>

#include "info/ksg_terms.hpp"
#include "info/passes.hpp"
#include "pool/pool.hpp"

namespace quorlix::info {
namespace {

// The floored (count)-th-nearest distance of every point of the tree, stored by item id; the tree holds
// exactly the items 0 .. size - 1. The queries run in leaf order on the points' stored coordinates, so
// neighbouring queries touch the same nodes and read memory in order.
template <std::size_t K>
std::vector<double> radii_by_item(const KdTree<K>& tree, std::size_t count) {
  const std::size_t n = tree.size();
  const std::span<const std::uint64_t> items = tree.leaf_order();
  std::vector<double> eps(n);
  const auto leaves = [&](std::size_t begin, std::size_t end) {
    tree.stored_nth_distances(begin, end, count, [&](std::size_t j, double distance) {
      eps[items[j]] = detail::floor_distance(distance);
    });
  };
  pool::parallel_for(tree.leaf_count(),
                     static_cast<double>(n / std::max<std::size_t>(tree.leaf_count(), 1)) * detail::kQueryNs,
                     leaves);
  return eps;
}

}  // namespace

std::vector<double> knn_eps_2d(const KdTree<2>& tree, std::uint64_t k) {
  return radii_by_item(tree, detail::query_count(k, tree.size()));
}

std::vector<double> knn_eps_3d(const KdTree<3>& tree, std::uint64_t k) {
  return radii_by_item(tree, detail::query_count(k, tree.size()));
}

}  // namespace quorlix::info
