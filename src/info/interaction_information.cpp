// KSG interaction information I(x; y | z) - I(x; y).
#include <cmath>

#include "info/detail.hpp"
#include "info/info.hpp"
#include "numeric/special.hpp"

namespace quorlix::info {

double ksg_ii(Sample x, Sample y, Sample z, std::uint64_t k, bool normalize) {
  detail::require_same_length({x.size(), y.size(), z.size()}, "x, y and z must have same length");
  detail::require_usable(x.size(), k);
  const std::vector<double> xv = detail::checked_copy(x);
  const std::vector<double> yv = detail::checked_copy(y);
  const std::vector<double> zv = detail::checked_copy(z);
  const std::size_t n = xv.size();

  // The two halves share only the copies; each releases its trees and sorted marginals before the other
  // builds its own, which keeps the peak memory to one half's structures.
  double s_xy;
  {
    const KdTree<2> xy_tree({xv.data(), yv.data()}, n);
    const std::vector<double> xs = detail::sorted_copy(xv);
    const std::vector<double> ys = detail::sorted_copy(yv);
    s_xy = mi_marginal_sum(xy_tree, xv, yv, xs, ys, k);
  }
  double s_xy_z;
  {
    const KdTree<3> joint({xv.data(), yv.data(), zv.data()}, n);
    const KdTree<2> xz_tree({xv.data(), zv.data()}, n);
    const KdTree<2> yz_tree({yv.data(), zv.data()}, n);
    const std::vector<double> zs = detail::sorted_copy(zv);
    s_xy_z = cmi_joint_sum(joint, xz_tree, yz_tree, xv, yv, zv, zs, k);
  }

  const double nd = static_cast<double>(n);
  const double psi_k = numeric::digamma(static_cast<double>(k));
  const double psi_n = numeric::digamma(nd);
  const double i_xy = (psi_k + psi_n) - s_xy / nd;
  const double i_xy_z = s_xy_z / nd + psi_k;
  const double ii = i_xy_z - i_xy;
  if (!normalize) return ii;
  const double d = std::fabs(i_xy) + std::fabs(i_xy_z);
  // |ii| <= d already keeps the quotient in [-1, 1]; a vanishing d means there is nothing to compare.
  return d < detail::kNormalizeThreshold ? 0.0 : ii / d;
}

}  // namespace quorlix::info
