// Average ranks (ties share the mean of their positions) through the values' order keys.
#include "stats/ranks.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/errors.hpp"
#include "numeric/radix_sort.hpp"
#include "pool/pool.hpp"

namespace quorlix::stats {

numeric::WorkVector<std::uint64_t> order_keys(Sample v) {
  const std::size_t n = v.size();
  numeric::WorkVector<std::uint64_t> keys(n);
  bool has_nan = false;
  // A signed index lets the compiler step a pointer by the stride instead of multiplying on every access.
  pool::for_each_stretch(static_cast<std::ptrdiff_t>(n), [&](std::ptrdiff_t start, std::ptrdiff_t stop) {
    for (std::ptrdiff_t i = start; i < stop; ++i) {
      const double value = v[static_cast<std::size_t>(i)];
      has_nan |= std::isnan(value);
      keys[static_cast<std::size_t>(i)] = numeric::order_key(value);
    }
  });
  if (has_nan && n >= 2) throw InternalFailure(Failure::kNaN);
  return keys;
}

namespace {

template <class Index>
numeric::WorkVector<double> ranks_with(numeric::WorkVector<std::uint64_t>& keys) {
  const std::size_t n = keys.size();
  numeric::WorkVector<Index> order;
  numeric::sort_keys(keys, order);

  // Equal keys mean equal values (the two zeros share a key), so each run of equal keys is one tie group.
  numeric::WorkVector<double> result(n);
  std::size_t start = 0;
  while (start < n) {
    std::size_t end = start;
    while (end + 1 < n && keys[end + 1] == keys[start]) ++end;
    const double group_rank = static_cast<double>(start + end) * 0.5 + 1.0;
    for (std::size_t j = start; j <= end; ++j) result[order[j]] = group_rank;
    start = end + 1;
  }
  return result;
}

}  // namespace

numeric::WorkVector<double> ranks_of_keys(numeric::WorkVector<std::uint64_t>& keys) {
  if (keys.size() <= std::numeric_limits<std::uint32_t>::max()) return ranks_with<std::uint32_t>(keys);
  return ranks_with<std::size_t>(keys);
}

}  // namespace quorlix::stats
