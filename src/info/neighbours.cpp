// Neighbour radii from k-nearest queries and neighbour counts by binary search and radius counting.
#include "info/neighbours.hpp"

#include <algorithm>

#include "info/detail.hpp"
#include "numeric/special.hpp"
#include "pool/pool.hpp"

namespace quorlix::info {
namespace {

using detail::neighbour_radius;
using detail::query_count;

// psi(count + 1); the count is converted before the 1 is added.
double psi_of_count(std::size_t count) { return numeric::digamma(static_cast<double>(count) + 1.0); }

// A radius query also finds the centre itself.
std::size_t others(std::size_t found) { return found >= 1 ? found - 1 : 0; }

// How many leading values satisfy `holds`, which is true on a prefix of `values` and false after it. The
// halving keeps the remaining range length a function of n alone, so the loop compiles without branches
// on the data.
template <class Holds>
std::size_t prefix_length(std::span<const double> values, const Holds& holds) {
  std::size_t n = values.size();
  if (n == 0) return 0;
  const double* base = values.data();
  while (n > 1) {
    const std::size_t half = n / 2;
    base = holds(base[half]) ? base + half : base;
    n -= half;
  }
  return static_cast<std::size_t>(base - values.data()) + (holds(*base) ? 1 : 0);
}

// The per-point term of the conditional sum for point i and radius r.
struct CmiTerm {
  const KdTree<2>& xz_tree;
  const KdTree<2>& yz_tree;
  std::span<const double> x, y, z, zs;

  double operator()(std::size_t i, double r) const {
    const std::size_t n_xz = others(xz_tree.count_within({x[i], z[i]}, r));
    const std::size_t n_yz = others(yz_tree.count_within({y[i], z[i]}, r));
    const std::size_t n_z = marginal_count(zs, z[i], r);
    return (psi_of_count(n_z) - psi_of_count(n_xz)) - psi_of_count(n_yz);
  }
};

}  // namespace

std::vector<double> knn_eps_2d(const KdTree<2>& tree, std::span<const double> a, std::span<const double> b,
                               std::uint64_t k) {
  const std::size_t n = std::min(a.size(), b.size());
  const std::size_t count = query_count(k, tree.size());
  return detail::leaf_order_slots(tree.leaf_order(), n, [&](std::size_t i, std::vector<NearestNeighbour>& s) {
    return neighbour_radius(tree, {a[i], b[i]}, count, s);
  });
}

std::vector<double> knn_eps_3d(const KdTree<3>& tree, std::span<const double> a, std::span<const double> b,
                               std::span<const double> c, std::uint64_t k) {
  const std::size_t n = std::min({a.size(), b.size(), c.size()});
  const std::size_t count = query_count(k, tree.size());
  return detail::leaf_order_slots(tree.leaf_order(), n, [&](std::size_t i, std::vector<NearestNeighbour>& s) {
    return neighbour_radius(tree, {a[i], b[i], c[i]}, count, s);
  });
}

std::size_t marginal_count(std::span<const double> sorted, double centre, double radius) {
  const double lo = centre - radius;
  const double hi = centre + radius;
  // Both ends are strict: a value exactly at a rounded bound lies outside. With a NaN bound neither
  // comparison holds, so the count comes out as zero.
  const std::size_t at_or_below_lo = prefix_length(sorted, [lo](double v) { return v <= lo; });
  const std::size_t below_hi = prefix_length(sorted, [hi](double v) { return v < hi; });
  return below_hi > at_or_below_lo ? below_hi - at_or_below_lo - 1 : 0;
}

double cmi_neighbour_sum(std::span<const double> eps, const KdTree<2>& xz_tree, const KdTree<2>& yz_tree,
                         std::span<const double> x, std::span<const double> y, std::span<const double> z,
                         std::span<const double> zs) {
  const std::size_t n = std::min({eps.size(), x.size(), y.size(), z.size()});
  const CmiTerm term{xz_tree, yz_tree, x, y, z, zs};
  const std::vector<double> terms = detail::leaf_order_slots(
      xz_tree.leaf_order(), n,
      [&](std::size_t i, std::vector<NearestNeighbour>&) { return term(i, eps[i]); });
  return pool::fixed_split_sum(terms.data(), terms.size());
}

double mi_marginal_sum(const KdTree<2>& tree, std::span<const double> x, std::span<const double> y,
                       std::span<const double> xs, std::span<const double> ys, std::uint64_t k) {
  const std::size_t n = std::min(x.size(), y.size());
  const std::size_t count = query_count(k, tree.size());
  const std::vector<double> terms =
      detail::leaf_order_slots(tree.leaf_order(), n, [&](std::size_t i, std::vector<NearestNeighbour>& s) {
        const double r = neighbour_radius(tree, {x[i], y[i]}, count, s);
        return psi_of_count(marginal_count(xs, x[i], r)) + psi_of_count(marginal_count(ys, y[i], r));
      });
  return pool::fixed_split_sum(terms.data(), terms.size());
}

double cmi_joint_sum(const KdTree<3>& joint, const KdTree<2>& xz_tree, const KdTree<2>& yz_tree,
                     std::span<const double> x, std::span<const double> y, std::span<const double> z,
                     std::span<const double> zs, std::uint64_t k) {
  const std::size_t n = std::min({x.size(), y.size(), z.size()});
  const std::size_t count = query_count(k, joint.size());
  const CmiTerm term{xz_tree, yz_tree, x, y, z, zs};
  const std::vector<double> terms =
      detail::leaf_order_slots(joint.leaf_order(), n, [&](std::size_t i, std::vector<NearestNeighbour>& s) {
        return term(i, neighbour_radius(joint, {x[i], y[i], z[i]}, count, s));
      });
  return pool::fixed_split_sum(terms.data(), terms.size());
}

}  // namespace quorlix::info
