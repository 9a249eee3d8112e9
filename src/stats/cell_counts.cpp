// Built with -O3: the byte loop below is meant to become vector code, which -O2's cost model declines.
#include "stats/cell_counts.hpp"

#include <algorithm>

namespace quorlix::stats {

CellCounts count_true(const unsigned char* x, const unsigned char* y, std::size_t n) {
  // Byte-wide counters fill a whole vector register with lanes; a block of 255 elements cannot overflow
  // them, and each block's totals are then added into full-width counts. Integer counts are exact in any
  // order, so the compiler is free to split the loop into lanes.
  constexpr std::size_t kBlock = 255;
  CellCounts c;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t stop = std::min(n, start + kBlock);
    unsigned char in_x = 0;
    unsigned char in_y = 0;
    unsigned char in_both = 0;
    for (std::size_t i = start; i < stop; ++i) {
      const unsigned char a = x[i] != 0;
      const unsigned char b = y[i] != 0;
      in_x = static_cast<unsigned char>(in_x + a);
      in_y = static_cast<unsigned char>(in_y + b);
      in_both = static_cast<unsigned char>(in_both + (a & b));
    }
    c.x += in_x;
    c.y += in_y;
    c.both += in_both;
  }
  return c;
}

}  // namespace quorlix::stats
