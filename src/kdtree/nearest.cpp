// The k-nearest distance queries. Two walks answer them: the heap walk for any data and any count, and the
// faster short-list walk for the small counts of typical use when every distance from the query is finite.
// nth_nearest_distance and stored_nth_distances choose between them; callers never do.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "core/errors.hpp"
#include "kdtree/chebyshev.hpp"
#include "kdtree/kdtree.hpp"
#include "kdtree/neighbour_lists.hpp"

namespace quorlix {

using kdtree_detail::ranks_before;

template <std::size_t K>
double KdTree<K>::nth_nearest_distance(const Point& query, std::size_t n) const {
  if (size_ == 0 || n == 0) throw InternalFailure(Failure::kNoNeighbours);
  if (n <= kShortList && distances_finite(query)) return short_list_nth_distance(query, n);
  const std::size_t m = std::min(n, size_);
  if (m <= kShortList) {
    NearestNeighbour storage[kShortList];
    return heap_nth_distance(query, m, storage);
  }
  std::vector<NearestNeighbour> storage(m);
  return heap_nth_distance(query, m, storage.data());
}

template <std::size_t K>
bool KdTree<K>::distances_finite(const Point& query) const {
  if (!finite_) return false;
  // Every box lies inside the root's, so the root's faces give the largest differences.
  for (std::size_t a = 0; a < K; ++a) {
    if (!std::isfinite(query[a] - lo_[0][a]) || !std::isfinite(hi_[0][a] - query[a])) return false;
  }
  return true;
}

template <std::size_t K>
double KdTree<K>::heap_nth_distance(const Point& query, std::size_t n, NearestNeighbour* storage) const {
  kdtree_detail::NeighbourHeap heap{storage, 0, std::min(n, size_)};
  nearest_walk(0, 0, size_, 0.0, query, heap);
  // The farthest of the n nearest sits on top.
  return heap.top();
}

// bound is a lower bound on the distance from the query to every point of the node, from the splits passed
// on the way down.
template <std::size_t K>
void KdTree<K>::nearest_walk(std::size_t node, std::size_t b, std::size_t e, double bound, const Point& query,
                             kdtree_detail::NeighbourHeap& heap) const {
  // The box is tighter than the splits' bound; skipping a node no nearer than the current n-th
  // distance changes nothing, as none of its points could displace the top. This matters where a
  // query lies on many splits, as with heavily repeated values.
  if (heap.full() && !ranks_before(box_gap(node, query), heap.top())) return;
  if (node >= inner_count_) {
    std::size_t i = b;
    for (; i < e && !heap.full(); ++i) heap.push({distance_at(i, query), items_[i]});
    for (; i < e; ++i) {
      const double d = distance_at(i, query);
      // Strict: a point at exactly the current n-th distance keeps the entry found earlier.
      if (ranks_before(d, heap.top())) heap.replace_top({d, items_[i]});
    }
    return;
  }
  const std::size_t axis = axis_of(node);
  const double s = split_[node];
  const double q = query[axis];
  const std::size_t m = b + (e - b) / 2;
  const double far = chebyshev::far_bound(bound, q, s);
  if (q < s) {
    nearest_walk(2 * node + 1, b, m, bound, query, heap);
    if (!heap.full() || ranks_before(far, heap.top())) nearest_walk(2 * node + 2, m, e, far, query, heap);
  } else {
    nearest_walk(2 * node + 2, m, e, bound, query, heap);
    if (!heap.full() || ranks_before(far, heap.top())) nearest_walk(2 * node + 1, b, m, far, query, heap);
  }
}

template <std::size_t K>
double KdTree<K>::short_list_nth_distance(const Point& query, std::size_t n) const {
  return kdtree_detail::with_short_list<K>(std::min(n, size_), [&](auto& list) {
    short_walk(0, 0, size_, 0.0, query, list);
    return list.nth();
  });
}

// With every distance finite, +inf can stand for "fewer than n found yet". A node is skipped once its box
// lies no nearer than the n-th distance, as none of its points could then enter the list (the entry rule
// is strict).
template <std::size_t K>
template <class List>
void KdTree<K>::short_walk(std::size_t node, std::size_t b, std::size_t e, double gap, const Point& query,
                           List& list) const {
  struct Pending {
    std::size_t node, b, e;
    double gap;
  };
  // At most one pending sibling per level of the tree.
  Pending stack[kMaxDepth];
  std::size_t pending = 0;
  for (;;) {
    while (node < inner_count_ && gap < list.top) {
      const std::size_t m = b + (e - b) / 2;
      const std::size_t left = 2 * node + 1;
      const double gap_left = box_gap(left, query);
      const double gap_right = box_gap(left + 1, query);
      if (gap_left <= gap_right) {
        if (gap_right < list.top) stack[pending++] = {left + 1, m, e, gap_right};
        node = left;
        e = m;
        gap = gap_left;
      } else {
        if (gap_left < list.top) stack[pending++] = {left, b, m, gap_left};
        node = left + 1;
        b = m;
        gap = gap_right;
      }
    }
    if (gap < list.top) list.scan(axes_from(b), e - b, query);
    do {
      if (pending == 0) return;
      const Pending& next = stack[--pending];
      node = next.node;
      b = next.b;
      e = next.e;
      gap = next.gap;
    } while (!(gap < list.top));
  }
}

// The points of a leaf are queried together: one walk finds the leaves that can hold a neighbour of any of
// them, so the work of descending the tree is shared, and each of those leaves is read once for all of them.
template <std::size_t K>
void KdTree<K>::stored_nth_distances(std::size_t first_leaf, std::size_t last_leaf, std::size_t n,
                                     DistanceSink found) const {
  if (size_ == 0 || n == 0) throw InternalFailure(Failure::kNoNeighbours);
  if (n > kShortList || !finite_) {
    // Here nth_nearest_distance would take the heap walk for every point; the batch shares its storage.
    std::vector<NearestNeighbour> storage(std::min(n, size_));
    for (std::size_t leaf = first_leaf; leaf < last_leaf; ++leaf) {
      const auto [b, e] = range_of(inner_count_ + leaf);
      for (std::size_t i = b; i < e; ++i) found(i, heap_nth_distance(point_at(i), n, storage.data()));
    }
    return;
  }
  kdtree_detail::with_short_list<K>(std::min(n, size_), [&](const auto& empty) {
    using List = std::decay_t<decltype(empty)>;
    struct Pending {
      std::size_t node, b, e;
    };
    // Depth first with both children pushed: at most one pending sibling per level, plus the node on top.
    Pending stack[kMaxDepth];
    for (std::size_t leaf = first_leaf; leaf < last_leaf; ++leaf) {
      const std::size_t own = inner_count_ + leaf;
      const auto [own_b, own_e] = range_of(own);
      // A leaf holds at most kBucketSize points.
      const std::size_t count = own_e - own_b;
      const std::array<const double*, K> own_axes = axes_from(own_b);
      std::array<List, kBucketSize> lists;
      std::array<Point, kBucketSize> queries;
      // The largest n-th distance among the leaf's points so far: no point of a node whose box lies at
      // least this far from the leaf's box can enter any of their lists (the entry rule is strict).
      double reach = 0.0;
      for (std::size_t i = 0; i < count; ++i) {
        lists[i] = empty;
        queries[i] = point_at(own_b + i);
        lists[i].scan(own_axes, count, queries[i], true);
        reach = lists[i].top > reach ? lists[i].top : reach;
      }
      const Point& lo = lo_[own];
      const Point& hi = hi_[own];
      std::size_t pending = 0;
      stack[pending++] = {0, 0, size_};
      while (pending > 0) {
        const Pending at = stack[--pending];
        if (!(box_box_gap(at.node, lo, hi) < reach)) continue;
        if (at.node < inner_count_) {
          // The nearer child is taken first, so that its points shrink the lists before the other is tried.
          const std::size_t m = at.b + (at.e - at.b) / 2;
          const std::size_t left = 2 * at.node + 1;
          if (box_box_gap(left, lo, hi) <= box_box_gap(left + 1, lo, hi)) {
            stack[pending++] = {left + 1, m, at.e};
            stack[pending++] = {left, at.b, m};
          } else {
            stack[pending++] = {left, at.b, m};
            stack[pending++] = {left + 1, m, at.e};
          }
          continue;
        }
        if (at.node == own) continue;
        const std::array<const double*, K> axes = axes_from(at.b);
        reach = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
          if (box_gap(at.node, queries[i]) < lists[i].top) lists[i].scan(axes, at.e - at.b, queries[i]);
          reach = lists[i].top > reach ? lists[i].top : reach;
        }
      }
      for (std::size_t i = 0; i < count; ++i) found(own_b + i, lists[i].nth());
    }
    return 0.0;
  });
}

template class KdTree<1>;
template class KdTree<2>;
template class KdTree<3>;

}  // namespace quorlix
