// The Chebyshev (max-norm) distance and the bounds the tree derives from it, in one place, so that every
// query forms a distance and prunes a node by the same rule.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace quorlix::chebyshev {

// The term of one axis.
inline double term(double a, double b) { return std::fabs(a - b); }

// Folds the next term t into the running maximum m. A NaN term is ignored (t > m fails), and a NaN m is
// replaced by t, so the distance is NaN only when every term is.
inline double fold(double m, double t) { return (t > m || m != m) ? t : m; }

// fold without the NaN test, for loops over data known to give finite terms only: there m is never NaN,
// so the two folds pick the same operand and agree to the bit. Without the test the loop vectorises.
inline double fold_finite(double m, double t) { return t > m ? t : m; }

// The order of distances and of coordinates: by value, NaN after every number. It is a strict weak order, as
// selection needs, and a NaN distance is the first to leave a full heap instead of blocking every later one.
inline bool ranks_before(double u, double v) { return u < v || (v != v && u == u); }

// The distance from a point given by its K coordinates to q; terms are folded in axis order.
template <std::size_t K>
inline double distance(const double* p, const std::array<double, K>& q) {
  double m = term(p[0], q[0]);
  for (std::size_t a = 1; a < K; ++a) m = fold(m, term(p[a], q[a]));
  return m;
}

template <std::size_t K>
inline double distance(const std::array<double, K>& p, const std::array<double, K>& q) {
  return distance<K>(p.data(), q);
}

// Lower bound on the distance between any point of the box [lo, hi] and any point of the box
// [other_lo, other_hi]: the largest gap between the two along an axis. Two boxes need to be finite; with
// other_lo = other_hi, a point, it holds for any data: an axis whose gap is NaN (a NaN box or point, or a
// point at an infinity the box reaches) may hold points whose term the distance skips, so it counts as 0.
template <std::size_t K>
inline double box_box_gap(const std::array<double, K>& lo, const std::array<double, K>& hi,
                          const std::array<double, K>& other_lo, const std::array<double, K>& other_hi) {
  double gap = 0.0;
  for (std::size_t a = 0; a < K; ++a) {
    const double below = lo[a] - other_hi[a];
    const double above = other_lo[a] - hi[a];
    if (below > gap) gap = below;
    if (above > gap) gap = above;
  }
  return gap;
}

// Whether every point of the box [lo, hi] lies strictly closer than radius to query: on every axis the
// terms to both faces are below it. A NaN term (a NaN box or query, or a query and a face at the same
// infinity) fails the comparison, so such a box is never taken as inside.
template <std::size_t K>
inline bool box_within(const std::array<double, K>& lo, const std::array<double, K>& hi,
                       const std::array<double, K>& query, double radius) {
  for (std::size_t a = 0; a < K; ++a) {
    if (!(term(query[a], lo[a]) < radius && term(query[a], hi[a]) < radius)) return false;
  }
  return true;
}

}  // namespace quorlix::chebyshev
