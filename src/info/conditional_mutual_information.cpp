// KSG conditional mutual information I(x; y | z).
#include <cmath>

#include "info/detail.hpp"
#include "info/info.hpp"
#include "numeric/special.hpp"

namespace quorlix::info {

double ksg_cmi(Sample x, Sample y, Sample z, std::uint64_t k, bool normalize) {
  detail::require_same_length({x.size(), y.size(), z.size()}, "x, y and z must have same length");
  detail::require_usable(x.size(), k);
  const std::vector<double> xv = detail::checked_copy(x);
  const std::vector<double> yv = detail::checked_copy(y);
  const std::vector<double> zv = detail::checked_copy(z);
  const std::size_t n = xv.size();

  const KdTree<2> xz_tree({xv.data(), zv.data()}, n);
  const KdTree<2> yz_tree({yv.data(), zv.data()}, n);
  double s;
  {
    const KdTree<3> joint({xv.data(), yv.data(), zv.data()}, n);
    const std::vector<double> zs = detail::sorted_copy(zv);
    s = cmi_joint_sum(joint, xz_tree, yz_tree, xv, yv, zv, zs, k);
  }
  double cmi = s / static_cast<double>(n) + numeric::digamma(static_cast<double>(k));
  // Written so that a NaN estimate also becomes 0.
  cmi = cmi > 0.0 ? cmi : 0.0;
  if (!normalize) return cmi;

  const double h_xz = entropy_kl_2d_tree(xz_tree, xv, zv, k);
  const double h_yz = entropy_kl_2d_tree(yz_tree, yv, zv, k);
  double h_z;
  {
    const KdTree<1> z_tree({zv.data()}, n);
    h_z = entropy_kl_1d_tree(z_tree, zv, k);
  }
  const double d = std::sqrt((h_yz - h_z) * (h_xz - h_z));
  if (std::isfinite(d) && d >= detail::kNormalizeThreshold) {
    const double ratio = cmi / d;
    cmi = ratio < 1.0 ? ratio : 1.0;
  }
  return cmi;
}

}  // namespace quorlix::info
