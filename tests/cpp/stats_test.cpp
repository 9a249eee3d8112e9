// Correlation statistics: exact results and messages through contiguous, strided and reversed views, and
// ranks against an independent counting reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "stats/correlation.hpp"
#include "stats/ranks.hpp"

namespace quorlix::stats {
namespace {

std::vector<double> rank(Sample v) {
  numeric::WorkVector<std::uint64_t> keys = order_keys(v);
  const numeric::WorkVector<double> r = ranks_of_keys(keys);
  return {r.begin(), r.end()};
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::string kVariance = "ValueError: arrays must have nonzero variance";
const std::string kLength = "ValueError: x and y must have same length";
const std::string kSize = "ValueError: array must contain >= 3 elements";
const std::string kPhiUndefined = "ValueError: phi is undefined: 1+ marginal totals are zero";
const std::string kOutOfRange = std::string("Panic: ") + InternalFailure(Failure::kOutOfDomain).what();
const std::string kNone = std::string("Panic: ") + InternalFailure(Failure::kNaN).what();

// Hexadecimal floats keep every bit, including the sign of zero.
std::string ok(double statistic, double p_value) {
  char text[80];
  std::snprintf(text, sizeof text, "ok %a %a", statistic, p_value);
  return text;
}

template <class F>
std::string outcome(F&& f) {
  try {
    const TestResult result = f();
    return ok(result.statistic, result.p_value);
  } catch (const ValidationError& e) {
    return std::string("ValueError: ") + e.what();
  } catch (const InternalFailure& e) {
    return std::string("Panic: ") + e.what();
  }
}

enum class Layout { kContiguous, kStrideTwo, kReversed };

// Lays out values so that a view with the given layout reads them in order; the gaps of the strided layout
// hold a poison value that would change any result read by mistake.
template <class T>
StridedView<T> lay_out(const std::vector<T>& values, Layout layout, std::vector<T>& storage, T poison) {
  const std::size_t n = values.size();
  switch (layout) {
    case Layout::kContiguous:
      storage = values;
      return StridedView<T>::of(storage);
    case Layout::kStrideTwo:
      storage.assign(2 * n, poison);
      for (std::size_t i = 0; i < n; ++i) storage[2 * i] = values[i];
      return StridedView<T>(storage.data(), n, 2 * static_cast<std::ptrdiff_t>(sizeof(T)));
    case Layout::kReversed:
      storage.assign(values.rbegin(), values.rend());
      if (n == 0) return StridedView<T>(storage.data(), 0, -static_cast<std::ptrdiff_t>(sizeof(T)));
      return StridedView<T>(storage.data() + (n - 1), n, -static_cast<std::ptrdiff_t>(sizeof(T)));
  }
  return {};
}

const Layout kLayouts[] = {Layout::kContiguous, Layout::kStrideTwo, Layout::kReversed};

using Correlation = TestResult (*)(Sample, Sample);

struct CorrelationCase {
  const char* name;
  Correlation function;
  std::vector<double> x;
  std::vector<double> y;
  std::string expected;
};

class CorrelationOutcome : public testing::TestWithParam<CorrelationCase> {};

TEST_P(CorrelationOutcome, IsExactInEveryLayout) {
  const CorrelationCase& c = GetParam();
  for (const Layout layout : kLayouts) {
    std::vector<double> x_storage;
    std::vector<double> y_storage;
    const Sample x = lay_out(c.x, layout, x_storage, kNaN);
    const Sample y = lay_out(c.y, layout, y_storage, kNaN);
    EXPECT_EQ(c.expected, outcome([&] { return c.function(x, y); })) << static_cast<int>(layout);
  }
}

const std::vector<double> k1to5 = {1, 2, 3, 4, 5};
const std::vector<double> kTenths = {0.1, 0.2, 0.3, 0.4};
const std::vector<double> kMinusTenths = {-0.1, -0.2, -0.3, -0.4};

std::vector<double> zero_to_16() {
  std::vector<double> v(17);
  for (int i = 0; i < 17; ++i) v[i] = i;
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CorrelationOutcome,
    testing::Values(
        CorrelationCase{"pearson_example",
                        pearson_corr,
                        k1to5,
                        {2, 1, 4, 3, 5},
                        ok(0.7999999999999998, 0.1040880386618277)},
        CorrelationCase{"pearson_exact_one", pearson_corr, {1, 1, 3, 3}, {1, 1, 3, 3}, ok(1.0, 0.0)},
        CorrelationCase{
            "pearson_exact_minus_one", pearson_corr, {1, 1, 3, 3}, {-1, -1, -3, -3}, ok(-1.0, 0.0)},
        CorrelationCase{"pearson_zero_with_df_1", pearson_corr, {1, 2, 3}, {1, 0, 1}, ok(0.0, 1.0)},
        CorrelationCase{"pearson_constant_residue", pearson_corr, {0.1, 0.1, 0.1}, {1, 2, 3}, ok(0.0, 1.0)},
        CorrelationCase{"pearson_rounded_above_one", pearson_corr, kTenths, kTenths,
                        ok(1.0000000000000002, 0.0)},
        CorrelationCase{"pearson_rounded_below_minus_one", pearson_corr, kTenths, kMinusTenths,
                        ok(-1.0000000000000002, 0.0)},
        CorrelationCase{"pearson_constant_x_beats_nan_y", pearson_corr, {2, 2, 2}, {1, kNaN, 3}, kVariance},
        CorrelationCase{"pearson_constant_y", pearson_corr, {1, 2, 3}, {5, 5, 5}, kVariance},
        CorrelationCase{"pearson_nan", pearson_corr, {1, 2, 3}, {1, kNaN, 3}, kOutOfRange},
        CorrelationCase{"pearson_infinity", pearson_corr, {1, kInf, 3}, {1, 2, 3}, kOutOfRange},
        CorrelationCase{"pearson_length_before_size", pearson_corr, {1, 2, 3}, {1, 2, 3, 4}, kLength},
        CorrelationCase{"pearson_empty", pearson_corr, {}, {}, kSize},
        CorrelationCase{"pearson_two", pearson_corr, {1, 2}, {2, 1}, kSize},
        CorrelationCase{"spearman_example",
                        spearman_corr,
                        k1to5,
                        {2, 1, 4, 3, 5},
                        ok(0.7999999999999998, 0.1040880386618277)},
        CorrelationCase{"spearman_three",
                        spearman_corr,
                        {1, 2, 3},
                        {10, 20, 30},
                        ok(0.9999999999999998, 1.3415758504109476e-08)},
        CorrelationCase{"spearman_tie",
                        spearman_corr,
                        k1to5,
                        {5, 6, 7, 8, 7},
                        ok(0.8207826816681233, 0.0885870053135438)},
        CorrelationCase{"spearman_rounded_above_one", spearman_corr, zero_to_16(), zero_to_16(),
                        ok(1.0000000000000002, 0.0)},
        CorrelationCase{"spearman_infinities_rank",
                        spearman_corr,
                        {-kInf, 0, kInf},
                        {1, 2, 3},
                        ok(0.9999999999999998, 1.3415758504109476e-08)},
        CorrelationCase{"spearman_constant_x", spearman_corr, {4, 4, 4}, {1, 2, 3}, kVariance},
        CorrelationCase{"spearman_constant_y", spearman_corr, {1, 2, 3}, {0.0, -0.0, 0.0}, kVariance},
        CorrelationCase{"spearman_nan_beats_variance", spearman_corr, {4, 4, 4}, {1, kNaN, 3}, kNone},
        CorrelationCase{"spearman_nan_in_x", spearman_corr, {kNaN, 1, 2}, {1, 2, 3}, kNone},
        CorrelationCase{"spearman_length_before_size", spearman_corr, {1, 2, 3}, {1, 2, 3, 4}, kLength},
        CorrelationCase{"spearman_two", spearman_corr, {1, 2}, {1, 2}, kSize}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PearsonCorr, NearlyLinearDataGivesANearZeroPValue) {
  const std::vector<double> y = {3, 5, 7, 9, 11};
  const TestResult result = pearson_corr(Sample::of(k1to5), Sample::of(y));
  EXPECT_EQ(0.9999999999999998, result.statistic);
  EXPECT_GE(result.p_value, 0.0);
  EXPECT_LT(result.p_value, 1e-12);
}

TEST(SpearmanCorr, IdenticalSamplesNeverFailWhateverTheRounding) {
  for (int n = 3; n <= 400; ++n) {
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) x[i] = i * 0.37;
    const TestResult result = spearman_corr(Sample::of(x), Sample::of(x));
    EXPECT_NEAR(1.0, result.statistic, 1e-15) << n;
    EXPECT_LT(result.p_value, 1e-6) << n;
    if (result.statistic > 1.0) {
      EXPECT_EQ(0.0, result.p_value) << n;
    }
  }
}

TEST(Correlation, ViewsOfRandomDataMatchContiguousCopies) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  std::vector<double> x(1001);
  std::vector<double> y(1001);
  std::vector<std::uint8_t> bx(1001);
  std::vector<std::uint8_t> by(1001);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = normal(rng);
    y[i] = std::round(x[i] + normal(rng));
    bx[i] = x[i] > 0.3;
    by[i] = y[i] > 0.0 ? 3 : 0;
  }
  const auto all = [](Sample a, Sample b, BoolSample c, BoolSample d) {
    return outcome([&] { return pearson_corr(a, b); }) + outcome([&] { return spearman_corr(a, b); }) +
           outcome([&] { return phi_coef(c, d); });
  };
  const std::string expected = all(Sample::of(x), Sample::of(y), BoolSample::of(bx), BoolSample::of(by));
  for (const Layout layout : kLayouts) {
    std::vector<double> xs, ys;
    std::vector<std::uint8_t> bxs, bys;
    EXPECT_EQ(expected,
              all(lay_out(x, layout, xs, kNaN), lay_out(y, layout, ys, kNaN),
                  lay_out(bx, layout, bxs, std::uint8_t{1}), lay_out(by, layout, bys, std::uint8_t{1})));
  }
}

TEST(Correlation, ZeroStrideViewReadsOneElementRepeatedly) {
  const double value = 2.5;
  const std::vector<double> y = {1, 2, 3, 4};
  const Sample repeated(&value, 4, 0);
  EXPECT_EQ(kVariance, outcome([&] { return pearson_corr(repeated, Sample::of(y)); }));
  EXPECT_EQ(kVariance, outcome([&] { return spearman_corr(Sample::of(y), repeated); }));
  EXPECT_EQ(std::vector<double>(4, 2.5), rank(repeated));
}

// ---- Phi ------------------------------------------------------------------------------------------------

struct PhiCase {
  const char* name;
  std::vector<std::uint8_t> x;
  std::vector<std::uint8_t> y;
  std::string expected;
};

class PhiOutcome : public testing::TestWithParam<PhiCase> {};

TEST_P(PhiOutcome, IsExactInEveryLayout) {
  const PhiCase& c = GetParam();
  for (const Layout layout : kLayouts) {
    std::vector<std::uint8_t> x_storage;
    std::vector<std::uint8_t> y_storage;
    const BoolSample x = lay_out(c.x, layout, x_storage, std::uint8_t{1});
    const BoolSample y = lay_out(c.y, layout, y_storage, std::uint8_t{0});
    EXPECT_EQ(c.expected, outcome([&] { return phi_coef(x, y); })) << static_cast<int>(layout);
  }
}

constexpr std::uint8_t T = 1;
constexpr std::uint8_t F = 0;

INSTANTIATE_TEST_SUITE_P(
    Cases, PhiOutcome,
    testing::Values(
        PhiCase{"perfect", {T, F, T, F}, {T, F, T, F}, ok(1.0, 0.04550026389635864)},
        PhiCase{"inverse", {T, F, T, F}, {F, T, F, T}, ok(-1.0, 0.04550026389635864)},
        PhiCase{"independent", {T, T, F, F}, {T, F, T, F}, ok(0.0, 1.0)},
        PhiCase{"partial", {T, T, F, F, T}, {T, F, F, F, T}, ok(0.6666666666666666, 0.1360371281141436)},
        PhiCase{"any_nonzero_byte_is_true",
                {2, 255, F, F, 7},
                {9, F, F, F, T},
                ok(0.6666666666666666, 0.1360371281141436)},
        PhiCase{"x_all_true", {T, T, T}, {T, F, T}, kPhiUndefined},
        PhiCase{"y_all_false", {T, F, T}, {F, F, F}, kPhiUndefined},
        PhiCase{"length_before_size", {T, F, T}, {T, F, T, F}, kLength},
        PhiCase{"two", {T, F}, {F, T}, kSize}),
    [](const auto& info) { return std::string(info.param.name); });

// Long samples cross the points where the packed cell counts are emptied into full-width ones; the table is
// counted here one cell at a time and the result formed as the function forms it.
TEST(PhiCoef, LongSamplesCountEveryCell) {
  for (const std::size_t n : {std::size_t{65535}, std::size_t{65536}, std::size_t{3 * 65535 + 7}}) {
    std::vector<std::uint8_t> x(n), y(n);
    std::uint64_t cells[2][2] = {};
    for (std::size_t i = 0; i < n; ++i) {
      x[i] = static_cast<std::uint8_t>((i * 7 + i / 3) % 5 == 0 ? 0 : (i % 11) + 1);
      y[i] = static_cast<std::uint8_t>(i % 3 == 0 || x[i] == 4);
      ++cells[x[i] != 0][y[i] != 0];
    }
    const double n11 = static_cast<double>(cells[1][1]), n10 = static_cast<double>(cells[1][0]);
    const double n01 = static_cast<double>(cells[0][1]), n00 = static_cast<double>(cells[0][0]);
    const double phi =
        (n00 * n11 - n01 * n10) / std::sqrt((n10 + n00) * ((n01 + n11) * ((n01 + n00) * (n10 + n11))));
    const TestResult got = phi_coef(BoolSample::of(x), BoolSample::of(y));
    EXPECT_EQ(got.statistic, phi) << n;
  }
}

// ---- Ranks ----------------------------------------------------------------------------------------------

// Average 1-based ranks from counts on a sorted copy: a value with `less` smaller values and `equal` equal
// ones (itself included) occupies positions less … less + equal - 1.
std::vector<double> reference_rank(const std::vector<double>& v) {
  std::vector<double> sorted = v;
  std::sort(sorted.begin(), sorted.end());
  std::vector<double> ranks;
  for (const double x : v) {
    const auto lower = std::lower_bound(sorted.begin(), sorted.end(), x);
    const auto upper = std::upper_bound(sorted.begin(), sorted.end(), x);
    const std::size_t less = static_cast<std::size_t>(lower - sorted.begin());
    const std::size_t equal = static_cast<std::size_t>(upper - lower);
    ranks.push_back(static_cast<double>(2 * less + equal - 1) * 0.5 + 1.0);
  }
  return ranks;
}

// Long samples rank y on a second thread; the result and the failures must not change.
TEST(SpearmanCorr, LongSamplesMatchPearsonOfTheReferenceRanks) {
  std::mt19937_64 rng(31);
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> level(0, 40);
  const std::size_t n = 70000;
  std::vector<double> x(n), y(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = normal(rng);
    y[i] = level(rng) + (x[i] > 0.0 ? 20.0 : 0.0);
  }
  const TestResult got = spearman_corr(Sample::of(x), Sample::of(y));
  const std::vector<double> rx = reference_rank(x), ry = reference_rank(y);
  const TestResult want = pearson_corr(Sample::of(rx), Sample::of(ry));
  EXPECT_EQ(got.statistic, want.statistic);
  EXPECT_EQ(got.p_value, want.p_value);

  std::vector<double> y_nan = y;
  y_nan[n - 1] = kNaN;
  EXPECT_EQ(kNone, outcome([&] { return spearman_corr(Sample::of(x), Sample::of(y_nan)); }));
  std::vector<double> x_nan = x;
  x_nan[0] = kNaN;
  EXPECT_EQ(kNone, outcome([&] { return spearman_corr(Sample::of(x_nan), Sample::of(y_nan)); }));
}

TEST(Rank, ExamplesWithSignedZerosAndInfinities) {
  const std::vector<double> v = {3.0, 1.0, 3.0, 2.0, -0.0, 0.0};
  EXPECT_EQ((std::vector<double>{5.5, 3.0, 5.5, 4.0, 1.5, 1.5}), rank(Sample::of(v)));
  const std::vector<double> w = {kInf, 1.0, kInf};
  EXPECT_EQ((std::vector<double>{2.5, 1.0, 2.5}), rank(Sample::of(w)));
}

TEST(Rank, NaNFailsFromTwoElementsOn) {
  const std::vector<double> one = {kNaN};
  EXPECT_EQ(std::vector<double>{1.0}, rank(Sample::of(one)));
  EXPECT_TRUE(rank(Sample::of(std::vector<double>{})).empty());
  for (const std::vector<double>& v : {std::vector<double>{kNaN, 1.0}, std::vector<double>{1.0, 2.0, kNaN}}) {
    try {
      rank(Sample::of(v));
      ADD_FAILURE() << "no exception";
    } catch (const InternalFailure& e) {
      EXPECT_EQ(e.failure(), Failure::kNaN);
    }
  }
}

class RankAgainstReference : public testing::TestWithParam<std::size_t> {};

TEST_P(RankAgainstReference, MatchesInEveryLayout) {
  std::mt19937_64 rng(GetParam());
  const std::vector<double> pool = {-kInf, -2.0, -0.5, -0.0, 0.0, 1.0, 1.0, 3.25, 1e300, kInf};
  std::uniform_int_distribution<std::size_t> pick(0, pool.size());
  std::normal_distribution<double> normal(0.0, 100.0);
  std::vector<double> v(GetParam());
  for (double& x : v) {
    const std::size_t i = pick(rng);
    x = i < pool.size() ? pool[i] : normal(rng);
  }
  const std::vector<double> expected = reference_rank(v);
  for (const Layout layout : kLayouts) {
    std::vector<double> storage;
    EXPECT_EQ(expected, rank(lay_out(v, layout, storage, kNaN))) << static_cast<int>(layout);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RankAgainstReference,
                         testing::Values(2, 3, 17, 33, 100, 1000, 70000, 200000));

}  // namespace
}  // namespace quorlix::stats
