// Counting true values in two byte arrays, the inner loop of the phi coefficient.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorlix::stats {

struct CellCounts {
  std::uint64_t x = 0;     // elements with x true
  std::uint64_t y = 0;     // elements with y true
  std::uint64_t both = 0;  // elements with both true
};

// Counts over x[0 .. n) and y[0 .. n), a byte being true when non-zero.
CellCounts count_true(const unsigned char* x, const unsigned char* y, std::size_t n);

}  // namespace quorlix::stats
