// Stable radix sort of 64-bit keys, optionally carrying a permutation along.
//
// Most significant digit first: a pass distributes the keys by the highest bits in which they differ, and
// each bucket is sorted the same way on the bits below until it is short enough for insertion sort. Digits
// start at the highest differing bit of the keys actually present, so values that share their sign and
// exponent spread as well as any others, and a bucket of equal keys costs one pass. Large inputs take a
// first pass on 16 bits, which leaves buckets small enough to finish in cache. Every pass is a stable
// counting sort, so equal keys keep their input order throughout.
#include "numeric/radix_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "core/stop.hpp"

namespace quorlix::numeric {
namespace {

constexpr int kTopBits = 16;
// A first pass that would scatter into more buckets than this takes fewer bits: writes spread over too many
// places at once miss the cache.
constexpr std::size_t kMaxTopBucketsInUse = std::size_t{1} << 12;
constexpr std::size_t kTopBuckets = std::size_t{1} << kTopBits;
constexpr int kDigitBits = 11;
constexpr std::size_t kDigitBuckets = std::size_t{1} << kDigitBits;
// Below this size the 16-bit histogram costs more than it saves.
constexpr std::size_t kBucketingThreshold = kTopBuckets;
constexpr std::size_t kInsertionThreshold = 32;
// Ranges at least this long look for a request to stop before they are sorted.
constexpr std::size_t kStopStride = std::size_t{1} << 16;

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

// The number of low bits below and including the highest bit in which two of the keys differ; 0 when all
// keys are equal.
int differing_bits(const std::uint64_t* keys, std::size_t m) {
  std::uint64_t any = 0;
  std::uint64_t all = ~std::uint64_t{0};
  for (std::size_t i = 0; i < m; ++i) {
    any |= keys[i];
    all &= keys[i];
  }
  return 64 - std::countl_zero(any ^ all);
}

// Stable scatter of m entries from src to dst; next[d] is the first free position of digit d.
template <class Index>
void scatter(Entries<Index> src, Entries<Index> dst, std::size_t m, std::size_t* next, int shift,
             std::uint64_t mask) {
  if (src.order) {
    for (std::size_t i = 0; i < m; ++i) {
      const std::size_t at = next[(src.keys[i] >> shift) & mask]++;
      dst.keys[at] = src.keys[i];
      dst.order[at] = src.order[i];
    }
  } else {
    for (std::size_t i = 0; i < m; ++i) dst.keys[next[(src.keys[i] >> shift) & mask]++] = src.keys[i];
  }
}

// Sorts the m entries of data in place; scratch has room for m entries.
template <class Index>
void msd_sort(Entries<Index> data, Entries<Index> scratch, std::size_t m) {
  if (m >= kStopStride) stop_point();
  if (m <= kInsertionThreshold) {
    insertion_sort(data, m);
    return;
  }
  const int bits = differing_bits(data.keys, m);
  if (bits == 0) return;
  // About four keys per bucket: wider digits would mostly add empty buckets to walk through.
  const int wanted_bits = std::clamp(static_cast<int>(std::bit_width(m)) - 2, 4, kDigitBits);
  const int digit_bits = std::min(bits, wanted_bits);
  const int shift = bits - digit_bits;
  const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
  std::array<std::size_t, kDigitBuckets + 1> starts;
  std::fill(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(mask + 2), 0);
  for (std::size_t i = 0; i < m; ++i) ++starts[((data.keys[i] >> shift) & mask) + 1];
  for (std::size_t d = 1; d <= mask + 1; ++d) starts[d] += starts[d - 1];
  std::array<std::size_t, kDigitBuckets> next;
  std::copy(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(mask + 1), next.begin());
  scatter(data, scratch, m, next.data(), shift, mask);
  std::memcpy(data.keys, scratch.keys, m * sizeof(std::uint64_t));
  if (data.order) std::memcpy(data.order, scratch.order, m * sizeof(Index));
  std::size_t largest = 0;
  for (std::size_t d = 0; d <= mask; ++d) largest = std::max(largest, starts[d + 1] - starts[d]);
  // When every bucket holds a handful of keys, one insertion sort over the whole range finishes them all:
  // no key has to move past a key of another bucket, and a call per bucket would cost more.
  if (largest <= kInsertionThreshold) {
    insertion_sort(data, m);
    return;
  }
  for (std::size_t d = 0; d <= mask; ++d) {
    const std::size_t size = starts[d + 1] - starts[d];
    if (size > kInsertionThreshold) {
      msd_sort(data.at(starts[d]), scratch, size);
    } else if (size > 1) {
      insertion_sort(data.at(starts[d]), size);
    }
  }
}

// Sorts keys in place; when order is not null it receives the permutation applied (the original position of
// each sorted key).
template <class Keys, class Order>
void radix_sort(Keys& keys, Order* order) {
  using Index = typename Order::value_type;
  const std::size_t n = keys.size();
  if (order) {
    order->resize(n);
    if (n < kBucketingThreshold) {
      for (std::size_t i = 0; i < n; ++i) (*order)[i] = static_cast<Index>(i);
    }
  }
  if (n < kBucketingThreshold) {
    const Entries<Index> data{keys.data(), order ? order->data() : nullptr};
    if (n <= kInsertionThreshold) {
      insertion_sort(data, n);
      return;
    }
    std::vector<std::uint64_t> key_scratch(n);
    std::vector<Index> order_scratch(order ? n : 0);
    msd_sort(data, {key_scratch.data(), order ? order_scratch.data() : nullptr}, n);
    return;
  }

  const int bits = differing_bits(keys.data(), n);
  if (bits == 0) {
    for (std::size_t i = 0; order && i < n; ++i) (*order)[i] = static_cast<Index>(i);
    return;
  }
  int digit_bits = std::min(bits, kTopBits);
  int shift = bits - digit_bits;
  std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
  // starts[b + 1] counts bucket b; after the prefix sum starts[b] is where bucket b begins.
  std::vector<std::size_t> starts(kTopBuckets + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++starts[((keys[i] >> shift) & mask) + 1];
  const std::size_t in_use = static_cast<std::size_t>(
      std::count_if(starts.begin() + 1, starts.end(), [](std::size_t c) { return c != 0; }));
  if (in_use > kMaxTopBucketsInUse) {
    digit_bits = std::min(bits, kDigitBits);
    shift = bits - digit_bits;
    mask = (std::uint64_t{1} << digit_bits) - 1;
    std::fill(starts.begin(), starts.end(), 0);
    for (std::size_t i = 0; i < n; ++i) ++starts[((keys[i] >> shift) & mask) + 1];
  }
  stop_point();
  for (std::size_t b = 1; b <= kTopBuckets; ++b) starts[b] += starts[b - 1];
  std::size_t largest = 0;
  for (std::size_t b = 0; b < kTopBuckets; ++b) largest = std::max(largest, starts[b + 1] - starts[b]);

  // The first scatter reads the keys in index order, so the order it writes is just the index.
  Keys sorted_keys(n);
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  if (order) {
    Index* out = order->data();
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t at = next[(keys[i] >> shift) & mask]++;
      sorted_keys[at] = keys[i];
      out[at] = static_cast<Index>(i);
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) sorted_keys[next[(keys[i] >> shift) & mask]++] = keys[i];
  }
  keys.swap(sorted_keys);
  sorted_keys = Keys();
  stop_point();

  // Each bucket fits a scratch the size of the largest one, which stays in cache for typical data.
  std::vector<std::uint64_t> key_scratch(largest);
  std::vector<Index> order_scratch(order ? largest : 0);
  const Entries<Index> sorted{keys.data(), order ? order->data() : nullptr};
  const Entries<Index> scratch{key_scratch.data(), order ? order_scratch.data() : nullptr};
  for (std::size_t b = 0; b <= mask; ++b) {
    if (b % 256 == 255) stop_point();
    const std::size_t size = starts[b + 1] - starts[b];
    if (size > kInsertionThreshold) {
      msd_sort(sorted.at(starts[b]), scratch, size);
    } else if (size > 1) {
      insertion_sort(sorted.at(starts[b]), size);
    }
  }
}

double from_key(std::uint64_t key) {
  const std::uint64_t sign = std::uint64_t{1} << 63;
  return std::bit_cast<double>((key & sign) != 0 ? key & ~sign : ~key);
}

// Sets keys to the order keys of the values; returns whether any value is -0.0, whose key is that of +0.0.
bool fill_keys(std::span<const double> values, std::vector<std::uint64_t>& keys) {
  keys.resize(values.size());
  bool has_negative_zero = false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    keys[i] = order_key(values[i]);
    has_negative_zero |= values[i] == 0.0 && std::signbit(values[i]);
  }
  return has_negative_zero;
}

}  // namespace

void sort_keys(WorkVector<std::uint64_t>& keys, WorkVector<std::uint32_t>& order) {
  radix_sort(keys, &order);
}

void sort_keys(WorkVector<std::uint64_t>& keys, WorkVector<std::size_t>& order) { radix_sort(keys, &order); }

void sort_ascending(std::vector<double>& values) {
  const std::size_t n = values.size();
  if (n < 2) return;
  std::vector<std::uint64_t> keys;
  const bool has_negative_zero = fill_keys(values, keys);
  // The keys merge the two zeros, so their original signs, in index order, are put back afterwards: a stable
  // sort leaves the zeros in exactly that order.
  std::vector<double> zeros;
  if (has_negative_zero) {
    for (const double v : values) {
      if (v == 0.0) zeros.push_back(v);
    }
  }
  stop_point();
  radix_sort(keys, static_cast<std::vector<std::uint32_t>*>(nullptr));
  stop_point();
  for (std::size_t i = 0; i < n; ++i) values[i] = from_key(keys[i]);
  if (!zeros.empty()) {
    const auto first_zero = std::lower_bound(values.begin(), values.end(), 0.0);
    std::copy(zeros.begin(), zeros.end(), first_zero);
  }
}

void sort_with_order(std::span<const double> values, std::vector<double>& sorted,
                     std::vector<std::uint32_t>& order) {
  const std::size_t n = values.size();
  std::vector<std::uint64_t> keys;
  const bool has_negative_zero = fill_keys(values, keys);
  stop_point();
  radix_sort(keys, &order);
  stop_point();
  sorted.resize(n);
  for (std::size_t p = 0; p < n; ++p) sorted[p] = from_key(keys[p]);
  // The zeros share one key; their signs come from the values they stand for.
  if (has_negative_zero) {
    for (std::size_t p = 0; p < n; ++p) {
      if (sorted[p] == 0.0) sorted[p] = values[order[p]];
    }
  }
}

}  // namespace quorlix::numeric
