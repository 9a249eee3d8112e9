// Nearest-neighbour estimators of entropy and (conditional, interaction) mutual information, in nats,
// under the Chebyshev distance.
#pragma once

#include <cstdint>
#include <span>

#include "core/sample.hpp"
#include "info/neighbour_sums.hpp"
#include "info/radii.hpp"
#include "info/sorted_search.hpp"
#include "kdtree/kdtree.hpp"

namespace quorlix::info {

// Kozachenko-Leonenko differential entropy of x from k-th-neighbour distances. Not clamped.
// ValidationError for an empty x or k outside [1, n); InternalFailure for a NaN in x.
double kl_h(Sample x, std::uint64_t k);

// KSG mutual information of (x, y), clamped at 0; with normalize, divided by the geometric mean of the
// marginal entropies and capped at 1 when that mean is usable (finite and at least 1e-10).
double ksg_mi(Sample x, Sample y, std::uint64_t k, bool normalize);

// Conditional mutual information I(x; y | z), clamped at 0; with normalize, divided by the geometric
// mean of H(x|z) and H(y|z) and capped at 1 when that mean is usable.
double ksg_cmi(Sample x, Sample y, Sample z, std::uint64_t k, bool normalize);

// Interaction information I(x; y | z) - I(x; y), neither term clamped; with normalize, divided by the sum
// of the terms' magnitudes (0.0 when that sum is below 1e-10).
double ksg_ii(Sample x, Sample y, Sample z, std::uint64_t k, bool normalize);

// Entropy estimate over a one-dimensional tree holding exactly values[i] with item id i; 1 <= k < n.
double entropy_kl_1d_tree(const KdTree<1>& tree, std::span<const double> values, std::uint64_t k);

// The same estimate from the values in ascending order, sorted[p] being the value of index order[p];
// 1 <= k < n. Needs every difference of two values to be finite. The k nearest other values of the one at
// sorted position p lie, together with it, in a run of k + 1 consecutive positions, so no tree is needed.
double entropy_kl_1d_sorted(std::span<const double> sorted, std::span<const std::uint32_t> order,
                            std::uint64_t k);

// The one-dimensional estimate by whichever of the two routines above applies to the values, from their
// ranking when one is given (not null) and the sorted routine applies, so that nothing is sorted again;
// 1 <= k < n.
double entropy_kl_1d(std::span<const double> values, const detail::RankedSample* ranked, std::uint64_t k);

// Entropy estimate over a two-dimensional tree holding exactly (a_i, b_i) with item id i; 1 <= k < n.
double entropy_kl_2d_tree(const KdTree<2>& tree, std::span<const double> a, std::span<const double> b,
                          std::uint64_t k);

}  // namespace quorlix::info
