// KSG interaction information I(x; y | z) - I(x; y).
#include <cmath>

#include "info/info.hpp"
#include "info/inputs.hpp"
#include "info/ksg_terms.hpp"

namespace quorlix::info {

double ksg_ii(Sample x, Sample y, Sample z, std::uint64_t k, bool normalize) {
  // The rankings serve both halves; each half releases its trees before the other builds its own, which
  // keeps the peak memory to one half's structures.
  const detail::SampleTriple t = detail::prepare_triple(x, y, z, k);
  const std::size_t n = t.x.size();
  const double s_xy = mutual_sum(t.x, t.y, t.ranking(t.rx), t.ranking(t.ry), k);
  const double s_xy_z = conditional_sum(t.x, t.y, t.z, t.ranking(t.rx), t.ranking(t.ry), t.ranking(t.rz), k);

  const double i_xy = detail::mutual_information_from(s_xy, n, k);
  const double i_xy_z = detail::conditional_mutual_information_from(s_xy_z, n, k);
  const double ii = i_xy_z - i_xy;
  if (!normalize) return ii;
  const double d = std::fabs(i_xy) + std::fabs(i_xy_z);
  // |ii| <= d already keeps the quotient in [-1, 1]; a vanishing d means there is nothing to compare.
  return d < detail::kNormalizeThreshold ? 0.0 : ii / d;
}

}  // namespace quorlix::info
