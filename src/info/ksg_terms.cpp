// The table of digamma values for small neighbour counts.
#include "info/ksg_terms.hpp"

#include <vector>

namespace quorlix::info::detail {

const double* psi_table() {
  static const std::vector<double> table = [] {
    std::vector<double> t(kPsiTableSize);
    for (std::size_t c = 0; c < kPsiTableSize; ++c) t[c] = numeric::digamma(static_cast<double>(c) + 1.0);
    return t;
  }();
  return table.data();
}

}  // namespace quorlix::info::detail
