// The two lists that collect the nearest distances during a k-nearest walk: a heap of distances for any
// data and any count, and a short sorted list of distances for finite data and small counts.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <utility>

#include "kdtree/chebyshev.hpp"
#include "kdtree/kdtree.hpp"

namespace quorlix {

namespace kdtree_detail {

// The largest count a ShortList serves; larger counts take the heap.
inline constexpr std::size_t kShortListCapacity = 32;

// A max-heap of at most cap distances (the largest on top) over caller-provided storage.
struct NeighbourHeap {
  double* data;
  std::size_t size;
  std::size_t cap;

  bool full() const { return size == cap; }
  double top() const { return data[0]; }

  void push(double x) {
    std::size_t i = size++;
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!chebyshev::ranks_before(data[parent], x)) break;
      data[i] = data[parent];
      i = parent;
    }
    data[i] = x;
  }

  // Puts x at the top in place of the largest distance and moves it down to its place.
  void replace_top(double x) {
    std::size_t i = 0;
    for (;;) {
      std::size_t c = 2 * i + 1;
      if (c >= size) break;
      if (c + 1 < size && chebyshev::ranks_before(data[c], data[c + 1])) ++c;
      if (!chebyshev::ranks_before(x, data[c])) break;
      data[i] = data[c];
      i = c;
    }
    data[i] = x;
  }
};

// The kCapacity smallest distances offered so far, in ascending order, for a query that wants the rank-th
// smallest (rank <= kCapacity). Only for queries whose every distance is finite: +inf then stands for "not
// found yet", and the distances fold with chebyshev::fold_finite. The capacity is fixed at compile time, and
// the loops over it are unrolled, so that the list lives in registers; with kExact the capacity is rank
// itself and the rank-th slot is known at compile time as well.
template <std::size_t K, std::size_t kCapacity, bool kExact = false>
struct ShortList {
  static_assert(kCapacity <= kShortListCapacity);

  // Slots not yet filled hold +inf.
  double best[kCapacity];
  std::size_t rank;
  double top = std::numeric_limits<double>::infinity();  // the rank-th smallest so far

  ShortList() = default;
  explicit ShortList(std::size_t count) : rank(kExact ? kCapacity : count) {
#pragma GCC unroll 32
    for (double& b : best) b = std::numeric_limits<double>::infinity();
  }

  double nth() const { return kExact ? best[kCapacity - 1] : best[rank - 1]; }

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

  // Offers the points of one leaf (at most KdTree<K>::kBucketSize), given as one run of coordinates per axis.
  // The distances are formed first, in loops without branches on the data. In the query's own leaf most
  // points enter the list, so each is inserted without a test; elsewhere few do, and the test spares work.
  void scan(const std::array<const double*, K>& axes, std::size_t points, const std::array<double, K>& q,
            bool own_leaf = false) {
    double d[KdTree<K>::kBucketSize];
    for (std::size_t i = 0; i < points; ++i) d[i] = chebyshev::term(axes[0][i], q[0]);
    for (std::size_t a = 1; a < K; ++a) {
      for (std::size_t i = 0; i < points; ++i)
        d[i] = chebyshev::fold_finite(d[i], chebyshev::term(axes[a][i], q[a]));
    }
    if (own_leaf) {
      for (std::size_t i = 0; i < points; ++i) insert(d[i]);
      return;
    }
    for (std::size_t i = 0; i < points; ++i) {
      if (d[i] < top) insert(d[i]);
    }
  }
};

// Calls f with an empty ShortList of the smallest capacity that holds count (1 .. kShortListCapacity) and
// returns its result; the small counts of typical use, up to 8, get a list of exactly their size.
template <std::size_t K, class F>
double with_short_list(std::size_t count, const F& f) {
  const auto with = [&](auto list) { return f(list); };
  double result = 0.0;
  const bool exact = [&]<std::size_t... kSizes>(std::index_sequence<kSizes...>) {
    return ((count == kSizes + 1 && (result = with(ShortList<K, kSizes + 1, true>(count)), true)) || ...);
  }(std::make_index_sequence<8>{});
  if (exact) return result;
  return count <= 16 ? with(ShortList<K, 16>(count)) : with(ShortList<K, kShortListCapacity>(count));
}

}  // namespace kdtree_detail
}  // namespace quorlix
