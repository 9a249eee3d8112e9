// Kozachenko-Leonenko entropy in one and two dimensions.
#include <algorithm>
#include <cmath>
#include <limits>

#include "info/info.hpp"
#include "info/inputs.hpp"
#include "info/ksg_terms.hpp"
#include "info/passes.hpp"
#include "numeric/radix_sort.hpp"
#include "pool/pool.hpp"

namespace quorlix::info {
namespace {

// ln of each point's floored k-th-neighbour distance, slot i for point i. Only the logarithms run on the
// pool; the caller sums them in index order, so the result matches a sequential loop bit for bit.
template <std::size_t K, class MakePoint>
Buffer<double> log_radii(const KdTree<K>& tree, std::size_t n, std::uint64_t k, const MakePoint& point) {
  const std::size_t count = detail::query_count(k, tree.size());
  return detail::leaf_order_slots(tree.leaf_order(), n, [&](std::size_t i) {
    return std::log(detail::neighbour_radius(tree, point(i), count));
  });
}

// The distance from s[p] to its k-th nearest other value among s[0 .. n). The k + 1 nearest values, s[p]
// included, fill a window s[l .. l + k] around p, and the distance sought is the least over such windows of
// the larger of the distances to their two ends. Rounding is monotone, so the distance to the left end
// shrinks and the distance to the right end grows as the window slides right; the least maximum sits where
// they cross. The distances are formed exactly as the tree forms them, so the results agree to the bit.
double kth_neighbour_distance(const double* s, std::size_t n, std::size_t p, std::size_t k) {
  const double c = s[p];
  const std::size_t first = p >= k ? p - k : 0;
  const std::size_t last = std::min(p, n - 1 - k);
  // The first window start whose left end is no farther than its right end, or last + 1 if none is.
  std::size_t lo = first;
  std::size_t hi = last + 1;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (std::fabs(s[mid] - c) <= std::fabs(s[mid + k] - c)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  double best = std::numeric_limits<double>::infinity();
  if (lo <= last) best = std::fabs(s[lo + k] - c);
  if (lo > first) best = std::min(best, std::fabs(s[lo - 1] - c));
  return best;
}

}  // namespace

double entropy_kl_1d_sorted(std::span<const double> sorted, std::span<const std::uint32_t> order,
                            std::uint64_t k) {
  const std::size_t n = std::min(sorted.size(), order.size());
  // The k-th neighbour among at most n - 1 others.
  const std::size_t k_reachable = n == 0 ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(k, n - 1));
  // Slot i receives the logarithm for index i, so the sum below runs in index order as a loop over the
  // points would; the logarithms themselves may be taken on the pool.
  Buffer<double> logs(n);
  pool::parallel_for(n, detail::kLogNs, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) {
      logs[order[p]] =
          std::log(detail::floor_distance(kth_neighbour_distance(sorted.data(), n, p, k_reachable)));
    }
  });
  return detail::kl_entropy_from(detail::sequential_sum(logs), n, k, detail::kLn2);
}

double entropy_kl_1d(std::span<const double> values, const detail::RankedSample* ranked, std::uint64_t k) {
  const std::size_t n = values.size();
  if (n <= detail::kMaxRanked && detail::differences_finite(values)) {
    if (ranked != nullptr) return entropy_kl_1d_sorted(ranked->sorted, ranked->order, k);
    std::vector<double> sorted;
    std::vector<std::uint32_t> order;
    numeric::sort_with_order(values, sorted, order);
    pool::poll_interrupt();
    return entropy_kl_1d_sorted(sorted, order, k);
  }
  const KdTree<1> tree({values.data()}, n, detail::tree_tasks());
  pool::poll_interrupt();
  return entropy_kl_1d_tree(tree, values, k);
}

double entropy_kl_1d_tree(const KdTree<1>& tree, std::span<const double> values, std::uint64_t k) {
  const std::size_t n = values.size();
  const double s = detail::sequential_sum(
      log_radii(tree, n, k, [&](std::size_t i) { return KdTree<1>::Point{values[i]}; }));
  return detail::kl_entropy_from(s, n, k, detail::kLn2);
}

double entropy_kl_2d_tree(const KdTree<2>& tree, std::span<const double> a, std::span<const double> b,
                          std::uint64_t k) {
  const std::size_t n = std::min(a.size(), b.size());
  const double s = detail::sequential_sum(
      log_radii(tree, n, k, [&](std::size_t i) { return KdTree<2>::Point{a[i], b[i]}; }));
  return detail::kl_entropy_from(2.0 * s, n, k, detail::kLn4);
}

double kl_h(Sample x, std::uint64_t k) {
  detail::require_usable(x.size(), k);
  const std::vector<double> values = detail::checked_copy(x);
  return entropy_kl_1d(values, nullptr, k);
}

}  // namespace quorlix::info
