// Partitioning and selection of the nth element, used to split the tree's nodes at their median.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/stop.hpp"

namespace quorlix::kdtree_detail {

// Moves the elements of [first, last) for which goes_left holds in front of the others and returns
// the boundary. Misplaced elements are located a block at a time without branching on the data and
// only those are swapped, which avoids the mispredicted branches of a plain partition on random
// input.
template <class T, class Pred>
T* block_partition(T* first, T* last, Pred goes_left) {
  constexpr std::ptrdiff_t kBlock = 64;
  // Offsets within a block are stored in bytes.
  static_assert(kBlock <= 256);
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

}  // namespace quorlix::kdtree_detail
