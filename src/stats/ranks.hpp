// Average ranks for Spearman's correlation, in two steps: the order keys are read from the caller's buffer
// on the calling thread, and the ranking of the keys may then run anywhere.
#pragma once

#include <cstdint>

#include "core/sample.hpp"
#include "numeric/work_memory.hpp"

namespace quorlix::stats {

// The values' order keys, read in one pass. A NaN has no place in the order (InternalFailure kNaN); a
// single element is never compared, so it alone is allowed.
numeric::WorkVector<std::uint64_t> order_keys(Sample v);

// The 1-based average ranks in index order, in a working buffer that the next call on a sample of this
// length reuses. Sorts the keys in place.
numeric::WorkVector<double> ranks_of_keys(numeric::WorkVector<std::uint64_t>& keys);

}  // namespace quorlix::stats
