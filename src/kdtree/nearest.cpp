// The k-nearest distance queries. The walk collects the nearest distances in a heap for any data and any
// count, or in a faster short list for the small counts of typical use when every distance from the query is
// finite; nth_nearest_distance and stored_nth_distances choose between them, callers never do.
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

using chebyshev::ranks_before;

// The count nearest of one query in a heap, the farthest on top.
template <std::size_t K>
struct KdTree<K>::HeapNearest {
  const KdTree& tree;
  const Point& query;
  kdtree_detail::NeighbourHeap& heap;

  // Once the heap is full, a node no nearer than its top holds no point that could displace it. A gap is
  // never NaN, so this is !ranks_before(gap, top) without the NaN test on the gap.
  bool reaches(double gap) const { return !(heap.full() && gap >= heap.top()); }
  bool whole(std::size_t, std::size_t, std::size_t) const { return false; }
  void leaf(std::size_t, std::size_t b, std::size_t e) const {
    std::size_t i = b;
    for (; i < e && !heap.full(); ++i) heap.push(tree.distance_at(i, query));
    for (; i < e; ++i) {
      const double d = tree.distance_at(i, query);
      if (ranks_before(d, heap.top())) heap.replace_top(d);
    }
  }
};

// The count nearest of one query in a kdtree_detail::ShortList. With every distance finite, +inf stands for
// "fewer than count found yet", and a node no nearer than the count-th distance is out of reach (the entry
// rule is strict).
template <std::size_t K>
template <class List>
struct KdTree<K>::ShortNearest {
  const KdTree& tree;
  const Point& query;
  List& list;

  bool reaches(double gap) const { return gap < list.top; }
  bool whole(std::size_t, std::size_t, std::size_t) const { return false; }
  void leaf(std::size_t, std::size_t b, std::size_t e) const { list.scan(tree.axes_from(b), e - b, query); }
};

// The count nearest of every point of the leaf own, one ShortList each, found in one walk whose gaps are
// taken from the leaf's box: the descent is shared, and each leaf reached is read once for all of them.
template <std::size_t K>
template <class List>
struct KdTree<K>::LeafBatch {
  const KdTree& tree;
  std::size_t own;
  std::size_t points;
  List* lists;
  const Point* queries;
  // The largest count-th distance among the leaf's points so far: no point of a node whose box lies at least
  // this far from the leaf's box can enter any of their lists.
  double reach;

  bool reaches(double gap) const { return gap < reach; }
  bool whole(std::size_t, std::size_t, std::size_t) const { return false; }
  void leaf(std::size_t node, std::size_t b, std::size_t e) {
    if (node == own) return;
    const std::array<const double*, K> axes = tree.axes_from(b);
    reach = 0.0;
    for (std::size_t i = 0; i < points; ++i) {
      if (chebyshev::box_box_gap(tree.lo_[node], tree.hi_[node], queries[i], queries[i]) < lists[i].top)
        lists[i].scan(axes, e - b, queries[i]);
      reach = lists[i].top > reach ? lists[i].top : reach;
    }
  }
};

// The largest heap kept on the stack; larger ones are allocated.
constexpr std::size_t kStackHeap = 32;

template <std::size_t K>
double KdTree<K>::nth_nearest_distance(const Point& query, std::size_t count) const {
  if (size_ == 0 || count == 0) throw InternalFailure(Failure::kNoNeighbours);
  const std::size_t m = std::min(count, size_);
  if (short_list_serves(count, query)) {
    return kdtree_detail::with_short_list<K>(m, [&](auto& list) {
      ShortNearest<std::decay_t<decltype(list)>> visit{*this, query, list};
      walk(visit, query, query);
      return list.nth();
    });
  }
  if (m <= kStackHeap) {
    double storage[kStackHeap];
    return heap_nth_distance(query, m, storage);
  }
  std::vector<double> storage(m);
  return heap_nth_distance(query, m, storage.data());
}

template <std::size_t K>
bool KdTree<K>::short_list_serves(std::size_t count, const Point& query) const {
  if (count > kdtree_detail::kShortListCapacity || !finite_) return false;
  // Every box lies inside the root's, so the root's faces give the largest differences.
  for (std::size_t a = 0; a < K; ++a) {
    if (!std::isfinite(query[a] - lo_[0][a]) || !std::isfinite(hi_[0][a] - query[a])) return false;
  }
  return true;
}

template <std::size_t K>
double KdTree<K>::heap_nth_distance(const Point& query, std::size_t count, double* storage) const {
  kdtree_detail::NeighbourHeap heap{storage, 0, count};
  HeapNearest visit{*this, query, heap};
  walk(visit, query, query);
  return heap.top();
}

template <std::size_t K>
void KdTree<K>::stored_nth_distances(std::size_t first_leaf, std::size_t last_leaf, std::size_t count,
                                     DistanceSink found) const {
  if (size_ == 0 || count == 0) throw InternalFailure(Failure::kNoNeighbours);
  const std::size_t m = std::min(count, size_);
  // The root's corner stands for every stored point: the distances of all of them are finite or of none.
  if (!short_list_serves(count, lo_[0])) {
    // Here nth_nearest_distance would take the heap for every point; the batch shares its storage.
    std::vector<double> storage(m);
    for (std::size_t leaf = first_leaf; leaf < last_leaf; ++leaf) {
      const auto [b, e] = range_of(inner_count_ + leaf);
      for (std::size_t i = b; i < e; ++i) found(i, heap_nth_distance(point_at(i), m, storage.data()));
    }
    return;
  }
  kdtree_detail::with_short_list<K>(m, [&](const auto& empty) {
    using List = std::decay_t<decltype(empty)>;
    for (std::size_t leaf = first_leaf; leaf < last_leaf; ++leaf) {
      const std::size_t own = inner_count_ + leaf;
      const auto [own_b, own_e] = range_of(own);
      // A leaf holds at most kBucketSize points.
      const std::size_t points = own_e - own_b;
      const std::array<const double*, K> own_axes = axes_from(own_b);
      std::array<List, kBucketSize> lists;
      std::array<Point, kBucketSize> queries;
      LeafBatch<List> visit{*this, own, points, lists.data(), queries.data(), 0.0};
      for (std::size_t i = 0; i < points; ++i) {
        lists[i] = empty;
        queries[i] = point_at(own_b + i);
        lists[i].scan(own_axes, points, queries[i], true);
        visit.reach = lists[i].top > visit.reach ? lists[i].top : visit.reach;
      }
      walk(visit, lo_[own], hi_[own]);
      for (std::size_t i = 0; i < points; ++i) found(own_b + i, lists[i].nth());
    }
    return 0.0;
  });
}

// The class itself is instantiated in build.cpp; here only the members defined in this file.
template double KdTree<1>::nth_nearest_distance(const Point&, std::size_t) const;
template double KdTree<2>::nth_nearest_distance(const Point&, std::size_t) const;
template double KdTree<3>::nth_nearest_distance(const Point&, std::size_t) const;
template void KdTree<1>::stored_nth_distances(std::size_t, std::size_t, std::size_t, DistanceSink) const;
template void KdTree<2>::stored_nth_distances(std::size_t, std::size_t, std::size_t, DistanceSink) const;
template void KdTree<3>::stored_nth_distances(std::size_t, std::size_t, std::size_t, DistanceSink) const;

}  // namespace quorlix
