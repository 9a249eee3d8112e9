// The fixed split that makes a long sum's bits independent of where its pieces are summed: the pieces may
// run on any thread, and the result is always formed with the same additions.
#pragma once

#include <cstddef>
#include <vector>

namespace quorlix::numeric {

// Leaf pieces of the fixed split have at most this many terms.
inline constexpr std::size_t kSumPieceLength = 2048;

// The sum of terms[0 .. n) under the fixed split: [0, n) is halved recursively (a range of length
// m > kSumPieceLength splits into [0, m/2) and [m/2, m)), so the split points depend only on n;
// each piece is summed in index order from -0.0, and two halves are added as left + right.
// An empty range sums to -0.0.
double fixed_split_sum(const double* terms, std::size_t n);

// The fixed split of [begin, end), each leaf piece's sum taken from leaf(begin, end) in index order and
// two halves added as left + right: the grouping that fixes the result's bits.
template <class Leaf>
double split_sum(std::size_t begin, std::size_t end, Leaf& leaf) {
  const std::size_t m = end - begin;
  if (m <= kSumPieceLength) return leaf(begin, end);
  const double left = split_sum(begin, begin + m / 2, leaf);
  const double right = split_sum(begin + m / 2, end, leaf);
  return left + right;
}

// One leaf piece of the split, [begin, end).
struct SumPiece {
  std::size_t begin;
  std::size_t end;
};

// The leaf pieces of the fixed split of [0, n), in index order.
std::vector<SumPiece> fixed_split_pieces(std::size_t n);

}  // namespace quorlix::numeric
