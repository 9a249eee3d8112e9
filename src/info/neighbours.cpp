// Neighbour radii from k-nearest queries, and neighbour counts by searches in sorted samples, by radius
// queries on trees, or as counts of points in rectangles of rank space.
#include "info/neighbours.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "info/inputs.hpp"
#include "info/ksg_terms.hpp"
#include "info/passes.hpp"
#include "info/range_count.hpp"
#include "numeric/fixed_split_sum.hpp"
#include "pool/pool.hpp"

namespace quorlix::info {
namespace {

using detail::neighbour_radius;
using detail::query_count;

// psi(count + 1); the count is converted before the 1 is added.
double psi_of_count(std::size_t count) { return detail::psi_of_count(detail::psi_table(), count); }

// A count of points within a radius of a point includes the point itself; this is the count without it.
std::size_t excluding_centre(std::size_t found) { return found >= 1 ? found - 1 : 0; }

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

// prefix_length, searching outward from position hint: doubling steps find a range that holds the end of the
// prefix, and a binary search finishes inside it.
template <class Holds>
std::size_t prefix_length_near(std::span<const double> values, std::size_t hint, const Holds& holds) {
  const std::size_t n = values.size();
  if (n == 0) return 0;
  // The prefix ends in [good, bad]: values before good hold, the value at bad (if any) does not.
  std::size_t good = 0;
  std::size_t bad = n;
  if (holds(values[hint])) {
    good = hint + 1;
    for (std::size_t step = 1; good + step - 1 < bad; step *= 2) {
      const std::size_t probe = good + step - 1;
      if (!holds(values[probe])) {
        bad = probe;
        break;
      }
      good = probe + 1;
    }
  } else {
    bad = hint;
    for (std::size_t step = 1; step <= bad; step *= 2) {
      const std::size_t probe = bad - step;
      if (holds(values[probe])) {
        good = probe + 1;
        break;
      }
      bad = probe;
    }
  }
  return good + prefix_length(values.subspan(good, bad - good), holds);
}

// Where target probably sits in sorted: a secant step from the positions own and hint, and a second one
// from the first guess and hint. Only a starting point for an exact search, which costs the fewer probes
// the nearer the guess; the values change smoothly with the position on most data, so two steps usually
// land within a few places of the target.
std::size_t secant(std::span<const double> sorted, std::size_t a, std::size_t b, double target) {
  const double from = sorted[a];
  const double span = sorted[b] - from;
  if (!(span != 0.0)) return b;
  const double guess =
      static_cast<double>(a) + (target - from) / span * (static_cast<double>(b) - static_cast<double>(a));
  const double last = static_cast<double>(sorted.size() - 1);
  if (!(guess > 0.0)) return 0;
  return guess < last ? static_cast<std::size_t>(guess) : sorted.size() - 1;
}

std::size_t guess_position(std::span<const double> sorted, std::size_t own, std::size_t hint, double target) {
  const std::size_t first = secant(sorted, own, hint, target);
  return first == hint ? hint : secant(sorted, hint, first, target);
}

// The count of marginal_count from its two boundaries: the values strictly between the bounds, less the
// centre itself, never below zero.
std::size_t counted_between(PositionRange bounds) {
  return bounds.last > bounds.first ? bounds.last - bounds.first - 1 : 0;
}

// Search hints for the next point from the boundaries just found, kept inside the sample.
PositionRange as_hints(PositionRange found, std::size_t n) {
  return {std::min(found.first, n - 1), std::min(found.last, n - 1)};
}

// The floored (count)-th-nearest distance of every point of the tree, stored by item id; the tree holds
// exactly the items 0 .. size - 1. The queries run in leaf order on the points' stored coordinates, so
// neighbouring queries touch the same nodes and read memory in order.
template <std::size_t K>
std::vector<double> radii_by_item(const KdTree<K>& tree, std::size_t count) {
  const std::size_t n = tree.size();
  const std::span<const std::uint64_t> items = tree.leaf_order();
  std::vector<double> eps(n);
  const auto leaves = [&](std::size_t begin, std::size_t end) {
    tree.stored_nth_distances(begin, end, count, [&](std::size_t j, double distance) {
      eps[items[j]] = detail::floor_distance(distance);
    });
  };
  pool::parallel_for(tree.leaf_count(), static_cast<double>(n / std::max<std::size_t>(tree.leaf_count(), 1)) *
                                             detail::kQueryNs,
                     leaves);
  return eps;
}

// Search hints carried from one sorted position to the next within a range of positions.
template <std::size_t kSearches>
struct HintState {
  bool started = false;
  std::array<PositionRange, kSearches> hints;
};

// Runs kSearches boundary searches at every sorted position p of r, with the radius of the point found
// there, and hands their results to found(p, results, radius). Positions are taken in order, so each search
// starts from where the previous position's ended and reads memory close to it. search(s, sorted, p, hints,
// centre, radius) performs search number s.
template <std::size_t kSearches, class Search, class Found>
void along_sorted(const detail::RankedSample& r, std::span<const double> eps, const Search& search,
                  const Found& found) {
  const std::size_t n = r.sorted.size();
  Buffer<double> radius(n);
  pool::parallel_for(n, detail::kGatherNs, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) radius[p] = eps[r.order[p]];
  });
  detail::for_each_with_state<HintState<kSearches>>(n, detail::kSearchNs, [&](std::size_t p, HintState<kSearches>& state) {
    if (!state.started) {
      state.hints.fill({p, p});
      state.started = true;
    }
    std::array<PositionRange, kSearches> results;
    for (std::size_t s = 0; s < kSearches; ++s) {
      results[s] = search(s, r.sorted, p, state.hints[s], r.sorted[p], radius[p]);
      state.hints[s] = as_hints(results[s], n);
    }
    found(p, results, radius[p]);
  });
}

// The per-point term of the conditional sum for point i and radius r.
struct CmiTerm {
  const KdTree<2>& xz_tree;
  const KdTree<2>& yz_tree;
  std::span<const double> x, y, z, zs;

  double operator()(std::size_t i, double r) const {
    const std::size_t n_xz = excluding_centre(xz_tree.count_within({x[i], z[i]}, r));
    const std::size_t n_yz = excluding_centre(yz_tree.count_within({y[i], z[i]}, r));
    const std::size_t n_z = marginal_count(zs, z[i], r);
    return (psi_of_count(n_z) - psi_of_count(n_xz)) - psi_of_count(n_yz);
  }
};

}  // namespace

std::vector<double> knn_eps_2d(const KdTree<2>& tree, std::span<const double> a, std::span<const double> b,
                               std::uint64_t k) {
  const std::size_t n = std::min(a.size(), b.size());
  const std::size_t count = query_count(k, tree.size());
  if (tree.size() == n) return radii_by_item(tree, count);
  return detail::leaf_order_slots(tree.leaf_order(), n, [&](std::size_t i) {
    return neighbour_radius(tree, {a[i], b[i]}, count);
  });
}

std::vector<double> knn_eps_3d(const KdTree<3>& tree, std::span<const double> a, std::span<const double> b,
                               std::span<const double> c, std::uint64_t k) {
  const std::size_t n = std::min({a.size(), b.size(), c.size()});
  const std::size_t count = query_count(k, tree.size());
  if (tree.size() == n) return radii_by_item(tree, count);
  return detail::leaf_order_slots(tree.leaf_order(), n, [&](std::size_t i) {
    return neighbour_radius(tree, {a[i], b[i], c[i]}, count);
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

PositionRange marginal_bounds_from(std::span<const double> sorted, PositionRange starts, double centre,
                                   double radius) {
  const double lo = centre - radius;
  const double hi = centre + radius;
  return {prefix_length_near(sorted, starts.first, [lo](double v) { return v <= lo; }),
          prefix_length_near(sorted, starts.last, [hi](double v) { return v < hi; })};
}

PositionRange marginal_bounds(std::span<const double> sorted, std::size_t own, PositionRange hints,
                              double centre, double radius) {
  const double lo = centre - radius;
  const double hi = centre + radius;
  return {prefix_length_near(sorted, guess_position(sorted, own, hints.first, lo),
                             [lo](double v) { return v <= lo; }),
          prefix_length_near(sorted, guess_position(sorted, own, hints.last, hi),
                             [hi](double v) { return v < hi; })};
}

ValueBuckets::ValueBuckets(std::span<const double> sorted) {
  const std::size_t n = sorted.size();
  if (n < 2 || n > std::numeric_limits<std::uint32_t>::max()) return;
  low_ = sorted.front();
  high_ = sorted.back();
  count_ = n;
  scale_ = static_cast<double>(count_) / (high_ - low_);
  if (!(std::isfinite(low_) && std::isfinite(high_) && std::isfinite(high_ - low_) && high_ > low_ &&
        std::isfinite(scale_))) {
    return;
  }
  starts_.resize(count_ + 2);
  // Position p starts the buckets after the one of the value before it, up to its own; every bucket is
  // written by exactly one position (or, past the greatest value, by the end), so ranges of positions can
  // be handled at the same time.
  pool::parallel_for(n, detail::kGatherNs, [&](std::size_t begin, std::size_t end) {
    std::size_t next = begin == 0 ? 0 : bucket(sorted[begin - 1]) + 1;
    for (std::size_t p = begin; p < end; ++p) {
      const std::size_t b = bucket(sorted[p]);
      for (; next <= b; ++next) starts_[next] = detail::position32(p);
    }
  });
  for (std::size_t b = bucket(sorted[n - 1]) + 1; b < starts_.size(); ++b) starts_[b] = detail::position32(n);
}

namespace {

// The boundary of a threshold at t (holds is v <= t or v < t): an exact search within the bucket range, from
// the hint when it lies inside, as it does when neighbouring points share their boundary.
template <class Holds>
std::size_t threshold_boundary(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t hint,
                               double t, const Holds& holds) {
  const PositionRange range = buckets.around(t);
  const std::span<const double> inside = sorted.subspan(range.first, range.last - range.first);
  if (hint >= range.first && hint < range.last) {
    return range.first + prefix_length_near(inside, hint - range.first, holds);
  }
  return range.first + prefix_length(inside, holds);
}

// A starting position for a search whose boundary lies near the threshold t: the hint when it falls in the
// bucket range of t, the start of that range otherwise.
std::size_t bucket_guess(const ValueBuckets& buckets, std::size_t n, std::size_t hint, double t) {
  const PositionRange range = buckets.around(t);
  const std::size_t guess = hint >= range.first && hint <= range.last ? hint : range.first;
  return std::min(guess, n - 1);
}

}  // namespace

PositionRange marginal_bounds(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                              PositionRange hints, double centre, double radius) {
  if (!buckets.usable()) return marginal_bounds(sorted, own, hints, centre, radius);
  const double lo = centre - radius;
  const double hi = centre + radius;
  return {threshold_boundary(sorted, buckets, hints.first, lo, [lo](double v) { return v <= lo; }),
          threshold_boundary(sorted, buckets, hints.last, hi, [hi](double v) { return v < hi; })};
}

namespace {

// closer_than searched outward from the given positions (each below sorted.size()).
PositionRange closer_than_from(std::span<const double> sorted, PositionRange starts, double centre,
                               double radius) {
  // Rounding is monotone, so |v - centre| shrinks towards centre from either side: the values left of it
  // that are too far form a prefix, and so do all values up to the last one close enough on its right.
  const std::size_t first = prefix_length_near(sorted, starts.first, [centre, radius](double v) {
    return v < centre && !(std::fabs(v - centre) < radius);
  });
  const std::size_t last = prefix_length_near(sorted, starts.last, [centre, radius](double v) {
    return v <= centre || std::fabs(v - centre) < radius;
  });
  return {first, last};
}

}  // namespace

PositionRange closer_than(std::span<const double> sorted, const ValueBuckets& buckets, std::size_t own,
                          PositionRange hints, double centre, double radius) {
  if (!buckets.usable()) return closer_than(sorted, own, hints, centre, radius);
  const std::size_t n = sorted.size();
  return closer_than_from(sorted,
                          {bucket_guess(buckets, n, hints.first, centre - radius),
                           bucket_guess(buckets, n, hints.last, centre + radius)},
                          centre, radius);
}

PositionRange closer_than(std::span<const double> sorted, std::size_t own, PositionRange hints, double centre,
                          double radius) {
  return closer_than_from(sorted,
                          {guess_position(sorted, own, hints.first, centre - radius),
                           guess_position(sorted, own, hints.last, centre + radius)},
                          centre, radius);
}

double cmi_neighbour_sum(std::span<const double> eps, const KdTree<2>& xz_tree, const KdTree<2>& yz_tree,
                         std::span<const double> x, std::span<const double> y, std::span<const double> z,
                         std::span<const double> zs) {
  const std::size_t n = std::min({eps.size(), x.size(), y.size(), z.size()});
  const CmiTerm term{xz_tree, yz_tree, x, y, z, zs};
  const std::vector<double> terms = detail::leaf_order_slots(
      xz_tree.leaf_order(), n,
      [&](std::size_t i) { return term(i, eps[i]); });
  return numeric::fixed_split_sum(terms.data(), terms.size());
}

double marginal_sum(std::span<const double> eps, std::span<const double> x, std::span<const double> y,
                    std::span<const double> xs, std::span<const double> ys) {
  const std::size_t n = std::min({eps.size(), x.size(), y.size()});
  return pool::parallel_sum(n, detail::kSearchNs, [&](std::size_t i) {
    return psi_of_count(marginal_count(xs, x[i], eps[i])) + psi_of_count(marginal_count(ys, y[i], eps[i]));
  });
}

double ranked_marginal_sum(std::span<const double> eps, const detail::RankedSample& rx,
                           const detail::RankedSample& ry) {
  const std::size_t n = std::min({eps.size(), rx.sorted.size(), ry.sorted.size()});
  const double* psi = detail::psi_table();
  // psi(n_x + 1) and psi(n_y + 1) of each point, stored in index order for the sum.
  Buffer<double> psi_x(n);
  Buffer<double> psi_y(n);
  for (const detail::RankedSample* r : {&rx, &ry}) {
    const ValueBuckets buckets(r->sorted);
    const auto bounds = [&buckets](std::size_t, std::span<const double> sorted, std::size_t own,
                                   PositionRange hints, double centre, double radius) {
      return marginal_bounds(sorted, buckets, own, hints, centre, radius);
    };
    double* const out = r == &rx ? psi_x.data() : psi_y.data();
    along_sorted<1>(*r, eps, bounds, [&](std::size_t p, const std::array<PositionRange, 1>& b, double) {
      out[r->order[p]] = detail::psi_of_count(psi, counted_between(b[0]));
    });
  }
  return pool::parallel_sum(n, detail::kTermNs, [&](std::size_t i) { return psi_x[i] + psi_y[i]; });
}

double ranked_neighbour_sum(std::span<const double> eps, const detail::RankedSample& rx,
                            const detail::RankedSample& ry, const detail::RankedSample& rz) {
  const std::size_t n = std::min({eps.size(), rx.sorted.size(), ry.sorted.size(), rz.sorted.size()});
  // Rectangles of the (x, z) and (y, z) planes, each stored at the point's position along its first axis so
  // that the sweeps below read them nearly in order. A point counts in a plane when both of its coordinate
  // distances are below the radius, and those points form a rectangle of positions.
  Buffer<RankRectangle> xz(n);
  Buffer<RankRectangle> yz(n);
  // Searches along one sample, started in the value buckets of its bounds; the buckets are built for the
  // pass and dropped after it.
  const auto closer_in = [](const ValueBuckets& buckets) {
    return [&buckets](std::size_t, std::span<const double> sorted, std::size_t own, PositionRange hints,
                      double centre,
                      double radius) { return closer_than(sorted, buckets, own, hints, centre, radius); };
  };
  {
    const ValueBuckets buckets(rx.sorted);
    along_sorted<1>(rx, eps, closer_in(buckets),
                    [&](std::size_t p, const std::array<PositionRange, 1>& b, double) {
                      xz[p].a_lo = detail::position32(b[0].first);
                      xz[p].a_hi = detail::position32(b[0].last);
                    });
  }
  {
    const ValueBuckets buckets(ry.sorted);
    along_sorted<1>(ry, eps, closer_in(buckets),
                    [&](std::size_t p, const std::array<PositionRange, 1>& b, double) {
                      yz[p].a_lo = detail::position32(b[0].first);
                      yz[p].a_hi = detail::position32(b[0].last);
                    });
  }
  // Along z, the rectangles' second side and the marginal count n_z, stored at the sorted position along z;
  // a separate tight loop then copies the sides into the rectangles, whose places are scattered.
  Buffer<std::uint32_t> n_z(n);
  {
    Buffer<std::array<std::uint32_t, 2>> side(n);
    // The marginal bounds differ from the plane's only where rounding makes them, so they are searched
    // from there.
    const ValueBuckets buckets(rz.sorted);
    along_sorted<1>(
        rz, eps, closer_in(buckets),
        [&](std::size_t p, const std::array<PositionRange, 1>& b, double radius) {
          side[p] = {detail::position32(b[0].first), detail::position32(b[0].last)};
          const PositionRange z_bounds = marginal_bounds_from(rz.sorted, as_hints(b[0], n), rz.sorted[p], radius);
          n_z[p] = detail::position32(counted_between(z_bounds));
        });
    pool::parallel_for(n, detail::kGatherNs, [&](std::size_t begin, std::size_t end) {
      for (std::size_t p = begin; p < end; ++p) {
        const std::size_t i = rz.order[p];
        RankRectangle& in_xz = xz[rx.position[i]];
        RankRectangle& in_yz = yz[ry.position[i]];
        in_xz.b_lo = in_yz.b_lo = side[p][0];
        in_xz.b_hi = in_yz.b_hi = side[p][1];
      }
    });
  }

  std::vector<std::uint32_t> count_xz;
  std::vector<std::uint32_t> count_yz;
  pool::parallel_tasks(2, static_cast<double>(n) * detail::kSortNs, [&](std::size_t plane) {
    const detail::RankedSample& first = plane == 0 ? rx : ry;
    Buffer<std::uint32_t> z_at(n);
    for (std::size_t p = 0; p < n; ++p) z_at[p] = rz.position[first.order[p]];
    (plane == 0 ? count_xz : count_yz) = count_in_rectangles(z_at, plane == 0 ? xz : yz);
  });

  const double* psi = detail::psi_table();
  return pool::parallel_sum(n, detail::kTermNs, [&](std::size_t i) {
    const std::size_t n_xz = excluding_centre(count_xz[rx.position[i]]);
    const std::size_t n_yz = excluding_centre(count_yz[ry.position[i]]);
    return (detail::psi_of_count(psi, n_z[rz.position[i]]) - detail::psi_of_count(psi, n_xz)) -
           detail::psi_of_count(psi, n_yz);
  });
}

double mutual_sum(std::span<const double> x, std::span<const double> y, const detail::RankedSample* rx,
                  const detail::RankedSample* ry, std::uint64_t k) {
  const std::size_t n = std::min(x.size(), y.size());
  std::vector<double> eps;
  {
    const KdTree<2> joint({x.data(), y.data()}, n, detail::tree_tasks(), detail::kNeighbourBucket);
    pool::poll_interrupt();
    eps = knn_eps_2d(joint, x, y, k);
  }
  if (rx != nullptr && ry != nullptr) return ranked_marginal_sum(eps, *rx, *ry);
  const std::vector<double> xs = detail::sorted_copy({x.begin(), x.end()});
  const std::vector<double> ys = detail::sorted_copy({y.begin(), y.end()});
  return marginal_sum(eps, x, y, xs, ys);
}

double conditional_sum(std::span<const double> x, std::span<const double> y, std::span<const double> z,
                       const detail::RankedSample* rx, const detail::RankedSample* ry,
                       const detail::RankedSample* rz, std::uint64_t k) {
  const std::size_t n = std::min({x.size(), y.size(), z.size()});
  std::vector<double> eps;
  {
    const KdTree<3> joint({x.data(), y.data(), z.data()}, n, detail::tree_tasks(), detail::kNeighbourBucket);
    pool::poll_interrupt();
    eps = knn_eps_3d(joint, x, y, z, k);
  }
  const bool rank_counts = rx != nullptr && ry != nullptr && rz != nullptr && detail::differences_finite(x) &&
                           detail::differences_finite(y) && detail::differences_finite(z);
  if (rank_counts) return ranked_neighbour_sum(eps, *rx, *ry, *rz);
  const KdTree<2> xz_tree({x.data(), z.data()}, n, detail::tree_tasks());
  pool::poll_interrupt();
  const KdTree<2> yz_tree({y.data(), z.data()}, n, detail::tree_tasks());
  pool::poll_interrupt();
  const std::vector<double> zs = rz != nullptr ? rz->sorted : detail::sorted_copy({z.begin(), z.end()});
  return cmi_neighbour_sum(eps, xz_tree, yz_tree, x, y, z, zs);
}

}  // namespace quorlix::info
