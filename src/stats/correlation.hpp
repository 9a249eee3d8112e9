// Pearson, Spearman and phi correlation with their two-sided p-values.
#pragma once

#include <vector>

#include "core/sample.hpp"

namespace quorlix::stats {

struct TestResult {
  double statistic;
  double p_value;
};

// Each throws ValidationError for bad input and InternalFailure for NaN, as documented per function.
TestResult pearson_corr(Sample x, Sample y);
TestResult spearman_corr(Sample x, Sample y);
TestResult phi_coef(BoolSample x, BoolSample y);

// 1-based average ranks of v (ties share the mean of their positions). Throws InternalFailure
// "called `Option::unwrap()` on a `None` value" when v holds a NaN and n >= 2.
std::vector<double> rank(Sample v);

}  // namespace quorlix::stats
