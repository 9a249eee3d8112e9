// Special functions, distribution functions and the radix sort: exact check values, accuracy against closed
// forms, and the sort against std::stable_sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.hpp"
#include "numeric/distributions.hpp"
#include "numeric/radix_sort.hpp"
#include "numeric/gamma_functions.hpp"
#include "numeric/work_memory.hpp"

namespace quorlix::numeric {
namespace {

// The permutation that stably sorts values, through the 64-bit form of sort_keys.
std::vector<std::size_t> stable_sort_order(std::span<const double> values) {
  WorkVector<std::uint64_t> keys(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) keys[i] = order_key(values[i]);
  WorkVector<std::size_t> order;
  sort_keys(keys, order);
  return {order.begin(), order.end()};
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Compares bit patterns, so -0.0 vs 0.0 and last-bit differences fail loudly.
#define EXPECT_BITS_EQ(expected, actual) \
  EXPECT_EQ(bits(expected), bits(actual)) << (expected) << " vs " << (actual)

struct Exact {
  const char* name;
  std::function<double()> compute;
  double expected;
};

class ExactValue : public testing::TestWithParam<Exact> {};

TEST_P(ExactValue, MatchesToTheLastBit) { EXPECT_BITS_EQ(GetParam().expected, GetParam().compute()); }

double beta_value(double a, double b, double x) { return regularized_beta(a, b, x).value(); }

INSTANTIATE_TEST_SUITE_P(
    Special, ExactValue,
    testing::Values(
        Exact{"ln_gamma_half", [] { return ln_gamma(0.5); }, 0x1.250d048e7a1bcp-1},
        Exact{"ln_gamma_1", [] { return ln_gamma(1.0); }, -4.440892098500626e-16},
        Exact{"ln_gamma_2", [] { return ln_gamma(2.0); }, 0.0},
        Exact{"ln_gamma_3", [] { return ln_gamma(3.0); }, 0.6931471805599485},
        Exact{"ln_gamma_10", [] { return ln_gamma(10.0); }, 12.801827480081474},
        Exact{"digamma_1", [] { return digamma(1.0); }, -0.5772156672657285},
        Exact{"digamma_2", [] { return digamma(2.0); }, 0.4227843327342715},
        Exact{"digamma_6", [] { return digamma(6.0); }, 1.7061176660676047},
        Exact{"digamma_10", [] { return digamma(10.0); }, 2.251752589025792},
        Exact{"beta_at_0", [] { return beta_value(2.5, 0.5, 0.0); }, 0.0},
        Exact{"beta_at_0_small_a", [] { return beta_value(0.5, 0.5, 0.0); }, 0.0},
        Exact{"beta_at_1", [] { return beta_value(2.5, 0.5, 1.0); }, 1.0},
        Exact{"beta_at_1_small_a", [] { return beta_value(0.5, 0.5, 1.0); }, 1.0},
        Exact{"lower_gamma_below_limit", [] { return regularized_lower_gamma(0.5, 1e-16); }, 0.0},
        Exact{"t1_at_1", [] { return StudentsT(0.0, 1.0, 1.0).cdf(1.0); }, 0.7499999999999998},
        Exact{"t1_at_minus_1", [] { return StudentsT(0.0, 1.0, 1.0).cdf(-1.0); }, 0.2500000000000002},
        Exact{"t1_at_0", [] { return StudentsT(0.0, 1.0, 1.0).cdf(0.0); }, 0.5},
        Exact{"t2_at_1", [] { return StudentsT(0.0, 1.0, 2.0).cdf(1.0); }, 0.7886751345948135},
        Exact{"t3_at_2", [] { return StudentsT(0.0, 1.0, 3.0).cdf(2.0); }, 0.9303370157205786},
        Exact{"t5_at_minus_3", [] { return StudentsT(0.0, 1.0, 5.0).cdf(-3.0); }, 0.01504962394873128},
        Exact{"t7_at_inf", [] { return StudentsT(0.0, 1.0, 7.0).cdf(kInf); }, 1.0},
        Exact{"t7_at_minus_inf", [] { return StudentsT(0.0, 1.0, 7.0).cdf(-kInf); }, 0.0},
        Exact{"chi2_at_1", [] { return ChiSquared(1.0).cdf(1.0); }, 0.682689492137086},
        Exact{"chi2_at_95", [] { return ChiSquared(1.0).cdf(3.841458820694124); }, 0.95},
        Exact{"chi2_at_0", [] { return ChiSquared(1.0).cdf(0.0); }, 0.0},
        Exact{"chi2_negative", [] { return ChiSquared(1.0).cdf(-1.0); }, 0.0},
        Exact{"chi2_tiny", [] { return ChiSquared(1.0).cdf(1e-20); }, 0.0},
        Exact{"chi2_at_inf", [] { return ChiSquared(1.0).cdf(kInf); }, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Digamma, IsNaNAtAndBelowZero) {
  for (const double x : {0.0, -0.0, -1.0, -2.5, -kInf, kNaN}) EXPECT_TRUE(std::isnan(digamma(x))) << x;
}

TEST(Digamma, StaysWithinTheSeriesErrorOfTheTrueValue) {
  // psi(5.5) = psi(0.5) + sum 1/(k + 0.5) for k = 0..4; psi(0.5) = -gamma - 2 ln 2.
  EXPECT_NEAR(digamma(5.5), 1.6110931485817511, 3e-9);
  for (int n = 1; n < 200; ++n) EXPECT_NEAR(digamma(n + 1.0) - digamma(n), 1.0 / n, 3e-9) << n;
}

TEST(LnGamma, AgreesWithLgammaAcrossBothBranches) {
  for (double x = 0.05; x < 60.0; x *= 1.37)
    EXPECT_NEAR(ln_gamma(x), std::lgamma(x), 1e-12 * (1 + std::fabs(std::lgamma(x)))) << x;
}

TEST(RegularizedBeta, RejectsArgumentsOutsideTheUnitInterval) {
  for (const double x : {1.0000000000000002, -5e-324, -1.0, 2.0, kInf, -kInf, kNaN})
    EXPECT_FALSE(regularized_beta(1.5, 0.5, x).has_value()) << x;
}

TEST(RegularizedBeta, MatchesClosedFormForHalfHalf) {
  // I_x(1/2, 1/2) = (2/pi) asin(sqrt x).
  for (double x = 0.001; x < 1.0; x += 0.0123)
    EXPECT_NEAR(beta_value(0.5, 0.5, x), 2.0 / std::numbers::pi * std::asin(std::sqrt(x)), 1e-14) << x;
}

TEST(RegularizedBeta, TreatsValuesWithinFourUlpsOfOneAsOne) {
  double x = 1.0;
  for (int ulps = 1; ulps <= 4; ++ulps) {
    x = std::nextafter(x, 0.0);
    EXPECT_BITS_EQ(1.0, beta_value(2.5, 0.5, x)) << ulps;
  }
  EXPECT_LT(beta_value(2.5, 0.5, std::nextafter(x, 0.0)), 1.0);
}

TEST(RegularizedLowerGamma, MatchesErfForShapeHalfOnBothBranches) {
  // P(1/2, x) = erf(sqrt x); x <= 1 takes the series, larger x the continued fraction.
  for (double x = 1e-12; x < 700.0; x *= 1.9)
    EXPECT_NEAR(regularized_lower_gamma(0.5, x), std::erf(std::sqrt(x)), 2e-15) << x;
}

TEST(RegularizedLowerGamma, TerminatesOnDegenerateArguments) {
  EXPECT_TRUE(std::isnan(regularized_lower_gamma(0.5, kNaN)));
  EXPECT_BITS_EQ(1.0, regularized_lower_gamma(0.5, kInf));
  EXPECT_BITS_EQ(1.0, regularized_lower_gamma(0.5, 800.0));  // exp(lambda) underflows
  EXPECT_TRUE(std::isnan(ChiSquared(1.0).cdf(kNaN)));
  // The series would need ~1e15 terms here; returning at all is the point.
  static_cast<void>(regularized_lower_gamma(1e30, 1e30));
}

TEST(StudentsT, MatchesClosedFormsForOneAndTwoDegreesOfFreedom) {
  for (double t = -30.0; t <= 30.0; t += 0.37) {
    EXPECT_NEAR(StudentsT(0.0, 1.0, 1.0).cdf(t), 0.5 + std::atan(t) / std::numbers::pi, 1e-14) << t;
    EXPECT_NEAR(StudentsT(0.0, 1.0, 2.0).cdf(t), 0.5 + t / (2.0 * std::sqrt(2.0 + t * t)), 1e-14) << t;
  }
}

TEST(StudentsT, NaNIsAnInternalFailureOutsideTheDomain) {
  try {
    StudentsT(0.0, 1.0, 3.0).cdf(kNaN);
    FAIL() << "no exception";
  } catch (const InternalFailure& e) {
    EXPECT_EQ(e.failure(), Failure::kOutOfDomain);
  }
}

// ---- Radix sort -----------------------------------------------------------------------------------------

struct SortCase {
  const char* name;
  std::function<std::vector<double>(std::mt19937_64&)> make;
};

std::vector<double> random_from(std::mt19937_64& rng, std::size_t n, const std::vector<double>& pool) {
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::vector<double> v(n);
  for (double& x : v) x = pool[pick(rng)];
  return v;
}

std::vector<double> normal(std::mt19937_64& rng, std::size_t n) {
  std::normal_distribution<double> dist(0.0, 1e3);
  std::vector<double> v(n);
  for (double& x : v) x = dist(rng);
  return v;
}

const std::vector<double> kSpecials = {
    0.0,  -0.0,  1.0,    -1.0, kInf, -kInf, 5e-324, -5e-324, 2.2250738585072014e-308,
    -2.5, 1e308, -1e308, 3.0,  3.0,  0.5,   -0.5};

class SortAgainstStdStableSort : public testing::TestWithParam<SortCase> {};

TEST_P(SortAgainstStdStableSort, SortAscendingIsBitIdentical) {
  std::mt19937_64 rng(42);
  const std::vector<double> input = GetParam().make(rng);
  std::vector<double> expected = input;
  std::stable_sort(expected.begin(), expected.end());
  std::vector<double> actual = input;
  sort_ascending(actual);
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(bits(expected[i]), bits(actual[i])) << i;
}

TEST_P(SortAgainstStdStableSort, StableSortOrderIsTheStablePermutation) {
  std::mt19937_64 rng(7);
  const std::vector<double> input = GetParam().make(rng);
  std::vector<std::size_t> expected(input.size());
  std::iota(expected.begin(), expected.end(), std::size_t{0});
  std::stable_sort(expected.begin(), expected.end(),
                   [&](std::size_t a, std::size_t b) { return input[a] < input[b]; });
  EXPECT_EQ(expected, stable_sort_order(input));
}

TEST_P(SortAgainstStdStableSort, SortWithOrderGivesTheSortedValuesAndTheirPermutation) {
  std::mt19937_64 rng(9);
  const std::vector<double> input = GetParam().make(rng);
  std::vector<double> expected = input;
  sort_ascending(expected);
  std::vector<double> sorted;
  std::vector<std::uint32_t> order;
  sort_with_order(input, sorted, order);
  ASSERT_EQ(sorted.size(), input.size());
  ASSERT_EQ(order.size(), input.size());
  const std::vector<std::size_t> stable = stable_sort_order(input);
  for (std::size_t p = 0; p < input.size(); ++p) {
    ASSERT_EQ(bits(sorted[p]), bits(expected[p])) << p;
    ASSERT_EQ(order[p], stable[p]) << p;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SortAgainstStdStableSort,
    testing::Values(SortCase{"empty", [](auto&) { return std::vector<double>{}; }},
                    SortCase{"one", [](auto&) { return std::vector<double>{-0.0}; }},
                    SortCase{"two_descending",
                             [](auto&) {
                               return std::vector<double>{2.0, -kInf};
                             }},
                    SortCase{"small_with_ties", [](auto& rng) { return random_from(rng, 30, kSpecials); }},
                    SortCase{"zeros_only",
                             [](auto&) {
                               return std::vector<double>{0.0, -0.0, -0.0, 0.0, -0.0};
                             }},
                    SortCase{"all_equal", [](auto&) { return std::vector<double>(1000, 1.5); }},
                    SortCase{"specials_with_ties",
                             [](auto& rng) { return random_from(rng, 5000, kSpecials); }},
                    SortCase{"small_integers",
                             [](auto& rng) {
                               return random_from(rng, 20000, {-3.0, -2.0, -1.0, -0.0, 0.0, 1.0, 2.0, 3.0});
                             }},
                    SortCase{"normal", [](auto& rng) { return normal(rng, 30000); }},
                    SortCase{"large_integers",
                             [](auto& rng) {
                               return random_from(rng, 100000, {-3.0, -2.0, -1.0, -0.0, 0.0, 1.0, 2.0, 3.0});
                             }},
                    SortCase{"large_spread_with_ties",
                             [](auto& rng) {
                               // Many sparsely filled buckets, each holding a few repeated values.
                               std::uniform_real_distribution<double> exponent(-150.0, 150.0);
                               std::vector<double> pool(40000);
                               for (double& x : pool) x = std::pow(10.0, exponent(rng));
                               return random_from(rng, 100000, pool);
                             }},
                    SortCase{"large_one_top_bucket",
                             [](auto& rng) {
                               std::uniform_real_distribution<double> narrow(1.0, 1.0625);
                               std::vector<double> v(70000);
                               for (double& x : v) x = narrow(rng);
                               return v;
                             }},
                    SortCase{"large_uniform_mantissas",
                             [](auto& rng) {
                               // One sign and exponent: every bit that tells the values apart is a
                               // mantissa bit, and the first pass has far more buckets in use than fit
                               // the cache.
                               std::uniform_real_distribution<double> unit(1.0, 2.0);
                               std::vector<double> v(150000);
                               for (double& x : v) x = unit(rng);
                               return v;
                             }},
                    SortCase{"sorted",
                             [](auto& rng) {
                               auto v = normal(rng, 3000);
                               std::sort(v.begin(), v.end());
                               return v;
                             }},
                    SortCase{"reversed",
                             [](auto& rng) {
                               auto v = normal(rng, 3000);
                               std::sort(v.rbegin(), v.rend());
                               return v;
                             }},
                    SortCase{"large_mixed",
                             [](auto& rng) {
                               auto v = normal(rng, 300000);
                               auto extra = random_from(rng, 100000, kSpecials);
                               v.insert(v.end(), extra.begin(), extra.end());
                               std::shuffle(v.begin(), v.end(), rng);
                               return v;
                             }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OrderKey, IsStrictlyMonotoneExceptThatTheZerosTie) {
  const std::vector<double> ascending = {-kInf, -1e308, -1.0, -2.2250738585072014e-308, -5e-324, -0.0, 5e-324,
                                         1.0,   1e308,  kInf};
  for (std::size_t i = 0; i + 1 < ascending.size(); ++i)
    EXPECT_LT(order_key(ascending[i]), order_key(ascending[i + 1])) << ascending[i];
  EXPECT_EQ(order_key(-0.0), order_key(0.0));
}

// ---------------------------------------------------------------------------------------------------------
// Working buffers kept for reuse.

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(WorkMemory, ABufferOfTheSameSizeIsReused) {
  release_work_memory();
  void* first = take_work_block(3 * kMiB);
  static_cast<unsigned char*>(first)[3 * kMiB - 1] = 7;
  give_work_block(first, 3 * kMiB);
  EXPECT_EQ(work_memory_kept(), 3 * kMiB);
  // Another size does not take it; the same size does.
  void* other = take_work_block(2 * kMiB);
  EXPECT_NE(other, first);
  void* again = take_work_block(3 * kMiB);
  EXPECT_EQ(again, first);
  EXPECT_EQ(work_memory_kept(), 0u);
  give_work_block(other, 2 * kMiB);
  give_work_block(again, 3 * kMiB);
  EXPECT_EQ(work_memory_kept(), 5 * kMiB);
  release_work_memory();
  EXPECT_EQ(work_memory_kept(), 0u);
}

TEST(WorkMemory, SmallAndOversizedBuffersAreNotKept) {
  release_work_memory();
  for (const std::size_t bytes : {std::size_t{0}, std::size_t{64}, kMiB - 1, kWorkMemoryKept + 8}) {
    void* block = take_work_block(bytes);
    ASSERT_NE(block, nullptr);
    give_work_block(block, bytes);
    EXPECT_EQ(work_memory_kept(), 0u) << bytes;
  }
  give_work_block(nullptr, 4 * kMiB);
  EXPECT_EQ(work_memory_kept(), 0u);
}

// The store never holds more than its limit or more blocks than it has slots: the oldest go first.
TEST(WorkMemory, TheOldestBuffersMakeRoom) {
  release_work_memory();
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < 40; ++i) blocks.push_back(take_work_block(kMiB + i * 4096));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    give_work_block(blocks[i], kMiB + i * 4096);
    EXPECT_LE(work_memory_kept(), kWorkMemoryKept);
  }
  // 32 slots: the first eight were released, the last one is still there.
  void* last = take_work_block(kMiB + 39 * 4096);
  EXPECT_EQ(last, blocks[39]);
  give_work_block(last, kMiB + 39 * 4096);
  std::vector<void*> big;
  for (std::size_t i = 0; i < 5; ++i) big.push_back(take_work_block(20 * kMiB));
  for (void* b : big) give_work_block(b, 20 * kMiB);
  EXPECT_LE(work_memory_kept(), kWorkMemoryKept);
  EXPECT_GE(work_memory_kept(), 60 * kMiB);
  release_work_memory();
}

TEST(WorkMemory, ThreadsShareTheStoreSafely) {
  release_work_memory();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 2000; ++i) {
        const std::size_t bytes = (1 + static_cast<std::size_t>((t + i) % 3)) * kMiB;
        auto* block = static_cast<unsigned char*>(take_work_block(bytes));
        block[0] = static_cast<unsigned char>(t);
        block[bytes - 1] = static_cast<unsigned char>(i);
        EXPECT_EQ(block[0], static_cast<unsigned char>(t));
        give_work_block(block, bytes);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(work_memory_kept(), kWorkMemoryKept);
  release_work_memory();
}

// Sorting through reused buffers gives what fresh ones give, and the keys' own buffer is recycled.
TEST(WorkMemory, SortKeysWithReusedBuffers) {
  release_work_memory();
  std::mt19937_64 rng(5);
  const std::size_t n = 300000;
  for (int round = 0; round < 3; ++round) {
    WorkVector<std::uint64_t> keys(n);
    for (auto& k : keys) k = rng() % 1000;
    std::vector<std::uint64_t> want(keys.begin(), keys.end());
    std::vector<std::uint32_t> want_order(n);
    std::iota(want_order.begin(), want_order.end(), 0u);
    std::stable_sort(want_order.begin(), want_order.end(), [&](auto a, auto b) { return want[a] < want[b]; });
    WorkVector<std::uint32_t> order;
    sort_keys(keys, order);
    ASSERT_TRUE(std::equal(order.begin(), order.end(), want_order.begin(), want_order.end()));
    for (std::size_t p = 0; p < n; ++p) ASSERT_EQ(keys[p], want[order[p]]);
  }
  EXPECT_GT(work_memory_kept(), 0u);
  release_work_memory();
}

}  // namespace
}  // namespace quorlix::numeric
