// KSG mutual information of two paired samples.
#include <cmath>

#include "info/info.hpp"
#include "info/inputs.hpp"
#include "info/ksg_terms.hpp"
#include "info/passes.hpp"

namespace quorlix::info {

double ksg_mi(Sample x, Sample y, std::uint64_t k, bool normalize) {
  detail::require_same_length({x.size(), y.size()}, "x and y must have same length");
  detail::require_usable(x.size(), k);
  const std::vector<double> xv = detail::checked_copy(x);
  const std::vector<double> yv = detail::checked_copy(y);
  const std::size_t n = xv.size();
  const bool ranked = n <= detail::kMaxRanked;

  // The marginals are sorted together with their permutations, so that each point's counts are searched
  // from its own position and, with normalize, the entropies need no trees.
  detail::RankedSample rx;
  detail::RankedSample ry;
  if (ranked) {
    pool::parallel_tasks(2, static_cast<double>(n) * detail::kSortNs,
                         [&](std::size_t t) { (t == 0 ? rx : ry) = detail::rank_sample(t == 0 ? xv : yv); });
  }
  const double s = ranked ? mutual_sum(xv, yv, &rx, &ry, k) : mutual_sum(xv, yv, nullptr, nullptr, k);
  const double mi = detail::clamped_at_zero(detail::mutual_information_from(s, n, k));
  if (!normalize) return mi;

  const double hx = entropy_kl_1d(xv, ranked ? &rx : nullptr, k);
  const double hy = entropy_kl_1d(yv, ranked ? &ry : nullptr, k);
  return detail::normalized_by(mi, std::sqrt(hx * hy));
}

}  // namespace quorlix::info
