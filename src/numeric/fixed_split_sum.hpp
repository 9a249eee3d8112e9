// The fixed split that makes a long sum's bits independent of where its pieces are summed: the pieces may
// run on any thread, and the result is always formed with the same additions.
#pragma once

#include <cstddef>

namespace quorlix::numeric {

// Leaf pieces of the fixed split have at most this many terms.
inline constexpr std::size_t kSumPieceLength = 2048;

// The sum of term(i) for begin <= i < end, added in index order from -0.0, as a plain loop forms it.
template <class Term>
double ordered_sum(std::size_t begin, std::size_t end, const Term& term) {
  double s = -0.0;
  for (std::size_t i = begin; i < end; ++i) s += term(i);
  return s;
}

// The fixed split of [begin, end), each leaf piece's sum taken from leaf(begin, end) in index order and
// two halves added as left + right: [begin, end) is halved recursively (a range of length m >
// kSumPieceLength splits into its first m/2 and the rest), so the split points depend only on the length,
// and this grouping fixes the result's bits.
template <class Leaf>
double split_sum(std::size_t begin, std::size_t end, Leaf& leaf) {
  const std::size_t m = end - begin;
  if (m <= kSumPieceLength) return leaf(begin, end);
  const double left = split_sum(begin, begin + m / 2, leaf);
  const double right = split_sum(begin + m / 2, end, leaf);
  return left + right;
}

// The sum of terms[0 .. n) under the fixed split, each piece summed in index order from -0.0. An empty
// range sums to -0.0.
inline double fixed_split_sum(const double* terms, std::size_t n) {
  auto leaf = [terms](std::size_t begin, std::size_t end) {
    return ordered_sum(begin, end, [terms](std::size_t i) { return terms[i]; });
  };
  return split_sum(0, n, leaf);
}

}  // namespace quorlix::numeric
