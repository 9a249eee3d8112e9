// Kozachenko-Leonenko entropy in one and two dimensions.
#include <algorithm>
#include <cmath>

#include "info/detail.hpp"
#include "info/info.hpp"
#include "numeric/special.hpp"

namespace quorlix::info {
namespace {

// ln of each point's floored k-th-neighbour distance, slot i for point i. Only the logarithms run on the
// pool; the caller sums them in index order, so the result matches a sequential loop bit for bit.
template <std::size_t K, class MakePoint>
std::vector<double> log_radii(const KdTree<K>& tree, std::size_t n, std::uint64_t k, const MakePoint& point) {
  const std::size_t count = detail::query_count(k, tree.size());
  return detail::leaf_order_slots(tree.leaf_order(), n, [&](std::size_t i, std::vector<NearestNeighbour>& s) {
    return std::log(detail::neighbour_radius(tree, point(i), count, s));
  });
}

}  // namespace

double entropy_kl_1d_tree(const KdTree<1>& tree, std::span<const double> values, std::uint64_t k) {
  const std::size_t n = values.size();
  const double s = detail::sequential_sum(
      log_radii(tree, n, k, [&](std::size_t i) { return KdTree<1>::Point{values[i]}; }));
  const double nd = static_cast<double>(n);
  const double kd = static_cast<double>(k);
  return s / nd + ((numeric::digamma(nd) - numeric::digamma(kd)) + detail::kLn2);
}

double entropy_kl_2d_tree(const KdTree<2>& tree, std::span<const double> a, std::span<const double> b,
                          std::uint64_t k) {
  const std::size_t n = std::min(a.size(), b.size());
  const double s = detail::sequential_sum(log_radii(tree, n, k, [&](std::size_t i) {
    return KdTree<2>::Point{a[i], b[i]};
  }));
  const double nd = static_cast<double>(n);
  const double kd = static_cast<double>(k);
  return (2.0 * s) / nd + ((numeric::digamma(nd) - numeric::digamma(kd)) + detail::kLn4);
}

double kl_h(Sample x, std::uint64_t k) {
  detail::require_usable(x.size(), k);
  const std::vector<double> values = detail::checked_copy(x);
  const KdTree<1> tree({values.data()}, values.size());
  return entropy_kl_1d_tree(tree, values, k);
}

}  // namespace quorlix::info
