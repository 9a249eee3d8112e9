// Pearson, Spearman and phi correlation with their two-sided p-values.
#pragma once


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

}  // namespace quorlix::stats
