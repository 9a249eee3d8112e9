// Stable radix sort of 64-bit keys, optionally carrying a permutation along.
//
// Large inputs first take one pass on the top 16 bits, which spreads the keys over buckets small enough to
// stay in cache; each bucket is then sorted least significant digit first on the remaining 48 bits. Every
// pass is a stable counting sort, so equal keys keep their input order throughout.
#include "numeric/radix_sort.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

namespace quorlix::numeric {
namespace {

constexpr int kTopBits = 16;
constexpr int kLowBits = 64 - kTopBits;
constexpr std::size_t kTopBuckets = std::size_t{1} << kTopBits;
constexpr int kDigitBits = 8;
constexpr std::size_t kDigitBuckets = std::size_t{1} << kDigitBits;
constexpr std::uint64_t kDigitMask = kDigitBuckets - 1;
// Below this size the top-digit histogram costs more than it saves.
constexpr std::size_t kBucketingThreshold = kTopBuckets;
constexpr std::size_t kInsertionThreshold = 32;

// Keys and, when order is not null, the permutation travelling with them.
template <class Index>
struct Entries {
  std::uint64_t* keys;
  Index* order;

  Entries at(std::size_t offset) const { return {keys + offset, order ? order + offset : nullptr}; }
};

template <class Index>
void insertion_sort(Entries<Index> e, std::size_t m) {
  std::uint64_t* keys = e.keys;
  for (std::size_t i = 1; i < m; ++i) {
    const std::uint64_t key = keys[i];
    // Strictly greater: an equal key already in place stays ahead of the one being inserted.
    if (keys[i - 1] <= key) continue;
    std::size_t j = i;
    if (e.order) {
      const Index index = e.order[i];
      for (; j > 0 && keys[j - 1] > key; --j) {
        keys[j] = keys[j - 1];
        e.order[j] = e.order[j - 1];
      }
      e.order[j] = index;
    } else {
      for (; j > 0 && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
    }
    keys[j] = key;
  }
}

// Stable scatter of m entries from src to dst; next[d] is the first free position of digit d.
template <class Index, class DigitOf>
void scatter(Entries<Index> src, Entries<Index> dst, std::size_t m, std::size_t* next, DigitOf digit_of) {
  if (src.order) {
    for (std::size_t i = 0; i < m; ++i) {
      const std::size_t at = next[digit_of(src.keys[i])]++;
      dst.keys[at] = src.keys[i];
      dst.order[at] = src.order[i];
    }
  } else {
    for (std::size_t i = 0; i < m; ++i) dst.keys[next[digit_of(src.keys[i])]++] = src.keys[i];
  }
}

// Sorts m entries by their low `bits` bits, using scratch (m entries) as the other side of each pass; the
// result ends in data. Passes whose digit is the same for every key are skipped.
template <class Index>
void lsd_sort(Entries<Index> data, Entries<Index> scratch, std::size_t m, int bits) {
  if (m < 2) return;
  if (m <= kInsertionThreshold) {
    insertion_sort(data, m);
    return;
  }
  constexpr int kMaxDigits = (64 + kDigitBits - 1) / kDigitBits;
  const int digits = (bits + kDigitBits - 1) / kDigitBits;
  std::array<std::array<std::size_t, kDigitBuckets>, kMaxDigits> offsets;
  for (int d = 0; d < digits; ++d) offsets[d].fill(0);
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint64_t key = data.keys[i];
    for (int d = 0; d < digits; ++d) ++offsets[d][(key >> (d * kDigitBits)) & kDigitMask];
  }
  Entries<Index> src = data;
  Entries<Index> dst = scratch;
  for (int d = 0; d < digits; ++d) {
    const int shift = d * kDigitBits;
    std::array<std::size_t, kDigitBuckets>& next = offsets[d];
    if (next[(src.keys[0] >> shift) & kDigitMask] == m) continue;
    std::size_t total = 0;
    for (std::size_t& o : next) total += std::exchange(o, total);
    scatter(src, dst, m, next.data(), [shift](std::uint64_t key) { return (key >> shift) & kDigitMask; });
    std::swap(src, dst);
  }
  if (src.keys != data.keys) {
    std::memcpy(data.keys, src.keys, m * sizeof(std::uint64_t));
    if (data.order) std::memcpy(data.order, src.order, m * sizeof(Index));
  }
}

// Sorts keys in place; when order is not null it receives the permutation applied (the original position of
// each sorted key).
template <class Index>
void radix_sort(std::vector<std::uint64_t>& keys, std::vector<Index>* order) {
  const std::size_t n = keys.size();
  if (n < kBucketingThreshold) {
    if (order) {
      order->resize(n);
      for (std::size_t i = 0; i < n; ++i) (*order)[i] = static_cast<Index>(i);
    }
    const Entries<Index> data{keys.data(), order ? order->data() : nullptr};
    if (n <= kInsertionThreshold) {
      insertion_sort(data, n);
      return;
    }
    std::vector<std::uint64_t> key_scratch(n);
    std::vector<Index> order_scratch(order ? n : 0);
    lsd_sort(data, {key_scratch.data(), order ? order_scratch.data() : nullptr}, n, 64);
    return;
  }

  // starts[b + 1] counts bucket b; after the prefix sum starts[b] is where bucket b begins.
  std::vector<std::size_t> starts(kTopBuckets + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++starts[(keys[i] >> kLowBits) + 1];
  for (std::size_t b = 1; b <= kTopBuckets; ++b) starts[b] += starts[b - 1];
  std::size_t largest = 0;
  for (std::size_t b = 0; b < kTopBuckets; ++b) largest = std::max(largest, starts[b + 1] - starts[b]);

  // The first scatter reads the keys in index order, so the order it writes is just the index.
  std::vector<std::uint64_t> sorted_keys(n);
  if (order) order->resize(n);
  const Entries<Index> sorted{sorted_keys.data(), order ? order->data() : nullptr};
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  if (order) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t at = next[keys[i] >> kLowBits]++;
      sorted.keys[at] = keys[i];
      sorted.order[at] = static_cast<Index>(i);
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) sorted.keys[next[keys[i] >> kLowBits]++] = keys[i];
  }
  keys.swap(sorted_keys);
  sorted_keys = std::vector<std::uint64_t>();

  // Each bucket fits a scratch the size of the largest one, which stays in cache for typical data.
  std::vector<std::uint64_t> key_scratch(largest);
  std::vector<Index> order_scratch(order ? largest : 0);
  const Entries<Index> scratch{key_scratch.data(), order ? order_scratch.data() : nullptr};
  for (std::size_t b = 0; b < kTopBuckets; ++b) {
    lsd_sort(sorted.at(starts[b]), scratch, starts[b + 1] - starts[b], kLowBits);
  }
}

double from_key(std::uint64_t key) {
  const std::uint64_t sign = std::uint64_t{1} << 63;
  return std::bit_cast<double>((key & sign) != 0 ? key & ~sign : ~key);
}

}  // namespace

void sort_keys(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& order) {
  radix_sort(keys, &order);
}

void sort_keys(std::vector<std::uint64_t>& keys, std::vector<std::size_t>& order) {
  radix_sort(keys, &order);
}

void sort_ascending(std::vector<double>& values) {
  const std::size_t n = values.size();
  if (n < 2) return;
  std::vector<std::uint64_t> keys(n);
  bool has_negative_zero = false;
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = order_key(values[i]);
    has_negative_zero |= values[i] == 0.0 && std::signbit(values[i]);
  }
  // The keys merge the two zeros, so their original signs, in index order, are put back afterwards: a stable
  // sort leaves the zeros in exactly that order.
  std::vector<double> zeros;
  if (has_negative_zero) {
    for (const double v : values) {
      if (v == 0.0) zeros.push_back(v);
    }
  }
  radix_sort<std::uint32_t>(keys, nullptr);
  for (std::size_t i = 0; i < n; ++i) values[i] = from_key(keys[i]);
  if (!zeros.empty()) {
    const auto first_zero = std::lower_bound(values.begin(), values.end(), 0.0);
    std::copy(zeros.begin(), zeros.end(), first_zero);
  }
}

std::vector<std::size_t> stable_sort_order(std::span<const double> values) {
  const std::size_t n = values.size();
  std::vector<std::uint64_t> keys(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = order_key(values[i]);
  std::vector<std::size_t> order;
  radix_sort(keys, &order);
  return order;
}

}  // namespace quorlix::numeric
