// Stable radix sorting of doubles through order-preserving integer keys. None of these functions accepts
// NaN: callers scan for it first, since a NaN has no place in a numeric order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "numeric/work_memory.hpp"

namespace quorlix::numeric {

// An unsigned key whose integer order is the numeric order of non-NaN doubles. -0.0 gets the key of +0.0
// so that the two tie, as they do under ==; every other value keeps a key of its own.
inline std::uint64_t order_key(double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Sorts keys ascending in place, equal keys keeping their relative order, and sets order[i] to the original
// position of the key that ends at position i. The 32-bit form needs keys.size() <= 2^32 - 1.
void sort_keys(WorkVector<std::uint64_t>& keys, WorkVector<std::uint32_t>& order);
void sort_keys(WorkVector<std::uint64_t>& keys, WorkVector<std::size_t>& order);

// Ascending numeric order. -0.0 and +0.0 compare equal and keep their relative order, so the result is
// bit-identical to a stable comparison sort.
void sort_ascending(std::vector<double>& values);

// The values in ascending order, bit-identical to sort_ascending, and the stable permutation that orders
// them: sorted[p] = values[order[p]]. Needs values.size() <= 2^32 - 1.
void sort_with_order(std::span<const double> values, std::vector<double>& sorted,
                     std::vector<std::uint32_t>& order);

}  // namespace quorlix::numeric
