// The estimators' sums with counts from searches in sorted copies and radius queries on trees, and the choice
// between these and the rank-space counts.
#include "info/neighbour_sums.hpp"

#include <algorithm>

#include "info/ksg_terms.hpp"
#include "info/passes.hpp"
#include "info/radii.hpp"
#include "info/sorted_search.hpp"
#include "numeric/fixed_split_sum.hpp"
#include "pool/pool.hpp"

namespace quorlix::info {
namespace {

// The per-point term of the conditional sum for point i and radius r.
struct CmiTerm {
  const KdTree<2>& xz_tree;
  const KdTree<2>& yz_tree;
  std::span<const double> x, y, z, zs;
  const double* psi = detail::psi_table();

  double operator()(std::size_t i, double r) const {
    const std::size_t n_xz = detail::excluding_centre(xz_tree.count_within({x[i], z[i]}, r));
    const std::size_t n_yz = detail::excluding_centre(yz_tree.count_within({y[i], z[i]}, r));
    return detail::conditional_term(psi, marginal_count(zs, z[i], r), n_xz, n_yz);
  }
};

}  // namespace

double searched_marginal_sum(std::span<const double> eps, std::span<const double> x,
                             std::span<const double> y, std::span<const double> xs,
                             std::span<const double> ys) {
  const std::size_t n = std::min({eps.size(), x.size(), y.size()});
  const double* psi = detail::psi_table();
  return pool::parallel_sum(n, detail::kSearchNs, [&](std::size_t i) {
    return detail::mutual_term(psi, marginal_count(xs, x[i], eps[i]), marginal_count(ys, y[i], eps[i]));
  });
}

double tree_conditional_sum(std::span<const double> eps, const KdTree<2>& xz_tree, const KdTree<2>& yz_tree,
                            std::span<const double> x, std::span<const double> y, std::span<const double> z,
                            std::span<const double> zs) {
  const std::size_t n = std::min({eps.size(), x.size(), y.size(), z.size()});
  const CmiTerm term{xz_tree, yz_tree, x, y, z, zs};
  const Buffer<double> terms =
      detail::leaf_order_slots(xz_tree.leaf_order(), n, [&](std::size_t i) { return term(i, eps[i]); });
  return numeric::fixed_split_sum(terms.data(), terms.size());
}

double mutual_sum(std::span<const double> x, std::span<const double> y, const detail::RankedSample* rx,
                  const detail::RankedSample* ry, std::uint64_t k) {
  const std::size_t n = std::min(x.size(), y.size());
  std::vector<double> eps;
  {
    const KdTree<2> joint({x.data(), y.data()}, n, detail::tree_tasks(), detail::kNeighbourBucket);
    pool::poll_interrupt();
    eps = knn_eps_2d(joint, k);
  }
  if (rx != nullptr && ry != nullptr) return ranked_marginal_sum(eps, *rx, *ry);
  const std::vector<double> xs = detail::sorted_copy(x);
  const std::vector<double> ys = detail::sorted_copy(y);
  return searched_marginal_sum(eps, x, y, xs, ys);
}

double conditional_sum(std::span<const double> x, std::span<const double> y, std::span<const double> z,
                       const detail::RankedSample* rx, const detail::RankedSample* ry,
                       const detail::RankedSample* rz, std::uint64_t k) {
  const std::size_t n = std::min({x.size(), y.size(), z.size()});
  std::vector<double> eps;
  {
    const KdTree<3> joint({x.data(), y.data(), z.data()}, n, detail::tree_tasks(), detail::kNeighbourBucket);
    pool::poll_interrupt();
    eps = knn_eps_3d(joint, k);
  }
  const bool rank_counts = rx != nullptr && ry != nullptr && rz != nullptr && detail::differences_finite(x) &&
                           detail::differences_finite(y) && detail::differences_finite(z);
  if (rank_counts) return ranked_conditional_sum(eps, *rx, *ry, *rz);
  const KdTree<2> xz_tree({x.data(), z.data()}, n, detail::tree_tasks());
  pool::poll_interrupt();
  const KdTree<2> yz_tree({y.data(), z.data()}, n, detail::tree_tasks());
  pool::poll_interrupt();
  const std::vector<double> z_sorted = rz != nullptr ? std::vector<double>() : detail::sorted_copy(z);
  return tree_conditional_sum(eps, xz_tree, yz_tree, x, y, z, rz != nullptr ? rz->sorted : z_sorted);
}

}  // namespace quorlix::info
