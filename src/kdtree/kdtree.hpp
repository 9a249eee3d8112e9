// Bucketed k-d tree over points of dimension 1, 2 or 3 with Chebyshev-distance queries. The build lives in
// build.cpp, the k-nearest queries in nearest.cpp and the range count in count.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

#include "core/buffer.hpp"
#include "kdtree/chebyshev.hpp"

namespace quorlix {

// Runs task(0), ..., task(count - 1), possibly several at the same time, and returns once all have finished.
// Lets the tree build independent subtrees in parallel without depending on a particular thread pool.
using KdTreeTasks = std::function<void(std::size_t count, std::size_t points_per_task,
                                       const std::function<void(std::size_t)>& task)>;

// A borrowed callable taking (position, distance). It is passed without a template so that the batch query
// can live in a compiled file; its one indirect call per point is small beside the query itself.
class DistanceSink {
 public:
  // Implicit, so that a lambda can be passed where a DistanceSink is expected; f must outlive the sink.
  template <class F>
  DistanceSink(const F& f)
      : object_(&f), call_([](const void* object, std::size_t position, double distance) {
          (*static_cast<const F*>(object))(position, distance);
        }) {}

  void operator()(std::size_t position, double distance) const { call_(object_, position, distance); }

 private:
  const void* object_;
  void (*call_)(const void*, std::size_t, double);
};

template <std::size_t K>
class KdTree {
 public:
  static_assert(K >= 1 && K <= 3, "KdTree supports dimensions 1, 2 and 3");
  // The most points a leaf holds; the leaf scans and the leaf batches size their arrays by it.
  static constexpr std::size_t kBucketSize = 32;
  // No tree is deeper than this, as a leaf holds at least one point; a walk keeps one pending node per level.
  static constexpr std::size_t kMaxDepth = 36;
  static constexpr std::size_t kMaxPoints = std::size_t{1} << kMaxDepth;
  using Point = std::array<double, K>;

  // Builds a balanced tree over the n points (coords[0][i], ..., coords[K-1][i]), point i carrying
  // item id i. Any number of identical coordinates or points is accepted. Throws InternalFailure
  // when n exceeds 2^36. With tasks, large trees build their lower levels as independent tasks; the
  // tree is the same either way. Leaves hold at most bucket_size points (clamped to 1 .. kBucketSize);
  // smaller leaves make k-nearest queries with small k scan fewer points.
  KdTree(const std::array<const double*, K>& coords, std::size_t n, const KdTreeTasks& tasks = {},
         std::size_t bucket_size = kBucketSize);

  std::size_t size() const { return size_; }

  // The largest distance from query among its count nearest stored points (all of them when count > size()),
  // ordering NaN after every number. count == 0, or an empty tree, throws InternalFailure kNoNeighbours.
  double nth_nearest_distance(const Point& query, std::size_t count) const;

  // The number of leaves; leaf l (0 <= l < leaf_count()) holds a run of consecutive leaf positions, and
  // the runs of leaves 0, 1, ... follow each other from position 0.
  std::size_t leaf_count() const { return inner_count_ + 1; }

  // nth_nearest_distance(point_at(position), count) for every position of the leaves [first_leaf,
  // last_leaf): calls found(position, distance) once per position, in order. Same failures as
  // nth_nearest_distance.
  void stored_nth_distances(std::size_t first_leaf, std::size_t last_leaf, std::size_t count,
                            DistanceSink found) const;

  // The number of stored points whose distance from query is strictly less than radius; 0 for a NaN radius.
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
  struct Subtree {
    std::size_t node, b, e;
  };

  // The tree is complete and stored in heap order: node i has children 2i + 1 and 2i + 2, nodes
  // below inner_count_ are inner nodes and the rest are leaves. Splitting a range [b, e) at
  // m = b + (e - b) / 2 leaves every node of one depth with floor or ceil of n / 2^depth points, so
  // all leaves can sit at one depth with between half the bucket size and the bucket size each, and a
  // node's range follows from its parent's by the same halving instead of being stored. The left child
  // holds coordinates <= the median on the split axis and the right child the rest, NaN last.

  // build.cpp. Sets the box of node over entries [b, e) and, for an inner node, partitions the range at
  // its midpoint on the split axis and records the axis.
  template <bool kHasNaN>
  void split_node(Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e);
  // Builds the subtree of node over entries [b, e).
  template <bool kHasNaN>
  void build(Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e);
  // Builds the whole tree, the lower levels as tasks when there are tasks to run them.
  template <bool kHasNaN>
  void build_all(Buffer<Entry>& entries, const KdTreeTasks& tasks);
  // Copies entries [b, e) to the leaf positions b .. e - 1.
  void store(const Buffer<Entry>& entries, std::size_t b, std::size_t e);
  template <bool kHasNaN>
  void set_box(const Buffer<Entry>& entries, std::size_t node, std::size_t b, std::size_t e);
  // The axis of the box's widest spread, the first such axis on ties.
  std::size_t split_axis(std::size_t node) const;

  // The walk every query takes, for a point (lo = hi) or a box [lo, hi], over an explicit stack from the
  // root down. A node is entered only while visit.reaches(its gap), a lower bound on the distance to its
  // points, and is not visit.whole, which may take a node at once; the nearer child is taken first, so that
  // the result tightens early, and the other is kept unless already out of reach. A leaf goes to
  // visit.leaf(node, b, e). A child's gap is its parent's, the far child's raised by its face on the split
  // axis; the full box gap, an axis loop, is formed only for a node taken back from the stack. A NaN term
  // bounds nothing, so the walk stays exact with NaN and infinite coordinates.
  template <class Visit>
  void walk(Visit& visit, const Point& lo, const Point& hi) const {
    struct Pending {
      std::size_t node, b, e;
      double gap;
    };
    // At most one pending sibling per level of the tree.
    Pending stack[kMaxDepth];
    std::size_t pending = 0;
    // Read once: the visitors' stores could alias it.
    const std::size_t inner_count = inner_count_;
    std::size_t node = 0;
    std::size_t b = 0;
    std::size_t e = size_;
    double gap = 0.0;
    for (;;) {
      while (visit.reaches(gap) && !visit.whole(node, b, e)) {
        if (node >= inner_count) {
          visit.leaf(node, b, e);
          break;
        }
        const std::size_t m = b + (e - b) / 2;
        const std::size_t left = 2 * node + 1;
        const std::size_t a = axis_of(node);
        const double above = lo[a] - hi_[left][a];
        const double below = lo_[left + 1][a] - hi[a];
        const double gap_left = above > gap ? above : gap;
        const double gap_right = below > gap ? below : gap;
        if (gap_left <= gap_right) {
          if (visit.reaches(gap_right)) stack[pending++] = {left + 1, m, e, gap_right};
          node = left;
          e = m;
          gap = gap_left;
        } else {
          if (visit.reaches(gap_left)) stack[pending++] = {left, b, m, gap_left};
          node = left + 1;
          b = m;
          gap = gap_right;
        }
      }
      if (pending == 0) return;
      const Pending& next = stack[--pending];
      node = next.node;
      b = next.b;
      e = next.e;
      gap = next.gap;
      // In one dimension the face on the split axis is already the node's box gap, or a lower bound of it for
      // a query outside the root box or NaN; only more axes need the full gap.
      if constexpr (K > 1) {
        if (visit.reaches(gap)) gap = chebyshev::box_box_gap(lo_[node], hi_[node], lo, hi);
      }
    }
  }

  // The results a walk collects (nearest.cpp, count.cpp).
  struct HeapNearest;
  template <class List>
  struct ShortNearest;
  template <class List>
  struct LeafBatch;
  struct CountWithin;

  // nearest.cpp. The count-th distance (count <= size_) from a heap over storage of count distances: any
  // data, infinite coordinates and overflowing distances included.
  double heap_nth_distance(const Point& query, std::size_t count, double* storage) const;
  // Whether the short lists serve the count nearest of query: count is within their capacity, and every
  // distance from query to a stored point and to every node's box is finite, as the short lists need.
  bool short_list_serves(std::size_t count, const Point& query) const;

  double distance_at(std::size_t pos, const Point& query) const {
    return chebyshev::distance(point_at(pos), query);
  }

  // Where the coordinates of leaf positions b and on start, one run per axis.
  std::array<const double*, K> axes_from(std::size_t b) const {
    std::array<const double*, K> axes;
    for (std::size_t a = 0; a < K; ++a) axes[a] = coords_.data() + a * size_ + b;
    return axes;
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

  std::size_t size_ = 0;
  std::size_t depth_ = 0;        // split levels above the leaves; every leaf sits at this depth
  std::size_t inner_count_ = 0;  // 2^depth_ - 1
  Buffer<double> coords_;        // axis-major: axis a of the point at leaf position i is a * size_ + i
  Buffer<std::uint64_t> items_;  // item id of each stored point, in leaf order
  Buffer<std::uint8_t> axis_;    // per inner node: its split axis (not stored for K == 1)
  Buffer<Point> lo_;             // per node: bounding box of its points (NaN if any is NaN)
  Buffer<Point> hi_;
  bool finite_ = false;  // the root box spans a finite range on every axis, so no distance is infinite
};

}  // namespace quorlix
