// The fixed split of long sums.
#include "numeric/fixed_split_sum.hpp"

namespace quorlix::numeric {
namespace {

void list_pieces(std::size_t begin, std::size_t end, std::vector<SumPiece>& pieces) {
  const std::size_t m = end - begin;
  if (m <= kSumPieceLength) {
    pieces.push_back({begin, end});
    return;
  }
  list_pieces(begin, begin + m / 2, pieces);
  list_pieces(begin + m / 2, end, pieces);
}

}  // namespace

double fixed_split_sum(const double* terms, std::size_t n) {
  auto leaf = [terms](std::size_t begin, std::size_t end) {
    double s = -0.0;
    for (std::size_t i = begin; i < end; ++i) s += terms[i];
    return s;
  };
  return split_sum(0, n, leaf);
}

std::vector<SumPiece> fixed_split_pieces(std::size_t n) {
  std::vector<SumPiece> pieces;
  list_pieces(0, n, pieces);
  return pieces;
}

}  // namespace quorlix::numeric
