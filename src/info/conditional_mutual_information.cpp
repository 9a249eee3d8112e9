// KSG conditional mutual information I(x; y | z).
#include <cmath>

#include "info/info.hpp"
#include "info/inputs.hpp"
#include "info/ksg_terms.hpp"
#include "info/passes.hpp"

namespace quorlix::info {

double ksg_cmi(Sample x, Sample y, Sample z, std::uint64_t k, bool normalize) {
  const detail::SampleTriple t = detail::prepare_triple(x, y, z, k);
  const std::vector<double>& xv = t.x;
  const std::vector<double>& yv = t.y;
  const std::vector<double>& zv = t.z;
  const std::size_t n = xv.size();
  const double s = conditional_sum(xv, yv, zv, t.ranking(t.rx), t.ranking(t.ry), t.ranking(t.rz), k);
  const double cmi = detail::clamped_at_zero(detail::conditional_mutual_information_from(s, n, k));
  if (!normalize) return cmi;

  double h_xz;
  double h_yz;
  {
    const KdTree<2> xz_tree({xv.data(), zv.data()}, n, detail::tree_tasks(), detail::kNeighbourBucket);
    pool::poll_interrupt();
    h_xz = entropy_kl_2d_tree(xz_tree, xv, zv, k);
  }
  {
    const KdTree<2> yz_tree({yv.data(), zv.data()}, n, detail::tree_tasks(), detail::kNeighbourBucket);
    pool::poll_interrupt();
    h_yz = entropy_kl_2d_tree(yz_tree, yv, zv, k);
  }
  const double h_z = entropy_kl_1d(zv, t.ranking(t.rz), k);
  return detail::normalized_by(cmi, std::sqrt((h_yz - h_z) * (h_xz - h_z)));
}

}  // namespace quorlix::info
