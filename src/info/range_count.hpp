// Counting points inside axis-parallel rectangles of rank space, for many rectangles at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorlix::info {

// A half-open rectangle of positions: a_lo <= a < a_hi and b_lo <= b < b_hi.
struct RankRectangle {
  std::uint32_t a_lo, a_hi, b_lo, b_hi;
};

// Point j sits at a-position j and at b-position b_at_a[j]; the b-positions are distinct and below
// b_at_a.size(). Entry q of the result is the number of points inside rectangles[q]. Every bound must lie in
// [0, b_at_a.size()], with lo <= hi.
//
// The points are swept in a-order into a counting structure over b: the count for a rectangle is the number
// of points in its b-range taken when the sweep reaches a_hi, minus the number taken when it reaches a_lo.
// Rectangles should come roughly in order of a_lo, so that their bookkeeping is read and written nearly
// sequentially.
std::vector<std::uint32_t> count_in_rectangles(std::span<const std::uint32_t> b_at_a,
                                               std::span<const RankRectangle> rectangles);

}  // namespace quorlix::info
