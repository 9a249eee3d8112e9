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
  const bool ranked = n <= detail::kMaxRanked;

  // The rankings serve both halves; each half releases its trees before the other builds its own, which
  // keeps the peak memory to one half's structures.
  detail::RankedSample rx;
  detail::RankedSample ry;
  detail::RankedSample rz;
  if (ranked) {
    detail::RankedSample* const rankings[] = {&rx, &ry, &rz};
    const std::vector<double>* const samples[] = {&xv, &yv, &zv};
    pool::parallel_tasks(3, [&](std::size_t t) { *rankings[t] = detail::rank_sample(*samples[t]); });
  }
  const double s_xy = ranked ? mutual_sum(xv, yv, &rx, &ry, k) : mutual_sum(xv, yv, nullptr, nullptr, k);
  const double s_xy_z = ranked ? conditional_sum(xv, yv, zv, &rx, &ry, &rz, k)
                               : conditional_sum(xv, yv, zv, nullptr, nullptr, nullptr, k);

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
