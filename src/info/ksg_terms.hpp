// The terms of the estimators: the distance floor, digamma of neighbour counts, and each estimator's
// closing formula, written once so that every estimator that uses one forms it with the same operations.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "numeric/gamma_functions.hpp"

namespace quorlix::info::detail {

inline constexpr double kDistanceFloor = 1e-7;
inline constexpr double kNormalizeThreshold = 1e-10;
inline constexpr double kLn2 = 0.6931471805599453;
inline constexpr double kLn4 = 1.3862943611198906;

// A radius of 0 (coinciding points) would make the logarithms and the strict counts degenerate; NaN
// fails the comparison too, so it is floored as well.
inline double floor_distance(double d) { return d > kDistanceFloor ? d : kDistanceFloor; }

// The number of neighbours a (k+1)-nearest query asks a tree of `size` points for, kept in range so that
// no count overflows and an empty tree is never asked.
inline std::size_t query_count(std::uint64_t k, std::size_t size) { return k < size ? k + 1 : size; }

// psi(count + 1), the count converted to double before 1 is added. Small counts are read from a table that
// the same function filled once per process, so the bits are those of a direct evaluation.
inline constexpr std::size_t kPsiTableSize = std::size_t{1} << 16;
inline const double* psi_table() {
  static const std::vector<double> table = [] {
    std::vector<double> t(kPsiTableSize);
    for (std::size_t c = 0; c < kPsiTableSize; ++c) t[c] = numeric::digamma(static_cast<double>(c) + 1.0);
    return t;
  }();
  return table.data();
}
inline double psi_of_count(const double* table, std::size_t count) {
  return count < kPsiTableSize ? table[count] : numeric::digamma(static_cast<double>(count) + 1.0);
}

// A count of points within a radius of a point includes the point itself; this is the count without it.
inline std::size_t excluding_centre(std::size_t found) { return found >= 1 ? found - 1 : 0; }

// One point's term of the mutual-information sum, psi(n_x + 1) + psi(n_y + 1), from the marginal counts.
inline double mutual_term(const double* psi, std::size_t n_x, std::size_t n_y) {
  return psi_of_count(psi, n_x) + psi_of_count(psi, n_y);
}

// One point's term of the conditional sum, (psi(n_z + 1) - psi(n_xz + 1)) - psi(n_yz + 1), from the marginal
// count along z and the plane counts without the point itself.
inline double conditional_term(const double* psi, std::size_t n_z, std::size_t n_xz, std::size_t n_yz) {
  return (psi_of_count(psi, n_z) - psi_of_count(psi, n_xz)) - psi_of_count(psi, n_yz);
}

// I(x; y) = psi(k) + psi(n) - s / n, where s sums psi(n_x + 1) + psi(n_y + 1) over the points. Not clamped.
inline double mutual_information_from(double s, std::size_t n, std::uint64_t k) {
  const double nd = static_cast<double>(n);
  return (numeric::digamma(static_cast<double>(k)) + numeric::digamma(nd)) - s / nd;
}

// I(x; y | z) = s / n + psi(k), where s sums (psi(n_z + 1) - psi(n_xz + 1)) - psi(n_yz + 1). Not clamped.
inline double conditional_mutual_information_from(double s, std::size_t n, std::uint64_t k) {
  return s / static_cast<double>(n) + numeric::digamma(static_cast<double>(k));
}

// A reported estimate: a negative one is 0, and so is a NaN one (the comparison fails).
inline double clamped_at_zero(double estimate) { return estimate > 0.0 ? estimate : 0.0; }

// The estimate over the scale d, at most 1, where d is finite and not vanishingly small; otherwise the
// estimate unscaled.
inline double normalized_by(double estimate, double d) {
  if (!std::isfinite(d) || d < kNormalizeThreshold) return estimate;
  const double ratio = estimate / d;
  return ratio < 1.0 ? ratio : 1.0;
}

// The Kozachenko-Leonenko entropy d * s / n + psi(n) - psi(k) + ln(c_d), where s sums the logarithms of the
// floored k-th-neighbour distances, d_times_s is d * s (s itself in one dimension, 2.0 * s in two) and
// ln_unit_ball the logarithm of the unit ball's volume under the max norm (kLn2, kLn4).
inline double kl_entropy_from(double d_times_s, std::size_t n, std::uint64_t k, double ln_unit_ball) {
  const double nd = static_cast<double>(n);
  const double kd = static_cast<double>(k);
  return d_times_s / nd + ((numeric::digamma(nd) - numeric::digamma(kd)) + ln_unit_ball);
}

}  // namespace quorlix::info::detail
