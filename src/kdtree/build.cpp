// Building the tree: the points are copied, each node's range is split at its median on the axis of widest
// spread, and the leaves' points are stored axis by axis in leaf order.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/errors.hpp"
#include "core/stop.hpp"
#include "kdtree/kdtree.hpp"
#include "kdtree/select.hpp"

namespace quorlix {

template <std::size_t K>
KdTree<K>::KdTree(const std::array<const double*, K>& coords, std::size_t n, const KdTreeTasks& tasks,
                  std::size_t bucket_size) {
  bucket_size = std::clamp<std::size_t>(bucket_size, 1, kBucketSize);
  if (n > kMaxPoints) throw InternalFailure(Failure::kTooManyPoints);
  size_ = n;
  while (((n + (std::size_t{1} << depth_) - 1) >> depth_) > bucket_size) ++depth_;
  inner_count_ = (std::size_t{1} << depth_) - 1;
  const std::size_t node_count = 2 * inner_count_ + 1;

  Buffer<Entry> entries(n);
  bool has_nan = false;
  constexpr std::size_t kCopyPiece = std::size_t{1} << 20;
  for (std::size_t begin = 0; begin < n; begin += kCopyPiece) {
    stop_point();
    const std::size_t end = std::min(n, begin + kCopyPiece);
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t a = 0; a < K; ++a) {
        const double v = coords[a][i];
        entries[i].p[a] = v;
        has_nan |= v != v;
      }
      entries[i].item = i;
    }
  }
  stop_point();

  if constexpr (K > 1) axis_.resize(inner_count_);
  lo_.resize(node_count);
  hi_.resize(node_count);
  coords_.resize(n * K);
  items_.resize(n);
  if (has_nan) {
    build_all<true>(entries, tasks);
  } else {
    build_all<false>(entries, tasks);
  }
  finite_ = true;
  if (n != 0) {
    for (std::size_t a = 0; a < K; ++a) finite_ = finite_ && std::isfinite(hi_[0][a] - lo_[0][a]);
  }
}

template <std::size_t K>
void KdTree<K>::store(const Buffer<Entry>& entries, std::size_t b, std::size_t e) {
  for (std::size_t i = b; i < e; ++i) {
    for (std::size_t a = 0; a < K; ++a) coords_[a * size_ + i] = entries[i].p[a];
    items_[i] = entries[i].item;
  }
}

// The nodes of one level own disjoint entry ranges and node numbers, so they can be split at the same time,
// and the subtrees below the top levels built at the same time; each subtree stores its own points.
template <std::size_t K>
template <bool kHasNaN>
void KdTree<K>::build_all(Buffer<Entry>& entries, const KdTreeTasks& tasks) {
  constexpr std::size_t kTopLevels = 4;
  if (!tasks || depth_ < kTopLevels) {
    build<kHasNaN>(entries, 0, 0, size_);
    store(entries, 0, size_);
    return;
  }
  std::vector<Subtree> level{{0, 0, size_}};
  for (std::size_t depth = 0; depth < kTopLevels; ++depth) {
    stop_point();
    tasks(level.size(), size_ / level.size(),
          [&](std::size_t t) { split_node<kHasNaN>(entries, level[t].node, level[t].b, level[t].e); });
    std::vector<Subtree> below;
    for (const Subtree& s : level) {
      const std::size_t m = s.b + (s.e - s.b) / 2;
      below.push_back({2 * s.node + 1, s.b, m});
      below.push_back({2 * s.node + 2, m, s.e});
    }
    level.swap(below);
  }
  tasks(level.size(), size_ / level.size(), [&](std::size_t t) {
    build<kHasNaN>(entries, level[t].node, level[t].b, level[t].e);
    store(entries, level[t].b, level[t].e);
  });
}

template <std::size_t K>
template <bool kHasNaN>
void KdTree<K>::set_box(const Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e) {
  Point lo;
  Point hi;
  lo.fill(std::nan(""));
  hi.fill(std::nan(""));
  if (b < e) {
    lo = entries[b].p;
    hi = entries[b].p;
  }
  if constexpr (kHasNaN) {
    // With NaN coordinates present, a bound that became NaN stays NaN (neither comparison holds), so
    // the box never claims to contain a point with a NaN coordinate.
    for (std::size_t i = b + 1; i < e; ++i) {
      for (std::size_t a = 0; a < K; ++a) {
        const double v = entries[i].p[a];
        if (v < lo[a] || v != v) lo[a] = v;
        if (v > hi[a] || v != v) hi[a] = v;
      }
    }
  } else {
    // Four boxes over interleaved points, merged at the end, so that consecutive points do not wait on
    // each other's comparisons.
    constexpr std::size_t kLanes = 4;
    std::array<Point, kLanes> lanes_lo;
    std::array<Point, kLanes> lanes_hi;
    lanes_lo.fill(lo);
    lanes_hi.fill(hi);
    std::size_t i = b + 1;
    for (; i + kLanes <= e; i += kLanes) {
      for (std::size_t l = 0; l < kLanes; ++l) {
        for (std::size_t a = 0; a < K; ++a) {
          const double v = entries[i + l].p[a];
          lanes_lo[l][a] = v < lanes_lo[l][a] ? v : lanes_lo[l][a];
          lanes_hi[l][a] = v > lanes_hi[l][a] ? v : lanes_hi[l][a];
        }
      }
    }
    for (; i < e; ++i) {
      for (std::size_t a = 0; a < K; ++a) {
        const double v = entries[i].p[a];
        lanes_lo[0][a] = v < lanes_lo[0][a] ? v : lanes_lo[0][a];
        lanes_hi[0][a] = v > lanes_hi[0][a] ? v : lanes_hi[0][a];
      }
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
      for (std::size_t a = 0; a < K; ++a) {
        lo[a] = lanes_lo[l][a] < lo[a] ? lanes_lo[l][a] : lo[a];
        hi[a] = lanes_hi[l][a] > hi[a] ? lanes_hi[l][a] : hi[a];
      }
    }
  }
  lo_[node] = lo;
  hi_[node] = hi;
}

template <std::size_t K>
std::size_t KdTree<K>::split_axis(std::size_t node) const {
  std::size_t best = 0;
  double best_spread = -1.0;
  for (std::size_t a = 0; a < K; ++a) {
    double spread = hi_[node][a] - lo_[node][a];
    if (spread != spread) spread = 0.0;
    if (spread > best_spread) {
      best = a;
      best_spread = spread;
    }
  }
  return best;
}

template <std::size_t K>
template <bool kHasNaN>
void KdTree<K>::split_node(Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e) {
  set_box<kHasNaN>(entries, node, b, e);
  if (node >= inner_count_) return;
  const std::size_t axis = split_axis(node);
  const std::size_t m = b + (e - b) / 2;
  // Plain < is no strict weak order once a NaN takes part.
  const auto less = [](double u, double v) { return kHasNaN ? chebyshev::ranks_before(u, v) : u < v; };
  const auto key = [axis](const Entry& x) { return x.p[axis]; };
  kdtree_detail::select_nth(entries.data() + b, entries.data() + m, entries.data() + e, key, less);
  if constexpr (K > 1) axis_[node] = static_cast<std::uint8_t>(axis);
}

template <std::size_t K>
template <bool kHasNaN>
void KdTree<K>::build(Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e) {
  if (e - b >= (std::size_t{1} << 16)) stop_point();
  split_node<kHasNaN>(entries, node, b, e);
  if (node >= inner_count_) return;
  const std::size_t m = b + (e - b) / 2;
  build<kHasNaN>(entries, 2 * node + 1, b, m);
  build<kHasNaN>(entries, 2 * node + 2, m, e);
}

template class KdTree<1>;
template class KdTree<2>;
template class KdTree<3>;

}  // namespace quorlix
