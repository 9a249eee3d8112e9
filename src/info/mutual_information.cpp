// KSG mutual information of two paired samples.
#include <cmath>

#include "info/detail.hpp"
#include "info/info.hpp"
#include "numeric/special.hpp"

namespace quorlix::info {

double ksg_mi(Sample x, Sample y, std::uint64_t k, bool normalize) {
  detail::require_same_length({x.size(), y.size()}, "x and y must have same length");
  detail::require_usable(x.size(), k);
  const std::vector<double> xv = detail::checked_copy(x);
  const std::vector<double> yv = detail::checked_copy(y);
  const std::size_t n = xv.size();

  double s;
  {
    const KdTree<2> joint({xv.data(), yv.data()}, n);
    const std::vector<double> xs = detail::sorted_copy(xv);
    const std::vector<double> ys = detail::sorted_copy(yv);
    s = mi_marginal_sum(joint, xv, yv, xs, ys, k);
  }
  const double nd = static_cast<double>(n);
  double mi = (numeric::digamma(static_cast<double>(k)) + numeric::digamma(nd)) - s / nd;
  // Written so that a NaN difference also becomes 0.
  mi = mi > 0.0 ? mi : 0.0;
  if (!normalize) return mi;

  double hx, hy;
  {
    const KdTree<1> tree({xv.data()}, n);
    hx = entropy_kl_1d_tree(tree, xv, k);
  }
  {
    const KdTree<1> tree({yv.data()}, n);
    hy = entropy_kl_1d_tree(tree, yv, k);
  }
  const double d = std::sqrt(hx * hy);
  if (std::isfinite(d) && d >= detail::kNormalizeThreshold) {
    const double ratio = mi / d;
    mi = ratio < 1.0 ? ratio : 1.0;
  }
  return mi;
}

}  // namespace quorlix::info
