// Bucketed k-d tree over points of dimension 1, 2 or 3 with Chebyshev-distance queries.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/buffer.hpp"
#include "core/errors.hpp"
#include "core/stop.hpp"

namespace quorlix {

// One query result: the Chebyshev distance from the query and the stored item id. Ordered by
// distance alone.
struct NearestNeighbour {
  double distance;
  std::uint64_t item;
};

// The max-norm distance. Terms are folded in axis order and a NaN term is ignored (folding m with
// t gives t if t > m, else m; a NaN m is replaced by t), so the distance is NaN only when every
// term is.
struct Chebyshev {
  static double axis(double a, double b);
  template <std::size_t K>
  static double distance(const std::array<double, K>& p, const std::array<double, K>& q);
};

inline double Chebyshev::axis(double a, double b) { return std::fabs(a - b); }

namespace kdtree_detail {

// The Chebyshev fold over a stored point given by its K coordinates.
template <std::size_t K>
inline double distance_to(const double* p, const std::array<double, K>& q) {
  double m = Chebyshev::axis(p[0], q[0]);
  for (std::size_t a = 1; a < K; ++a) {
    const double t = Chebyshev::axis(p[a], q[a]);
    if (t > m || m != m) m = t;
  }
  return m;
}

// The order of query results: by distance, with NaN after every number, so that a NaN distance is
// the first to leave a full heap instead of blocking every later candidate.
inline bool ranks_before(double d, double t) { return d < t || (t != t && d == d); }

// A max-heap of at most cap entries (the farthest on top) over caller-provided storage.
struct NeighbourHeap {
  NearestNeighbour* data;
  std::size_t size;
  std::size_t cap;

  bool full() const { return size == cap; }
  double top() const { return data[0].distance; }

  void push(NearestNeighbour x) {
    std::size_t i = size++;
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!ranks_before(data[parent].distance, x.distance)) break;
      data[i] = data[parent];
      i = parent;
    }
    data[i] = x;
  }

  // Puts x at position i of the heap prefix [0, n) and moves it down to its place.
  static void sift_down(NearestNeighbour* h, std::size_t n, std::size_t i, NearestNeighbour x) {
    for (;;) {
      std::size_t c = 2 * i + 1;
      if (c >= n) break;
      if (c + 1 < n && ranks_before(h[c].distance, h[c + 1].distance)) ++c;
      if (!ranks_before(x.distance, h[c].distance)) break;
      h[i] = h[c];
      i = c;
    }
    h[i] = x;
  }

  void replace_top(NearestNeighbour x) { sift_down(data, size, 0, x); }

  // Heap sort in place: ascending distance, NaN last.
  void sort() {
    for (std::size_t end = size; end > 1; --end) {
      const NearestNeighbour last = data[end - 1];
      data[end - 1] = data[0];
      sift_down(data, end - 1, 0, last);
    }
  }
};

// Moves the elements of [first, last) for which goes_left holds in front of the others and returns
// the boundary. Misplaced elements are located a block at a time without branching on the data and
// only those are swapped, which avoids the mispredicted branches of a plain partition on random
// input.
template <class T, class Pred>
T* block_partition(T* first, T* last, Pred goes_left) {
  constexpr std::ptrdiff_t kBlock = 64;
  std::uint8_t off_l[kBlock];
  std::uint8_t off_r[kBlock];
  std::ptrdiff_t num_l = 0;
  std::ptrdiff_t num_r = 0;
  std::ptrdiff_t start_l = 0;
  std::ptrdiff_t start_r = 0;
  // Two blocks fit side by side, so the left block [first, first + kBlock) and the right block
  // [last - kBlock, last) never overlap.
  while (last - first > 2 * kBlock) {
    if (num_l == 0) {
      start_l = 0;
      for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
        off_l[num_l] = static_cast<std::uint8_t>(i);
        num_l += !goes_left(first[i]);
      }
    }
    if (num_r == 0) {
      start_r = 0;
      for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
        off_r[num_r] = static_cast<std::uint8_t>(i);
        num_r += goes_left(*(last - 1 - i));
      }
    }
    const std::ptrdiff_t num = std::min(num_l, num_r);
    for (std::ptrdiff_t j = 0; j < num; ++j) {
      std::swap(first[off_l[start_l + j]], *(last - 1 - off_r[start_r + j]));
    }
    num_l -= num;
    num_r -= num;
    start_l += num;
    start_r += num;
    if (num_l == 0) first += kBlock;
    if (num_r == 0) last -= kBlock;
  }
  // What is left, including a block whose misplaced elements were not all swapped, is small.
  return std::partition(first, last, goes_left);
}

// Moves the elements of [first, last) for which goes_left holds in front of the others and returns the
// boundary, swapping every element into place without a branch on the data; for ranges small enough to sit
// in the cache, where the swaps cost less than mispredicted branches.
template <class T, class Pred>
T* swap_partition(T* first, T* last, Pred goes_left) {
  // [first, store) goes left and [store, it) does not; swapping the next element to store keeps that true
  // whichever side it belongs to.
  T* store = first;
  for (T* it = first; it != last; ++it) {
    const bool left = goes_left(*it);
    std::swap(*store, *it);
    store += left;
  }
  return store;
}

// select_nth for small ranges: quickselect with the median of three keys as pivot, keys equal to the pivot
// set apart so that repeated values end the search, and std::nth_element after a bounded number of rounds.
template <class T, class Key, class Less>
void small_select(T* first, T* nth, T* last, Key key, Less less) {
  constexpr std::ptrdiff_t kInsertion = 12;
  for (int round = 0; round < 24 && last - first > kInsertion; ++round) {
    const double a = key(*first);
    const double b = key(first[(last - first) / 2]);
    const double c = key(*(last - 1));
    const double pivot =
        less(a, b) ? (less(b, c) ? b : (less(a, c) ? c : a)) : (less(a, c) ? a : (less(b, c) ? c : b));
    T* const below_end = swap_partition(first, last, [&](const T& x) { return less(key(x), pivot); });
    if (nth < below_end) {
      last = below_end;
      continue;
    }
    T* const equal_end = swap_partition(below_end, last, [&](const T& x) { return !less(pivot, key(x)); });
    if (nth < equal_end) return;
    first = equal_end;
  }
  if (last - first > kInsertion) {
    std::nth_element(first, nth, last, [&](const T& x, const T& y) { return less(key(x), key(y)); });
    return;
  }
  for (T* i = first + 1; i < last; ++i) {
    T v = *i;
    T* j = i;
    for (; j > first && less(key(v), key(*(j - 1))); --j) *j = *(j - 1);
    *j = v;
  }
}

// Rearranges [first, last) so that nth holds the element an ascending sort would put there, with no
// greater element before it and no smaller one after it (by less on key). Large ranges are narrowed
// with two pivots read from an evenly spaced sample around the target rank, so that one or two
// partition passes leave a small middle part to finish with std::nth_element; a few rounds at most
// are tried before handing the whole remaining range over, which bounds the worst case.
template <class T, class Key, class Less>
void select_nth(T* first, T* nth, T* last, Key key, Less less) {
  constexpr std::size_t kMaxSample = 512;
  constexpr std::size_t kSmall = 512;
  std::array<double, kMaxSample> sample;
  for (int round = 0; round < 8 && static_cast<std::size_t>(last - first) > kSmall; ++round) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n >= (std::size_t{1} << 16)) stop_point();
    const std::size_t s = std::min(kMaxSample, n / 16);
    for (std::size_t t = 0; t < s; ++t) sample[t] = key(first[(t * n + n / 2) / s]);
    const double rank = static_cast<double>(nth - first) * static_cast<double>(s) / static_cast<double>(n);
    const double spread = 1.5 * std::sqrt(static_cast<double>(s));
    const std::size_t rank_lo = static_cast<std::size_t>(std::max(0.0, rank - spread));
    const std::size_t rank_hi = static_cast<std::size_t>(std::min(static_cast<double>(s - 1), rank + spread));
    std::nth_element(sample.begin(), sample.begin() + rank_lo, sample.begin() + s, less);
    const double pivot_lo = sample[rank_lo];
    std::nth_element(sample.begin() + rank_lo, sample.begin() + rank_hi, sample.begin() + s, less);
    const double pivot_hi = sample[rank_hi];
    T* const low_end = block_partition(first, last, [&](const T& x) { return less(key(x), pivot_lo); });
    if (nth < low_end) {
      last = low_end;
      continue;
    }
    T* const mid_end = block_partition(low_end, last, [&](const T& x) { return !less(pivot_hi, key(x)); });
    if (nth >= mid_end) {
      first = mid_end;
      continue;
    }
    first = low_end;
    last = mid_end;
    if (!less(pivot_lo, pivot_hi)) return;  // every key left equals the pivots
  }
  small_select(first, nth, last, key, less);
}

}  // namespace kdtree_detail

template <std::size_t K>
double Chebyshev::distance(const std::array<double, K>& p, const std::array<double, K>& q) {
  return kdtree_detail::distance_to<K>(p.data(), q);
}

// Runs task(0), ..., task(count - 1), possibly several at the same time, and returns once all have finished.
// Lets the tree build independent subtrees in parallel without depending on a particular thread pool.
using KdTreeTasks = std::function<void(std::size_t count, std::size_t points_per_task,
                                       const std::function<void(std::size_t)>& task)>;

template <std::size_t K>
class KdTree {
 public:
  static_assert(K >= 1 && K <= 3, "KdTree supports dimensions 1, 2 and 3");
  static constexpr std::size_t kBucketSize = 32;
  static constexpr std::size_t kMaxPoints = std::size_t{1} << 36;
  using Point = std::array<double, K>;

  // Builds a balanced tree over the n points (coords[0][i], ..., coords[K-1][i]), point i carrying
  // item id i. Any number of identical coordinates or points is accepted. Throws InternalFailure
  // when n exceeds 2^36. With tasks, large trees build their lower levels as independent tasks; the
  // tree is the same either way. Leaves hold at most bucket_size points (clamped to 1 .. kBucketSize);
  // smaller leaves make k-nearest queries with small k scan fewer points.
  KdTree(const std::array<const double*, K>& coords, std::size_t n, const KdTreeTasks& tasks = {},
         std::size_t bucket_size = kBucketSize);

  std::size_t size() const { return size_; }

  // Number of split levels above the leaves; every leaf sits at this depth.
  std::size_t depth() const { return depth_; }

  // The min(n, size()) stored points nearest to query, by ascending distance. n == 0 on a
  // non-empty tree throws InternalFailure kNoNeighbours.
  std::vector<NearestNeighbour> nearest_n(const Point& query, std::size_t n) const;

  // The largest distance among the n nearest (the last entry of nearest_n), using scratch as the
  // heap's storage so that repeated queries allocate nothing. Same failure for n == 0, and also on
  // an empty tree, where there is no last entry.
  double nth_nearest_distance(const Point& query, std::size_t n,
                              std::vector<NearestNeighbour>& scratch) const;

  // nth_nearest_distance without scratch. For n <= kShortList on a tree whose distances from query are
  // all finite (distances_finite) the n best distances fit a short sorted array, and no item ids are kept;
  // otherwise it falls back on the heap of nth_nearest_distance.
  double short_nth_distance(const Point& query, std::size_t n) const;

  // short_nth_distance for the stored point at leaf position `position` (point_at(position), which must
  // be below size()). Starts from the point's own leaf and widens to the sibling subtrees of its ancestors,
  // nearest first, which spares the descent from the root.
  double stored_nth_distance(std::size_t position, std::size_t n) const;

  // The number of leaves; leaf l (0 <= l < leaf_count()) holds a run of consecutive leaf positions, and
  // the runs of leaves 0, 1, ... follow each other from position 0.
  std::size_t leaf_count() const { return inner_count_ + 1; }

  // stored_nth_distance for every position of the leaves [first_leaf, last_leaf): calls
  // found(position, distance) once per position, in order. The points of a leaf are queried together:
  // one walk finds the leaves that can hold a neighbour of any of them, so the work of descending the
  // tree is shared, and each of those leaves is read once for all of them.
  template <class Found>
  void stored_nth_distances(std::size_t first_leaf, std::size_t last_leaf, std::size_t n,
                            const Found& found) const;

  // Whether every distance between two stored points is finite (no infinite or NaN coordinate and no
  // overflowing difference).
  bool all_distances_finite() const { return finite_; }

  // Whether every distance from query to a stored point, and to every node's box, is finite: the tree
  // holds no infinite or NaN coordinate and no difference overflows.
  bool distances_finite(const Point& query) const;

  // The largest n that short_nth_distance accepts.
  static constexpr std::size_t kShortList = 32;

  // Every stored point whose distance from query is strictly less than radius, in walk order.
  std::vector<NearestNeighbour> within_unsorted(const Point& query, double radius) const;

  // The number of points within_unsorted would return, without building the list; a node whose
  // whole cell lies strictly inside the radius contributes its size without visiting its points.
  std::size_t count_within(const Point& query, double radius) const;

  // Item ids in the order the leaves store them; visiting points in this order keeps queries
  // cache-friendly.
  std::span<const std::uint64_t> leaf_order() const { return items_; }

  // The coordinates of the point stored at a position of that order.
  Point point_at(std::size_t position) const {
    Point p;
    for (std::size_t a = 0; a < K; ++a) p[a] = coords_[a * size_ + position];
    return p;
  }

 private:
  struct Entry {
    Point p;
    std::uint64_t item;
  };

  // The tree is complete and stored in heap order: node i has children 2i + 1 and 2i + 2, nodes
  // below inner_count_ are inner nodes and the rest are leaves. Splitting a range [b, e) at
  // m = b + (e - b) / 2 leaves every node of one depth with floor or ceil of n / 2^depth points, so
  // all leaves can sit at one depth with between half the bucket size and the bucket size each, and a
  // node's range follows from its parent's by the same halving instead of being stored.
  //
  // Sets the box of node over entries [b, e) and, for an inner node, partitions the range at its
  // midpoint on the split axis and records the split.
  template <bool kHasNaN>
  void split_node(Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e);
  // Builds the subtree of node over entries [b, e).
  template <bool kHasNaN>
  void build(Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e);
  // Builds the whole tree, the lower levels as tasks when there are tasks to run them.
  struct Subtree {
    std::size_t node, b, e;
  };
  template <bool kHasNaN>
  void build_all(Buffer<Entry>& entries, const KdTreeTasks& tasks);
  void store(const Buffer<Entry>& entries, std::size_t b, std::size_t e);
  template <bool kHasNaN>
  void set_box(const Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e);
  std::size_t split_axis(std::size_t node) const;

  double distance_at(std::size_t pos, const Point& query) const {
    return Chebyshev::distance(point_at(pos), query);
  }

  // Where the coordinates of leaf positions b and on start, one run per axis.
  std::array<const double*, K> axes_from(std::size_t b) const {
    std::array<const double*, K> axes;
    for (std::size_t a = 0; a < K; ++a) axes[a] = coords_.data() + a * size_ + b;
    return axes;
  }

  // Lower bound on the distance from the query to the far side of a split. A NaN offset only
  // arises from a NaN or from a query and a split at the same infinity, where stored points may
  // have a NaN term that the fold ignores, so it bounds nothing and counts as 0.
  static double far_bound(double bound, double query_coord, double split) {
    const double offset = Chebyshev::axis(query_coord, split);
    return offset > bound ? offset : bound;
  }

  // Lower bound on the distance from the query to every point of a node, from its bounding box.
  // An axis whose gap is NaN (a NaN box or query, or a query at an infinity the box reaches) may
  // hold points whose term the fold skips, so it bounds nothing and counts as 0.
  double box_gap(std::size_t node, const Point& query) const {
    double gap = 0.0;
    for (std::size_t a = 0; a < K; ++a) {
      const double below = lo_[node][a] - query[a];
      const double above = query[a] - hi_[node][a];
      if (below > gap) gap = below;
      if (above > gap) gap = above;
    }
    return gap;
  }

  // Lower bound on the distance between any point of a node and any point of the box [lo, hi]: the
  // largest gap between the two boxes along an axis. Needs finite boxes.
  double box_box_gap(std::size_t node, const Point& lo, const Point& hi) const {
    double gap = 0.0;
    for (std::size_t a = 0; a < K; ++a) {
      const double below = lo_[node][a] - hi[a];
      const double above = lo[a] - hi_[node][a];
      gap = below > gap ? below : gap;
      gap = above > gap ? above : gap;
    }
    return gap;
  }

  // The first leaf position held by the subtree of node and one past its last, from the halving of the
  // ranges on the way down from the root.
  std::pair<std::size_t, std::size_t> range_of(std::size_t node) const {
    std::size_t depth = 0;
    while ((std::size_t{2} << depth) - 1 <= node) ++depth;
    std::size_t b = 0;
    std::size_t e = size_;
    for (std::size_t level = depth; level > 0; --level) {
      const std::size_t m = b + (e - b) / 2;
      const bool right = (((node + 1) >> (level - 1)) & 1) != 0;
      if (right) {
        b = m;
      } else {
        e = m;
      }
    }
    return {b, e};
  }

  std::size_t axis_of(std::size_t node) const {
    if constexpr (K == 1) {
      return 0;
    } else {
      return axis_[node];
    }
  }

  // Visits the subtree of node over [b, e), whose box lies gap away, nearest box first, offering its
  // points to a kdtree_detail::ShortList.
  template <class List>
  void short_walk(std::size_t node, std::size_t b, std::size_t e, double gap, const Point& query,
                  List& list) const;

  void nearest_walk(std::size_t node, std::size_t b, std::size_t e, double bound, const Point& query,
                    kdtree_detail::NeighbourHeap& heap) const;
  void within_walk(std::size_t node, std::size_t b, std::size_t e, double bound, const Point& query,
                   double radius, std::vector<NearestNeighbour>& out) const;
  std::size_t count_walk(std::size_t node, std::size_t b, std::size_t e, double bound, const Point& query,
                         double radius) const;
  std::size_t fill_heap(const Point& query, std::size_t n, NearestNeighbour* storage) const;

  std::size_t size_ = 0;
  std::size_t depth_ = 0;
  std::size_t inner_count_ = 0;
  Buffer<double> coords_;             // axis-major: axis a of the point at leaf position i is a * size_ + i
  Buffer<std::uint64_t> items_;       // item id of each stored point, in leaf order
  Buffer<double> split_;              // per inner node: the median coordinate on its axis
  Buffer<std::uint8_t> axis_;         // per inner node: its split axis
  Buffer<Point> lo_;                  // per node: bounding box of its points (NaN if any is NaN)
  Buffer<Point> hi_;
  bool finite_ = false;  // the root box spans a finite range on every axis, so no distance is infinite
};

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

  split_.resize(inner_count_);
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
  // NaN sorts after +inf: selection needs a strict weak order, and plain < is none once a NaN takes
  // part.
  const auto less = [](double u, double v) {
    if constexpr (kHasNaN) {
      return u < v || (v != v && u == u);
    } else {
      return u < v;
    }
  };
  const auto key = [axis](const Entry& x) { return x.p[axis]; };
  kdtree_detail::select_nth(entries.data() + b, entries.data() + m, entries.data() + e, key, less);
  split_[node] = entries[m].p[axis];
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

// The left child holds coordinates <= split and the right child >= split, so whichever side the
// query is not on lies at least |query - split| away on that axis.
template <std::size_t K>
void KdTree<K>::nearest_walk(std::size_t node, std::size_t b, std::size_t e, double bound, const Point& query,
                             kdtree_detail::NeighbourHeap& heap) const {
  // The box is tighter than the splits' bound; skipping a node no nearer than the current n-th
  // distance changes nothing, as none of its points could displace the top. This matters where a
  // query lies on many splits, as with heavily repeated values.
  if (heap.full() && !kdtree_detail::ranks_before(box_gap(node, query), heap.top())) return;
  if (node >= inner_count_) {
    std::size_t i = b;
    for (; i < e && !heap.full(); ++i) heap.push({distance_at(i, query), items_[i]});
    for (; i < e; ++i) {
      const double d = distance_at(i, query);
      // Strict: a point at exactly the current n-th distance keeps the entry found earlier.
      if (kdtree_detail::ranks_before(d, heap.top())) heap.replace_top({d, items_[i]});
    }
    return;
  }
  const std::size_t axis = axis_of(node);
  const double s = split_[node];
  const double q = query[axis];
  const std::size_t m = b + (e - b) / 2;
  const double far = far_bound(bound, q, s);
  if (q < s) {
    nearest_walk(2 * node + 1, b, m, bound, query, heap);
    if (!heap.full() || kdtree_detail::ranks_before(far, heap.top())) {
      nearest_walk(2 * node + 2, m, e, far, query, heap);
    }
  } else {
    nearest_walk(2 * node + 2, m, e, bound, query, heap);
    if (!heap.full() || kdtree_detail::ranks_before(far, heap.top())) {
      nearest_walk(2 * node + 1, b, m, far, query, heap);
    }
  }
}

template <std::size_t K>
void KdTree<K>::within_walk(std::size_t node, std::size_t b, std::size_t e, double bound, const Point& query,
                            double radius, std::vector<NearestNeighbour>& out) const {
  // Skipping a node that lies wholly at or beyond the radius only saves work: none of its points
  // would pass the strict test. A NaN radius ends the walk here.
  if (!(box_gap(node, query) < radius)) return;
  if (node >= inner_count_) {
    for (std::size_t i = b; i < e; ++i) {
      const double d = distance_at(i, query);
      if (d < radius) out.push_back({d, items_[i]});
    }
    return;
  }
  const std::size_t axis = axis_of(node);
  const double s = split_[node];
  const double q = query[axis];
  const std::size_t m = b + (e - b) / 2;
  const double far = far_bound(bound, q, s);
  if (q < s) {
    within_walk(2 * node + 1, b, m, bound, query, radius, out);
    if (far <= radius) within_walk(2 * node + 2, m, e, far, query, radius, out);
  } else {
    within_walk(2 * node + 2, m, e, bound, query, radius, out);
    if (far <= radius) within_walk(2 * node + 1, b, m, far, query, radius, out);
  }
}

template <std::size_t K>
std::size_t KdTree<K>::count_walk(std::size_t node, std::size_t b, std::size_t e, double bound,
                                  const Point& query, double radius) const {
  if (!(box_gap(node, query) < radius)) return 0;
  bool inside = true;
  for (std::size_t a = 0; a < K && inside; ++a) {
    // A NaN offset (a NaN box or query, or a query and a bound at the same infinity) fails the
    // comparison, so such a node is never taken as inside.
    inside =
        Chebyshev::axis(query[a], lo_[node][a]) < radius && Chebyshev::axis(query[a], hi_[node][a]) < radius;
  }
  if (inside) return e - b;
  if (node >= inner_count_) {
    std::size_t count = 0;
    for (std::size_t i = b; i < e; ++i) count += distance_at(i, query) < radius;
    return count;
  }
  const std::size_t axis = axis_of(node);
  const double s = split_[node];
  const double q = query[axis];
  const std::size_t m = b + (e - b) / 2;
  const double far = far_bound(bound, q, s);
  std::size_t count;
  if (q < s) {
    count = count_walk(2 * node + 1, b, m, bound, query, radius);
    if (far <= radius) count += count_walk(2 * node + 2, m, e, far, query, radius);
  } else {
    count = count_walk(2 * node + 2, m, e, bound, query, radius);
    if (far <= radius) count += count_walk(2 * node + 1, b, m, far, query, radius);
  }
  return count;
}

template <std::size_t K>
std::size_t KdTree<K>::fill_heap(const Point& query, std::size_t n, NearestNeighbour* storage) const {
  kdtree_detail::NeighbourHeap heap{storage, 0, std::min(n, size_)};
  nearest_walk(0, 0, size_, 0.0, query, heap);
  return heap.size;
}

template <std::size_t K>
std::vector<NearestNeighbour> KdTree<K>::nearest_n(const Point& query, std::size_t n) const {
  if (size_ == 0) return {};
  if (n == 0) throw InternalFailure(Failure::kNoNeighbours);
  std::vector<NearestNeighbour> out(std::min(n, size_));
  kdtree_detail::NeighbourHeap heap{out.data(), fill_heap(query, n, out.data()), out.size()};
  heap.sort();
  return out;
}

template <std::size_t K>
double KdTree<K>::nth_nearest_distance(const Point& query, std::size_t n,
                                       std::vector<NearestNeighbour>& scratch) const {
  if (size_ == 0 || n == 0) throw InternalFailure(Failure::kNoNeighbours);
  if (n <= kShortList && distances_finite(query)) return short_nth_distance(query, n);
  const std::size_t m = std::min(n, size_);
  if (scratch.size() < m) scratch.resize(m);
  fill_heap(query, m, scratch.data());
  // The heap's top is the entry that its sort would put last.
  return scratch[0].distance;
}

template <std::size_t K>
bool KdTree<K>::distances_finite(const Point& query) const {
  if (!finite_) return false;
  for (std::size_t a = 0; a < K; ++a) {
    if (!std::isfinite(query[a] - lo_[0][a]) || !std::isfinite(hi_[0][a] - query[a])) return false;
  }
  return true;
}

// With every distance finite, the Chebyshev fold is a plain maximum and +inf can stand for "fewer than n
// found yet". The n best distances are kept sorted in a short array; nodes are visited nearest box first,
// and a node is skipped once its box lies no nearer than the n-th distance, as none of its points could
// then enter the list (the entry rule is strict).
namespace kdtree_detail {

// The kCapacity smallest distances offered so far, in ascending order, for a query that wants the n-th
// smallest (n <= kCapacity). The capacity is fixed at compile time, and the loops over it are unrolled, so
// that the list lives in registers; with kExact the capacity is n itself and the n-th slot is known at
// compile time as well.
template <std::size_t K, std::size_t kCapacity, bool kExact = false>
struct ShortList {
  // Slots not yet filled hold +inf.
  double best[kCapacity];
  std::size_t n;
  double top = std::numeric_limits<double>::infinity();  // the n-th smallest so far

  ShortList() = default;
  explicit ShortList(std::size_t count) : n(kExact ? kCapacity : count) {
#pragma GCC unroll 32
    for (double& b : best) b = std::numeric_limits<double>::infinity();
  }

  double nth() const { return kExact ? best[kCapacity - 1] : best[n - 1]; }

  // Puts d in its place and drops the largest entry: d is carried up the list, each slot keeping the
  // smaller of itself and the carried value, which needs no branch on the data.
  void insert(double d) {
    double carried = d;
#pragma GCC unroll 32
    for (std::size_t j = 0; j < kCapacity; ++j) {
      const double slot = best[j];
      best[j] = std::min(slot, carried);
      carried = std::max(slot, carried);
    }
    top = nth();
  }

  // Offers the points of one leaf (at most 32), given as one run of coordinates per axis. The distances
  // are formed first, in loops without branches on the data. In the query's own leaf most points enter
  // the list, so each is inserted without a test; elsewhere few do, and the test spares the work.
  void scan(const std::array<const double*, K>& axes, std::size_t count, const std::array<double, K>& q,
            bool own_leaf = false) {
    double d[32];
    for (std::size_t i = 0; i < count; ++i) d[i] = std::fabs(axes[0][i] - q[0]);
    for (std::size_t a = 1; a < K; ++a) {
      for (std::size_t i = 0; i < count; ++i) {
        const double t = std::fabs(axes[a][i] - q[a]);
        d[i] = t > d[i] ? t : d[i];
      }
    }
    if (own_leaf) {
      for (std::size_t i = 0; i < count; ++i) insert(d[i]);
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (d[i] < top) insert(d[i]);
    }
  }
};

// Calls f with an empty ShortList of the smallest capacity that holds n (n <= 32) and returns its result;
// the small counts of typical use get a list of exactly their size.
template <std::size_t K, class F>
double with_short_list(std::size_t n, const F& f) {
  const auto exact = [&](auto capacity) {
    ShortList<K, decltype(capacity)::value, true> list(n);
    return f(list);
  };
  switch (n) {
    case 1:
      return exact(std::integral_constant<std::size_t, 1>{});
    case 2:
      return exact(std::integral_constant<std::size_t, 2>{});
    case 3:
      return exact(std::integral_constant<std::size_t, 3>{});
    case 4:
      return exact(std::integral_constant<std::size_t, 4>{});
    case 5:
      return exact(std::integral_constant<std::size_t, 5>{});
    case 6:
      return exact(std::integral_constant<std::size_t, 6>{});
    case 7:
      return exact(std::integral_constant<std::size_t, 7>{});
    case 8:
      return exact(std::integral_constant<std::size_t, 8>{});
    default:
      break;
  }
  if (n <= 16) {
    ShortList<K, 16> list(n);
    return f(list);
  }
  ShortList<K, 32> list(n);
  return f(list);
}

}  // namespace kdtree_detail

template <std::size_t K>
template <class List>
void KdTree<K>::short_walk(std::size_t node, std::size_t b, std::size_t e, double gap, const Point& query,
                           List& list) const {
  struct Pending {
    std::size_t node, b, e;
    double gap;
  };
  // At most one pending sibling per level of the tree.
  Pending stack[64];
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

template <std::size_t K>
double KdTree<K>::short_nth_distance(const Point& query, std::size_t n) const {
  if (size_ == 0 || n == 0) throw InternalFailure(Failure::kNoNeighbours);
  if (n > kShortList || !distances_finite(query)) {
    std::vector<NearestNeighbour> scratch;
    return nth_nearest_distance(query, n, scratch);
  }
  return kdtree_detail::with_short_list<K>(std::min(n, size_), [&](auto& list) {
    short_walk(0, 0, size_, 0.0, query, list);
    return list.nth();
  });
}

template <std::size_t K>
double KdTree<K>::stored_nth_distance(std::size_t position, std::size_t n) const {
  if (size_ == 0 || n == 0) throw InternalFailure(Failure::kNoNeighbours);
  const Point query = point_at(position);
  if (n > kShortList || !finite_) return short_nth_distance(query, n);
  // The path from the root to the leaf that holds the position, with each node's range.
  struct Step {
    std::size_t node, b, e;
  };
  Step path[64];
  std::size_t depth = 0;
  path[0] = {0, 0, size_};
  while (path[depth].node < inner_count_) {
    const Step& at = path[depth];
    const std::size_t m = at.b + (at.e - at.b) / 2;
    path[depth + 1] = position < m ? Step{2 * at.node + 1, at.b, m} : Step{2 * at.node + 2, m, at.e};
    ++depth;
  }
  return kdtree_detail::with_short_list<K>(std::min(n, size_), [&](auto& list) {
    list.scan(axes_from(path[depth].b), path[depth].e - path[depth].b, query, true);
    // Every other point lies under the sibling of exactly one node on the path.
    for (std::size_t d = depth; d > 0; --d) {
      const Step& child = path[d];
      const Step& parent = path[d - 1];
      const bool child_is_left = child.node == 2 * parent.node + 1;
      const std::size_t sibling = child_is_left ? child.node + 1 : child.node - 1;
      const std::size_t b = child_is_left ? child.e : parent.b;
      const std::size_t e = child_is_left ? parent.e : child.b;
      const double gap = box_gap(sibling, query);
      if (gap < list.top) short_walk(sibling, b, e, gap, query, list);
    }
    return list.nth();
  });
}

template <std::size_t K>
template <class Found>
void KdTree<K>::stored_nth_distances(std::size_t first_leaf, std::size_t last_leaf, std::size_t n,
                                     const Found& found) const {
  if (size_ == 0 || n == 0) throw InternalFailure(Failure::kNoNeighbours);
  if (n > kShortList || !finite_) {
    for (std::size_t leaf = first_leaf; leaf < last_leaf; ++leaf) {
      const auto [b, e] = range_of(inner_count_ + leaf);
      for (std::size_t i = b; i < e; ++i) found(i, stored_nth_distance(i, n));
    }
    return;
  }
  kdtree_detail::with_short_list<K>(std::min(n, size_), [&](const auto& empty) {
    using List = std::decay_t<decltype(empty)>;
    struct Pending {
      std::size_t node, b, e;
    };
    Pending stack[64];
    for (std::size_t leaf = first_leaf; leaf < last_leaf; ++leaf) {
      const std::size_t own = inner_count_ + leaf;
      const auto [own_b, own_e] = range_of(own);
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

template <std::size_t K>
std::vector<NearestNeighbour> KdTree<K>::within_unsorted(const Point& query, double radius) const {
  std::vector<NearestNeighbour> out;
  if (size_ != 0) within_walk(0, 0, size_, 0.0, query, radius, out);
  return out;
}

template <std::size_t K>
std::size_t KdTree<K>::count_within(const Point& query, double radius) const {
  return size_ == 0 ? 0 : count_walk(0, 0, size_, 0.0, query, radius);
}

}  // namespace quorlix
