// The estimators' sums with every count taken in rank space: marginal counts by searches that carry their
// position from one sorted value to the next, plane counts as counts of points in rectangles of positions.
#include <algorithm>
#include <array>
#include <utility>

#include "core/buffer.hpp"
#include "info/ksg_terms.hpp"
#include "info/neighbour_sums.hpp"
#include "info/passes.hpp"
#include "info/range_count.hpp"
#include "info/sorted_search.hpp"
#include "pool/pool.hpp"

namespace quorlix::info {
namespace {

// Search hints carried from one sorted position to the next within a range of positions.
struct HintState {
  bool started = false;
  PositionRange hints;
};

// Runs a boundary search at every sorted position p of r, with the radius of the point found there, and hands
// its result to found(p, result, radius): closer_than when kCloser, marginal_bounds otherwise, each started
// in the value buckets of its bounds (built for the pass and dropped after it). Positions are taken in order,
// so each search starts from where the previous position's ended and reads memory close to it.
template <bool kCloser, class Found>
void along_sorted(const detail::RankedSample& r, std::span<const double> eps, const Found& found) {
  const std::size_t n = r.sorted.size();
  Buffer<double> radius(n);
  pool::parallel_for(n, detail::kGatherNs, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) radius[p] = eps[r.order[p]];
  });
  const ValueBuckets buckets(r.sorted);
  detail::for_each_with_state<HintState>(n, detail::kSearchNs, [&](std::size_t p, HintState& state) {
    if (!state.started) {
      state.hints = {p, p};
      state.started = true;
    }
    const PositionRange result =
        kCloser ? closer_than(r.sorted, buckets, p, state.hints, r.sorted[p], radius[p])
                : marginal_bounds(r.sorted, buckets, p, state.hints, r.sorted[p], radius[p]);
    state.hints = as_hints(result, n);
    found(p, result, radius[p]);
  });
}

}  // namespace

double ranked_marginal_sum(std::span<const double> eps, const detail::RankedSample& rx,
                           const detail::RankedSample& ry) {
  const std::size_t n = std::min({eps.size(), rx.sorted.size(), ry.sorted.size()});
  // n_x and n_y of each point, stored in index order for the sum.
  Buffer<std::uint32_t> n_x(n);
  Buffer<std::uint32_t> n_y(n);
  for (const detail::RankedSample* r : {&rx, &ry}) {
    std::uint32_t* const out = r == &rx ? n_x.data() : n_y.data();
    along_sorted<false>(*r, eps, [&](std::size_t p, PositionRange b, double) {
      out[r->order[p]] = detail::position32(counted_between(b));
    });
  }
  const double* psi = detail::psi_table();
  return pool::parallel_sum(n, detail::kTermNs,
                            [&](std::size_t i) { return detail::mutual_term(psi, n_x[i], n_y[i]); });
}

double ranked_conditional_sum(std::span<const double> eps, const detail::RankedSample& rx,
                              const detail::RankedSample& ry, const detail::RankedSample& rz) {
  const std::size_t n = std::min({eps.size(), rx.sorted.size(), ry.sorted.size(), rz.sorted.size()});
  // Rectangles of the (x, z) and (y, z) planes, each stored at the point's position along its first axis so
  // that the sweeps below read them nearly in order. A point counts in a plane when both of its coordinate
  // distances are below the radius, and those points form a rectangle of positions.
  Buffer<RankRectangle> xz(n);
  Buffer<RankRectangle> yz(n);
  for (auto [r, plane] : {std::pair{&rx, &xz}, std::pair{&ry, &yz}}) {
    along_sorted<true>(*r, eps, [plane = plane](std::size_t p, PositionRange b, double) {
      (*plane)[p].a_lo = detail::position32(b.first);
      (*plane)[p].a_hi = detail::position32(b.last);
    });
  }
  // Along z, the rectangles' second side and the marginal count n_z, stored at the sorted position along z;
  // a separate tight loop then copies the sides into the rectangles, whose places are scattered.
  Buffer<std::uint32_t> n_z(n);
  {
    Buffer<std::array<std::uint32_t, 2>> side(n);
    // The marginal bounds differ from the plane's only where rounding makes them, so they are searched
    // from there.
    along_sorted<true>(rz, eps, [&](std::size_t p, PositionRange b, double radius) {
      side[p] = {detail::position32(b.first), detail::position32(b.last)};
      const PositionRange z_bounds = marginal_bounds_from(rz.sorted, as_hints(b, n), rz.sorted[p], radius);
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
    const std::size_t n_xz = detail::excluding_centre(count_xz[rx.position[i]]);
    const std::size_t n_yz = detail::excluding_centre(count_yz[ry.position[i]]);
    return detail::conditional_term(psi, n_z[rz.position[i]], n_xz, n_yz);
  });
}

}  // namespace quorlix::info
