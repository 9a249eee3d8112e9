// The information estimators against O(n^2) brute-force references, quoted check values, validation and
// the identities that relate the estimators to each other.
#include "info/info.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "info/inputs.hpp"
#include "info/ksg_terms.hpp"
#include "info/passes.hpp"
#include "info/range_count.hpp"
#include "numeric/fixed_split_sum.hpp"
#include "numeric/gamma_functions.hpp"
#include "pool/pool.hpp"

namespace quorlix::info {
namespace {

using Column = std::vector<double>;
using numeric::digamma;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Sample view(const Column& c) { return Sample::of(c); }

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

#define EXPECT_SAME_BITS(a, b) EXPECT_EQ(bits(a), bits(b)) << (a) << " vs " << (b)

// ---------------------------------------------------------------------------------------------------------
// Brute-force references: every distance between every pair of points.

double chebyshev(const std::vector<Column>& cols, std::size_t i, std::size_t j) {
  double m = std::fabs(cols[0][i] - cols[0][j]);
  for (std::size_t a = 1; a < cols.size(); ++a) m = std::max(m, std::fabs(cols[a][i] - cols[a][j]));
  return m;
}

double bf_radius(const std::vector<Column>& cols, std::size_t i, std::uint64_t k) {
  Column d(cols[0].size());
  for (std::size_t j = 0; j < d.size(); ++j) d[j] = chebyshev(cols, i, j);
  std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(k), d.end());
  return std::max(d[k], 1e-7);
}

Column bf_radii(const std::vector<Column>& cols, std::uint64_t k) {
  Column r(cols[0].size());
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = bf_radius(cols, i, k);
  return r;
}

std::size_t bf_others_within(const std::vector<Column>& cols, std::size_t i, double r) {
  std::size_t c = 0;
  for (std::size_t j = 0; j < cols[0].size(); ++j) c += j != i && chebyshev(cols, i, j) < r;
  return c;
}

std::size_t bf_marginal(const Column& v, std::size_t i, double r) {
  const double lo = v[i] - r, hi = v[i] + r;
  std::size_t c = 0;
  for (double w : v) c += lo < w && w < hi;
  return c > 0 ? c - 1 : 0;
}

double psi1(std::size_t count) { return digamma(static_cast<double>(count) + 1.0); }

double bf_entropy(const std::vector<Column>& cols, std::uint64_t k) {
  const std::size_t n = cols[0].size();
  double s = -0.0;
  for (std::size_t i = 0; i < n; ++i) s += std::log(bf_radius(cols, i, k));
  const double psi = digamma(static_cast<double>(n)) - digamma(static_cast<double>(k));
  if (cols.size() == 1) return s / static_cast<double>(n) + (psi + 0.6931471805599453);
  return (2.0 * s) / static_cast<double>(n) + (psi + 1.3862943611198906);
}

double bf_mi_sum(const Column& x, const Column& y, std::uint64_t k) {
  const Column eps = bf_radii({x, y}, k);
  Column t(x.size());
  for (std::size_t i = 0; i < x.size(); ++i)
    t[i] = psi1(bf_marginal(x, i, eps[i])) + psi1(bf_marginal(y, i, eps[i]));
  return numeric::fixed_split_sum(t.data(), t.size());
}

double bf_cmi_sum(const Column& x, const Column& y, const Column& z, const Column& eps) {
  Column t(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    t[i] = (psi1(bf_marginal(z, i, eps[i])) - psi1(bf_others_within({x, z}, i, eps[i]))) -
           psi1(bf_others_within({y, z}, i, eps[i]));
  }
  return numeric::fixed_split_sum(t.data(), t.size());
}

double bf_raw_mi(const Column& x, const Column& y, std::uint64_t k) {
  const double n = static_cast<double>(x.size());
  return (digamma(static_cast<double>(k)) + digamma(n)) - bf_mi_sum(x, y, k) / n;
}

double bf_raw_cmi(const Column& x, const Column& y, const Column& z, std::uint64_t k) {
  return bf_cmi_sum(x, y, z, bf_radii({x, y, z}, k)) / static_cast<double>(x.size()) +
         digamma(static_cast<double>(k));
}

double normalized(double value, double d) {
  return std::isfinite(d) && d >= 1e-10 ? std::min(1.0, value / d) : value;
}

double bf_ksg_mi(const Column& x, const Column& y, std::uint64_t k, bool normalize) {
  const double mi = std::max(bf_raw_mi(x, y, k), 0.0);
  if (!normalize) return mi;
  return normalized(mi, std::sqrt(bf_entropy({x}, k) * bf_entropy({y}, k)));
}

double bf_ksg_cmi(const Column& x, const Column& y, const Column& z, std::uint64_t k, bool normalize) {
  const double cmi = std::max(bf_raw_cmi(x, y, z, k), 0.0);
  if (!normalize) return cmi;
  const double h_z = bf_entropy({z}, k);
  return normalized(cmi, std::sqrt((bf_entropy({y, z}, k) - h_z) * (bf_entropy({x, z}, k) - h_z)));
}

double bf_ksg_ii(const Column& x, const Column& y, const Column& z, std::uint64_t k, bool normalize) {
  const double i_xy = bf_raw_mi(x, y, k);
  const double i_xy_z = bf_raw_cmi(x, y, z, k);
  const double ii = i_xy_z - i_xy;
  if (!normalize) return ii;
  const double d = std::fabs(i_xy) + std::fabs(i_xy_z);
  return d < 1e-10 ? 0.0 : ii / d;
}

// ---------------------------------------------------------------------------------------------------------
// Data sets: dependent triples of several shapes.

enum class Shape { Continuous, Tied, Sorted, Mixed };

struct Triple {
  Column x, y, z;
};

Triple make_data(Shape shape, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> level(0, 2);
  Triple t{Column(n), Column(n), Column(n)};
  for (std::size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::Continuous:
        t.x[i] = normal(rng);
        t.z[i] = normal(rng);
        t.y[i] = t.x[i] + 0.5 * t.z[i] + 0.5 * normal(rng);
        break;
      case Shape::Tied:  // three levels per coordinate: every point repeats far more than 32 times
        t.x[i] = level(rng);
        t.z[i] = level(rng) % 2;
        t.y[i] = (static_cast<int>(t.x[i]) + (level(rng) == 0 ? 1 : 0)) % 3;
        break;
      case Shape::Sorted:
        t.x[i] = static_cast<double>(i) / static_cast<double>(n);
        t.y[i] = t.x[i] + 0.05 * normal(rng);
        t.z[i] = std::floor(t.x[i] * 8.0) + 0.1 * normal(rng);
        break;
      case Shape::Mixed:
        t.x[i] = normal(rng);
        t.y[i] = std::round(t.x[i] * 2.0);
        t.z[i] = 1.5;
        break;
    }
  }
  return t;
}

std::string shape_name(Shape s) {
  const char* const names[] = {"Continuous", "Tied", "Sorted", "Mixed"};
  return names[static_cast<int>(s)];
}

struct BruteForceCase {
  Shape shape;
  std::size_t n;
  std::uint64_t k;
};

class AgainstBruteForce : public testing::TestWithParam<BruteForceCase> {
 protected:
  void SetUp() override {
    data = make_data(GetParam().shape, GetParam().n, 17 + GetParam().n + GetParam().k);
  }
  Triple data;
};

TEST_P(AgainstBruteForce, KlHIsBitExact) {
  const std::uint64_t k = GetParam().k;
  for (const Column* c : {&data.x, &data.y, &data.z})
    EXPECT_SAME_BITS(kl_h(view(*c), k), bf_entropy({*c}, k));
}

TEST_P(AgainstBruteForce, TwoDimensionalEntropyIsBitExact) {
  const std::uint64_t k = GetParam().k;
  const KdTree<2> tree({data.x.data(), data.z.data()}, data.x.size());
  EXPECT_SAME_BITS(entropy_kl_2d_tree(tree, data.x, data.z, k), bf_entropy({data.x, data.z}, k));
}

TEST_P(AgainstBruteForce, NeighbourRadiiAreExact) {
  const std::uint64_t k = GetParam().k;
  const std::size_t n = data.x.size();
  const KdTree<2> tree2({data.x.data(), data.y.data()}, n);
  const KdTree<3> tree3({data.x.data(), data.y.data(), data.z.data()}, n);
  EXPECT_EQ(knn_eps_2d(tree2, k), bf_radii({data.x, data.y}, k));
  EXPECT_EQ(knn_eps_3d(tree3, k), bf_radii({data.x, data.y, data.z}, k));
}

TEST_P(AgainstBruteForce, ConditionalNeighbourSumIsBitExact) {
  const std::size_t n = data.x.size();
  const KdTree<2> xz({data.x.data(), data.z.data()}, n);
  const KdTree<2> yz({data.y.data(), data.z.data()}, n);
  Column zs = data.z;
  std::sort(zs.begin(), zs.end());
  // Radii from the joint space, and a wider set that puts many points exactly on a boundary.
  const Column joint = bf_radii({data.x, data.y, data.z}, GetParam().k);
  Column wide(n);
  for (std::size_t i = 0; i < n; ++i) wide[i] = static_cast<double>(i % 3) * 0.5 + 1e-7;
  for (const Column* eps : std::initializer_list<const Column*>{&joint, &wide}) {
    EXPECT_SAME_BITS(tree_conditional_sum(*eps, xz, yz, data.x, data.y, data.z, zs),
                     bf_cmi_sum(data.x, data.y, data.z, *eps));
  }
}

TEST_P(AgainstBruteForce, EstimatorsAreBitExact) {
  const std::uint64_t k = GetParam().k;
  const Sample x = view(data.x), y = view(data.y), z = view(data.z);
  for (bool normalize : {false, true}) {
    SCOPED_TRACE(normalize ? "normalized" : "raw");
    EXPECT_SAME_BITS(ksg_mi(x, y, k, normalize), bf_ksg_mi(data.x, data.y, k, normalize));
    EXPECT_SAME_BITS(ksg_cmi(x, y, z, k, normalize), bf_ksg_cmi(data.x, data.y, data.z, k, normalize));
    EXPECT_SAME_BITS(ksg_ii(x, y, z, k, normalize), bf_ksg_ii(data.x, data.y, data.z, k, normalize));
  }
}

std::vector<BruteForceCase> brute_force_cases() {
  std::vector<BruteForceCase> cases;
  for (Shape shape : {Shape::Continuous, Shape::Tied, Shape::Sorted, Shape::Mixed}) {
    for (std::uint64_t k : {1, 3, 7}) cases.push_back({shape, shape == Shape::Tied ? 700u : 300u, k});
  }
  // Longer than one piece of the fixed split.
  cases.push_back({Shape::Continuous, 4500, 3});
  cases.push_back({Shape::Tied, 4500, 4});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, AgainstBruteForce, testing::ValuesIn(brute_force_cases()),
                         [](const testing::TestParamInfo<BruteForceCase>& info) {
                           return shape_name(info.param.shape) + "_n" + std::to_string(info.param.n) + "_k" +
                                  std::to_string(info.param.k);
                         });

// ---------------------------------------------------------------------------------------------------------
// marginal_count edge cases, then a randomized comparison.

struct MarginalCase {
  const char* name;
  Column sorted;
  double centre, radius;
  std::size_t expected;
};

class MarginalCount : public testing::TestWithParam<MarginalCase> {};

TEST_P(MarginalCount, CountsOtherPointsStrictlyInside) {
  const MarginalCase& c = GetParam();
  EXPECT_EQ(marginal_count(c.sorted, c.centre, c.radius), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, MarginalCount,
    testing::Values(MarginalCase{"PointAtRadiusExcluded", {0, 1, 2}, 1.0, 1.0, 0},
                    MarginalCase{"JustInsideIncluded", {0, 1, 2}, 1.0, 1.0000000001, 2},
                    MarginalCase{"DuplicatesOfCentreCount", {1, 1, 1, 5}, 1.0, 1e-7, 2},
                    MarginalCase{"BoundsRoundToCentre", {1e16, 1e16, 1e16}, 1e16, 0.5, 0},
                    MarginalCase{"NaNRadius", {0, 1, 2}, 1.0, kNaN, 0},
                    MarginalCase{"InfiniteRadius", {-5, 0, 1, 2, 7}, 1.0, kInf, 4},
                    MarginalCase{"InfiniteCentre", {0, 1, kInf}, kInf, 1.0, 0},
                    MarginalCase{"Empty", {}, 0.0, 1.0, 0}, MarginalCase{"Single", {3}, 3.0, 1.0, 0},
                    MarginalCase{"SignedZeros", {-1, -0.0, 0.0, 0.0, 1}, 0.0, 1.0, 2}),
    [](const testing::TestParamInfo<MarginalCase>& info) { return std::string(info.param.name); });

TEST(MarginalCountRandom, MatchesScanOfAllValues) {
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<int> small(0, 9);
  std::uniform_real_distribution<double> radius(0.0, 3.0);
  for (std::size_t n : {1u, 2u, 3u, 31u, 64u, 257u}) {
    Column v(n);
    for (double& w : v) w = small(rng) * 0.5;
    Column sorted = v;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < n; ++i) {
      const double r = i % 2 == 0 ? radius(rng) : 0.5 * small(rng);
      EXPECT_EQ(marginal_count(sorted, v[i], r), bf_marginal(v, i, r)) << "n=" << n << " i=" << i;
    }
  }
}

// ---------------------------------------------------------------------------------------------------------
// Quoted check values.

struct CheckValue {
  const char* name;
  std::function<double()> compute;
  double expected;
};

class CheckValues : public testing::TestWithParam<CheckValue> {};

TEST_P(CheckValues, Match) { EXPECT_DOUBLE_EQ(GetParam().compute(), GetParam().expected); }

const Column kRamp{0, 1, 2, 3, 4};
const Column kShuffled{3, 0, 4, 1, 2};
const Column kFlat{0, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Quoted, CheckValues,
    testing::Values(
        CheckValue{"KlHThreePoints", [] { return kl_h(view({0, 1, 3}), 1); }, 2.424196240746594},
        CheckValue{"MiIdentical", [] { return ksg_mi(view(kRamp), view(kRamp), 1, false); },
                   2.083333333333333},
        CheckValue{"MiIdenticalNormalized", [] { return ksg_mi(view(kRamp), view(kRamp), 1, true); },
                   0.7503504249025},
        CheckValue{"MiShuffled", [] { return ksg_mi(view(kRamp), view(kShuffled), 1, false); },
                   0.5833333333333331},
        CheckValue{"MiShuffledNormalized", [] { return ksg_mi(view(kRamp), view(kShuffled), 1, true); },
                   0.21009811897269998},
        CheckValue{"MiTwoLevels",
                   [] { return ksg_mi(view({0, 0, 0, 1, 1, 1}), view({0, 0, 0, 1, 1, 1}), 2, false); },
                   0.28333333333333344},
        CheckValue{"MiTwoLevelsNormalized",
                   [] { return ksg_mi(view({0, 0, 0, 1, 1, 1}), view({0, 0, 0, 1, 1, 1}), 2, true); },
                   0.020035429516867518},
        CheckValue{"CmiConstantZ", [] { return ksg_cmi(view(kRamp), view(kRamp), view(kFlat), 1, false); },
                   2.083333333333333},
        CheckValue{"CmiConstantZNormalized",
                   [] { return ksg_cmi(view(kRamp), view(kRamp), view(kFlat), 1, true); },
                   0.12392500389248033},
        CheckValue{"CmiShuffled", [] { return ksg_cmi(view(kRamp), view(kShuffled), view(kFlat), 1, false); },
                   0.5833333333333333},
        CheckValue{"CmiShuffledNormalized",
                   [] { return ksg_cmi(view(kRamp), view(kShuffled), view(kFlat), 1, true); },
                   0.034699001089894495},
        CheckValue{"CmiOppositeSignsRaw",
                   [] {
                     return ksg_cmi(view({1, 0, 1, 2, 1, 1}), view({0, 3, 0, 0, 2, 2}),
                                    view({1, 1, 0, 0, 0, 0}), 1, false);
                   },
                   0.13888888888888895},
        CheckValue{"CmiOppositeSignsNormalizedUnchanged",
                   [] {
                     return ksg_cmi(view({1, 0, 1, 2, 1, 1}), view({0, 3, 0, 0, 2, 2}),
                                    view({1, 1, 0, 0, 0, 0}), 1, true);
                   },
                   0.13888888888888895},
        CheckValue{"IiAllEqual", [] { return ksg_ii(view(kRamp), view(kRamp), view(kRamp), 1, false); },
                   -2.083333333333333},
        CheckValue{"IiAllEqualNormalized",
                   [] { return ksg_ii(view(kRamp), view(kRamp), view(kRamp), 1, true); }, -1.0},
        CheckValue{"IiShuffled",
                   [] { return ksg_ii(view(kRamp), view(kShuffled), view({3, 1, 6, 4, 6}), 1, false); },
                   -0.08333333333333315},
        CheckValue{"IiShuffledNormalized",
                   [] { return ksg_ii(view(kRamp), view(kShuffled), view({3, 1, 6, 4, 6}), 1, true); },
                   -0.07692307692307677},
        CheckValue{"IiSum",
                   [] {
                     return ksg_ii(view({0, 1, 2, 3, 4, 5}), view({2, 5, 0, 3, 1, 4}),
                                   view({2, 6, 2, 6, 5, 9}), 1, false);
                   },
                   1.1333333333333335},
        CheckValue{"IiSumNormalizedIsOne",
                   [] {
                     return ksg_ii(view({0, 1, 2, 3, 4, 5}), view({2, 5, 0, 3, 1, 4}),
                                   view({2, 6, 2, 6, 5, 9}), 1, true);
                   },
                   1.0}),
    [](const testing::TestParamInfo<CheckValue>& info) { return std::string(info.param.name); });

TEST(KlH, ThreePointsFollowTheFormulaToTheBit) {
  const double expected = std::log(2.0) / 3.0 + ((digamma(3.0) - digamma(1.0)) + 0.6931471805599453);
  EXPECT_SAME_BITS(kl_h(view({0, 1, 3}), 1), expected);
}

TEST(KlH, AllEqualValuesUseTheDistanceFloor) {
  // Any number of repeats is accepted, far beyond one tree bucket.
  for (std::size_t n : {4u, 32u, 33u, 1000u}) {
    double sum = -0.0;
    for (std::size_t i = 0; i < n; ++i) sum += std::log(1e-7);
    const double expected = sum / static_cast<double>(n) +
                            ((digamma(static_cast<double>(n)) - digamma(2.0)) + 0.6931471805599453);
    EXPECT_SAME_BITS(kl_h(view(Column(n, 7.25)), 2), expected) << "n=" << n;
  }
  EXPECT_NEAR(kl_h(view(Column(4, 7.25)), 2), -14.5916, 1e-4);
}

TEST(KlH, TightClusterGivesNegativeEntropy) { EXPECT_LT(kl_h(view({0, 1e-3, 2e-3, 3e-3, 4e-3}), 1), 0.0); }

TEST(KsgIi, VanishingDenominatorGivesExactlyZero) {
  // I(x;y) is exactly 0 here and I(x;y|z) is 0 up to rounding.
  EXPECT_LT(std::fabs(ksg_ii(view({0, 1}), view({0, 0}), view({0, 0}), 1, false)), 1e-15);
  EXPECT_SAME_BITS(ksg_ii(view({0, 1}), view({0, 0}), view({0, 0}), 1, true), 0.0);
}

TEST(KsgMi, ClampsNegativeEstimatesToPositiveZero) {
  // Independent samples: pick the first seed whose raw estimates both come out negative.
  for (std::uint64_t seed = 1; seed < 100; ++seed) {
    const Triple a = make_data(Shape::Continuous, 300, seed),
                 b = make_data(Shape::Continuous, 300, seed + 1000);
    if (bf_raw_mi(a.x, b.x, 3) >= 0.0 || bf_raw_cmi(a.x, b.x, a.z, 3) >= 0.0) continue;
    for (bool normalize : {false, true}) {
      EXPECT_SAME_BITS(ksg_mi(view(a.x), view(b.x), 3, normalize), 0.0);
      EXPECT_SAME_BITS(ksg_cmi(view(a.x), view(b.x), view(a.z), 3, normalize), 0.0);
    }
    return;
  }
  FAIL() << "no seed gave negative raw estimates";
}

// ---------------------------------------------------------------------------------------------------------
// Validation, NaN and infinities.

struct FailureCase {
  const char* name;
  std::function<void()> call;
  std::string message;
  bool validation;  // ValidationError when true, InternalFailure otherwise
};

class Failures : public testing::TestWithParam<FailureCase> {};

TEST_P(Failures, RaiseTheExactError) {
  const FailureCase& c = GetParam();
  try {
    c.call();
    ADD_FAILURE() << "no exception";
  } catch (const ValidationError& e) {
    EXPECT_TRUE(c.validation) << e.what();
    EXPECT_EQ(e.what(), c.message);
  } catch (const InternalFailure& e) {
    EXPECT_FALSE(c.validation) << e.what();
    EXPECT_EQ(e.what(), c.message);
  }
}

const Column kEmpty{};
const Column kThree{1, 2, 3};
const Column kFour{1, 2, 3, 4};
const Column kFive{1, 2, 3, 4, 5};
const Column kNaNFive{1, 2, kNaN, 4, 5};
const std::string kSameXY = "x and y must have same length";
const std::string kSameXYZ = "x, y and z must have same length";
const std::string kNonEmpty = "arrays must be non-empty";
const std::string kNaNFailure = InternalFailure(Failure::kNaN).what();
std::string k_message(int k, int n) {
  return "k must satisfy 1 \u2264 k < n (got k=" + std::to_string(k) + ", n=" + std::to_string(n) + ")";
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Failures,
    testing::Values(
        FailureCase{"KlHEmptyBeforeK", [] { kl_h(view(kEmpty), 0); }, kNonEmpty, true},
        FailureCase{"KlHKZero", [] { kl_h(view(kFive), 0); }, k_message(0, 5), true},
        FailureCase{"KlHKEqualsN", [] { kl_h(view(kFive), 5); }, k_message(5, 5), true},
        FailureCase{"KlHSinglePoint", [] { kl_h(view({2}), 1); }, k_message(1, 1), true},
        FailureCase{"KlHHugeK", [] { kl_h(view(kFive), ~std::uint64_t{0}); },
                    "k must satisfy 1 \u2264 k < n (got k=18446744073709551615, n=5)", true},
        FailureCase{"KlHNaN", [] { kl_h(view(kNaNFive), 2); }, kNaNFailure, false},
        FailureCase{"KlHKBeforeNaN", [] { kl_h(view(kNaNFive), 5); }, k_message(5, 5), true},
        FailureCase{"MiLengthBeforeEmpty", [] { ksg_mi(view(kThree), view(kEmpty), 1, false); }, kSameXY,
                    true},
        FailureCase{"MiEmpty", [] { ksg_mi(view(kEmpty), view(kEmpty), 1, false); }, kNonEmpty, true},
        FailureCase{"MiKEqualsN", [] { ksg_mi(view(kFour), view(kFour), 4, true); }, k_message(4, 4), true},
        FailureCase{"MiKZero", [] { ksg_mi(view(kFour), view(kFour), 0, false); }, k_message(0, 4), true},
        FailureCase{"MiSinglePoint", [] { ksg_mi(view({1}), view({1}), 1, false); }, k_message(1, 1), true},
        FailureCase{"MiNaNInX", [] { ksg_mi(view(kNaNFive), view(kFive), 1, false); }, kNaNFailure, false},
        FailureCase{"MiNaNInY", [] { ksg_mi(view(kFive), view(kNaNFive), 1, true); }, kNaNFailure, false},
        FailureCase{"MiLengthBeforeNaN", [] { ksg_mi(view(kNaNFive), view(kFour), 1, true); }, kSameXY, true},
        FailureCase{"CmiZEmpty", [] { ksg_cmi(view(kThree), view(kThree), view(kEmpty), 1, false); },
                    kSameXYZ, true},
        FailureCase{"CmiYShort", [] { ksg_cmi(view(kThree), view(kFour), view(kThree), 1, false); }, kSameXYZ,
                    true},
        FailureCase{"CmiEmpty", [] { ksg_cmi(view(kEmpty), view(kEmpty), view(kEmpty), 1, false); },
                    kNonEmpty, true},
        FailureCase{"CmiKEqualsN", [] { ksg_cmi(view(kFour), view(kFour), view(kFour), 4, false); },
                    k_message(4, 4), true},
        FailureCase{"CmiKZero", [] { ksg_cmi(view(kFour), view(kFour), view(kFour), 0, false); },
                    k_message(0, 4), true},
        FailureCase{"CmiNaNInX", [] { ksg_cmi(view(kNaNFive), view(kFive), view(kFive), 1, false); },
                    kNaNFailure, false},
        FailureCase{"CmiNaNInY", [] { ksg_cmi(view(kFive), view(kNaNFive), view(kFive), 1, false); },
                    kNaNFailure, false},
        FailureCase{"CmiNaNInZ", [] { ksg_cmi(view(kFive), view(kFive), view(kNaNFive), 1, true); },
                    kNaNFailure, false},
        FailureCase{"IiZEmpty", [] { ksg_ii(view(kThree), view(kThree), view(kEmpty), 1, false); }, kSameXYZ,
                    true},
        FailureCase{"IiEmpty", [] { ksg_ii(view(kEmpty), view(kEmpty), view(kEmpty), 1, false); }, kNonEmpty,
                    true},
        FailureCase{"IiKEqualsN", [] { ksg_ii(view(kFour), view(kFour), view(kFour), 4, true); },
                    k_message(4, 4), true},
        FailureCase{"IiNaNInX", [] { ksg_ii(view(kNaNFive), view(kFive), view(kFive), 1, false); },
                    kNaNFailure, false},
        FailureCase{"IiNaNInY", [] { ksg_ii(view(kFive), view(kNaNFive), view(kFive), 1, false); },
                    kNaNFailure, false},
        FailureCase{"IiNaNInZ", [] { ksg_ii(view(kFive), view(kFive), view(kNaNFive), 1, true); },
                    kNaNFailure, false}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(Validation, LargestValidKIsAccepted) {
  EXPECT_NO_THROW(kl_h(view(kFive), 4));
  EXPECT_NO_THROW(ksg_mi(view(kFour), view(kFour), 3, true));
  EXPECT_NO_THROW(ksg_cmi(view(kFour), view(kFour), view(kFour), 3, true));
  EXPECT_NO_THROW(ksg_ii(view(kFour), view(kFour), view(kFour), 3, true));
}

TEST(Infinities, DoNotCrashOrHang) {
  const Column x{0, kInf, 1, -kInf, 2, kInf, 3, 4, -kInf, 5, 6, kInf};
  const Column y{1, 2, kInf, 3, -kInf, 4, kInf, 5, 6, 7, -kInf, 8};
  const Column z{kInf, 0, 0, 1, 1, -kInf, 2, 2, 3, 3, kInf, kInf};
  for (std::uint64_t k : {1, 3, 11}) {
    for (bool normalize : {false, true}) {
      EXPECT_NO_THROW(kl_h(view(x), k));
      EXPECT_NO_THROW(ksg_mi(view(x), view(y), k, normalize));
      EXPECT_NO_THROW(ksg_cmi(view(x), view(y), view(z), k, normalize));
      EXPECT_NO_THROW(ksg_ii(view(x), view(y), view(z), k, normalize));
    }
  }
  // One infinite value among finite ones has an infinite neighbour distance.
  EXPECT_EQ(kl_h(view({0, 1, 2, kInf}), 1), kInf);
}

// ---------------------------------------------------------------------------------------------------------
// Identities.

TEST(Identities, ConstantZReducesCmiToMi) {
  // Values on a 1/1024 grid keep every difference and every rounded bound exact, so the tree's distance
  // test and the marginal bounds agree on which neighbours lie strictly inside.
  for (Shape shape : {Shape::Continuous, Shape::Sorted}) {
    Triple d = make_data(shape, 600, 3);
    for (Column* c : {&d.x, &d.y}) {
      for (double& v : *c) v = std::round(v * 1024.0) / 1024.0;
    }
    const Column flat(d.x.size(), -2.0);
    const double mi = ksg_mi(view(d.x), view(d.y), 3, false);
    ASSERT_GT(mi, 0.1);
    EXPECT_NEAR(ksg_cmi(view(d.x), view(d.y), view(flat), 3, false), mi, 1e-12);
    EXPECT_NEAR(ksg_ii(view(d.x), view(d.y), view(flat), 3, false), 0.0, 1e-12);
  }
}

TEST(Identities, SwappingXAndY) {
  for (Shape shape : {Shape::Continuous, Shape::Tied, Shape::Sorted}) {
    const Triple d = make_data(shape, 700, 4);
    for (bool normalize : {false, true}) {
      // The per-point terms are sums of the same two values, so the swap is exact for ksg_mi.
      EXPECT_SAME_BITS(ksg_mi(view(d.y), view(d.x), 2, normalize),
                       ksg_mi(view(d.x), view(d.y), 2, normalize));
      EXPECT_NEAR(ksg_cmi(view(d.y), view(d.x), view(d.z), 2, normalize),
                  ksg_cmi(view(d.x), view(d.y), view(d.z), 2, normalize), 1e-12);
      EXPECT_NEAR(ksg_ii(view(d.y), view(d.x), view(d.z), 2, normalize),
                  ksg_ii(view(d.x), view(d.y), view(d.z), 2, normalize), 1e-12);
    }
  }
}

TEST(Identities, InteractionIsCmiMinusMiWhenNeitherIsClamped) {
  for (Shape shape : {Shape::Continuous, Shape::Sorted}) {
    const Triple d = make_data(shape, 700, 6);
    const double mi = ksg_mi(view(d.x), view(d.y), 3, false);
    const double cmi = ksg_cmi(view(d.x), view(d.y), view(d.z), 3, false);
    ASSERT_GT(mi, 0.0);
    ASSERT_GT(cmi, 0.0);
    EXPECT_NEAR(ksg_ii(view(d.x), view(d.y), view(d.z), 3, false), cmi - mi, 1e-12);
  }
}

TEST(Identities, NormalizedResultsStayInRange) {
  for (Shape shape : {Shape::Continuous, Shape::Tied, Shape::Sorted, Shape::Mixed}) {
    const Triple d = make_data(shape, 500, 7);
    for (std::uint64_t k : {1, 5}) {
      const double mi = ksg_mi(view(d.x), view(d.y), k, true);
      const double cmi = ksg_cmi(view(d.x), view(d.y), view(d.z), k, true);
      const double ii = ksg_ii(view(d.x), view(d.y), view(d.z), k, true);
      // An unusable denominator (entropies of opposite signs) leaves the estimates unnormalized.
      EXPECT_TRUE(mi >= 0.0 && (mi <= 1.0 || mi == ksg_mi(view(d.x), view(d.y), k, false))) << mi;
      EXPECT_TRUE(cmi >= 0.0 && (cmi <= 1.0 || cmi == ksg_cmi(view(d.x), view(d.y), view(d.z), k, false)))
          << cmi;
      EXPECT_TRUE(ii >= -1.0 && ii <= 1.0) << ii;
    }
  }
}

TEST(Identities, StridedAndReversedViewsMatchCopies) {
  const Triple d = make_data(Shape::Continuous, 3000, 8);
  const std::size_t n = d.x.size() / 2;
  // Every other element, read forwards and backwards.
  auto strided = [&](const Column& c) { return Sample(c.data(), n, 2 * sizeof(double)); };
  auto reversed = [&](const Column& c) {
    return Sample(c.data() + 2 * (n - 1), n, -2 * static_cast<std::ptrdiff_t>(sizeof(double)));
  };
  auto copy_of = [](Sample s) {
    Column c(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) c[i] = s[i];
    return c;
  };
  for (auto make :
       {std::function<Sample(const Column&)>(strided), std::function<Sample(const Column&)>(reversed)}) {
    const Column x = copy_of(make(d.x)), y = copy_of(make(d.y)), z = copy_of(make(d.z));
    EXPECT_SAME_BITS(kl_h(make(d.x), 3), kl_h(view(x), 3));
    EXPECT_SAME_BITS(ksg_mi(make(d.x), make(d.y), 3, true), ksg_mi(view(x), view(y), 3, true));
    EXPECT_SAME_BITS(ksg_cmi(make(d.x), make(d.y), make(d.z), 3, true),
                     ksg_cmi(view(x), view(y), view(z), 3, true));
    EXPECT_SAME_BITS(ksg_ii(make(d.x), make(d.y), make(d.z), 3, true),
                     ksg_ii(view(x), view(y), view(z), 3, true));
  }
  const Column r{d.x.rbegin(), d.x.rend()};
  EXPECT_EQ(copy_of(Sample(d.x.data() + d.x.size() - 1, d.x.size(), -8)), r);
}

TEST(Identities, RepeatedRunsGiveIdenticalBits) {
  const Triple d = make_data(Shape::Continuous, 20000, 9);
  const double mi = ksg_mi(view(d.x), view(d.y), 3, true);
  const double cmi = ksg_cmi(view(d.x), view(d.y), view(d.z), 3, true);
  const double ii = ksg_ii(view(d.x), view(d.y), view(d.z), 3, true);
  for (int run = 0; run < 3; ++run) {
    EXPECT_SAME_BITS(ksg_mi(view(d.x), view(d.y), 3, true), mi);
    EXPECT_SAME_BITS(ksg_cmi(view(d.x), view(d.y), view(d.z), 3, true), cmi);
    EXPECT_SAME_BITS(ksg_ii(view(d.x), view(d.y), view(d.z), 3, true), ii);
  }
}

// ---------------------------------------------------------------------------------------------------------
// The rank-space routines against the tree-based ones and against scans, to the bit.

detail::RankedSample ranked(const Column& c) { return detail::rank_sample(c); }

TEST_P(AgainstBruteForce, SortedEntropyMatchesTheTree) {
  const std::size_t n = data.x.size();
  for (const Column* c : {&data.x, &data.y, &data.z}) {
    const KdTree<1> tree({c->data()}, n);
    const detail::RankedSample r = ranked(*c);
    for (std::uint64_t k : {GetParam().k, std::uint64_t{n - 1}}) {
      EXPECT_SAME_BITS(entropy_kl_1d_sorted(r.sorted, r.order, k), entropy_kl_1d_tree(tree, *c, k))
          << "k=" << k;
    }
  }
}

TEST_P(AgainstBruteForce, RankedSumsMatchTheTreeSums) {
  const std::size_t n = data.x.size();
  const detail::RankedSample rx = ranked(data.x), ry = ranked(data.y), rz = ranked(data.z);
  const Column mi_eps = bf_radii({data.x, data.y}, GetParam().k);
  EXPECT_SAME_BITS(ranked_marginal_sum(mi_eps, rx, ry), bf_mi_sum(data.x, data.y, GetParam().k));
  EXPECT_SAME_BITS(ranked_marginal_sum(mi_eps, rx, ry),
                   searched_marginal_sum(mi_eps, data.x, data.y, rx.sorted, ry.sorted));

  const KdTree<2> xz({data.x.data(), data.z.data()}, n);
  const KdTree<2> yz({data.y.data(), data.z.data()}, n);
  Column wide(n);
  for (std::size_t i = 0; i < n; ++i) wide[i] = static_cast<double>(i % 3) * 0.5 + 1e-7;
  const Column joint = bf_radii({data.x, data.y, data.z}, GetParam().k);
  for (const Column* eps : std::initializer_list<const Column*>{&joint, &wide}) {
    EXPECT_SAME_BITS(ranked_conditional_sum(*eps, rx, ry, rz),
                     tree_conditional_sum(*eps, xz, yz, data.x, data.y, data.z, rz.sorted));
  }
}

TEST(RankSample, IsTheStableSortAndItsInverse) {
  const Column v{3.0, -0.0, 1.0, 0.0, 3.0, -2.5, 0.0, -0.0};
  const detail::RankedSample r = ranked(v);
  const std::vector<std::uint32_t> order{5, 1, 3, 6, 7, 2, 0, 4};
  EXPECT_EQ(r.order, order);
  for (std::size_t p = 0; p < v.size(); ++p) {
    EXPECT_SAME_BITS(r.sorted[p], v[r.order[p]]);
    EXPECT_EQ(r.position[r.order[p]], p);
  }
}

// Searches from every hint give the boundaries a scan of all values gives.
TEST(RankSearches, MatchScansFromAnyHint) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> level(0, 12);
  std::uniform_real_distribution<double> radius(1e-7, 4.0);
  for (std::size_t n : {1u, 2u, 7u, 64u, 300u}) {
    Column v(n);
    for (double& w : v) w = level(rng) * 0.25 - 1.0;
    const detail::RankedSample r = ranked(v);
    const ValueBuckets buckets(r.sorted);
    ASSERT_EQ(buckets.usable(), n >= 2 && r.sorted.front() < r.sorted.back());
    // Without usable buckets the searches start from guesses.
    const ValueBuckets none(std::span<const double>{});
    ASSERT_FALSE(none.usable());
    for (std::size_t i = 0; i < n; ++i) {
      const double c = v[i];
      const double rad = i % 4 == 0 ? 0.25 * (1 + level(rng) % 4) : radius(rng);
      std::size_t at_or_below = 0, below = 0, far_left = 0, near_or_left = 0;
      for (double w : v) {
        at_or_below += w <= c - rad;
        below += w < c + rad;
        far_left += w < c && !(std::fabs(w - c) < rad);
        near_or_left += w <= c || std::fabs(w - c) < rad;
      }
      for (std::size_t trial = 0; trial < 4; ++trial) {
        const PositionRange hints{rng() % n, rng() % n};
        const PositionRange bounds = marginal_bounds(r.sorted, none, r.position[i], hints, c, rad);
        EXPECT_EQ(bounds.first, at_or_below);
        EXPECT_EQ(bounds.last, below);
        const PositionRange from = marginal_bounds_from(r.sorted, hints, c, rad);
        EXPECT_EQ(from.first, at_or_below);
        EXPECT_EQ(from.last, below);
        const PositionRange near = closer_than(r.sorted, none, r.position[i], hints, c, rad);
        EXPECT_EQ(near.first, far_left);
        EXPECT_EQ(near.last, near_or_left);
        const PositionRange by_bucket = marginal_bounds(r.sorted, buckets, r.position[i], hints, c, rad);
        EXPECT_EQ(by_bucket.first, at_or_below);
        EXPECT_EQ(by_bucket.last, below);
        const PositionRange near_by_bucket = closer_than(r.sorted, buckets, r.position[i], hints, c, rad);
        EXPECT_EQ(near_by_bucket.first, far_left);
        EXPECT_EQ(near_by_bucket.last, near_or_left);
      }
    }
  }
}

// Every threshold boundary lies in the bucket range of its threshold, on clustered, tied, heavy-tailed and
// extreme-valued samples and at thresholds on, between and outside the values.
TEST(ValueBuckets, RangeHoldsEveryThresholdBoundary) {
  std::mt19937_64 rng(13);
  std::cauchy_distribution<double> heavy(0.0, 1.0);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const std::string shape : {"normal", "cauchy", "tied", "two", "extreme", "subnormal"}) {
    for (std::size_t n : {2u, 3u, 100u, 5000u}) {
      Column v(n);
      for (std::size_t i = 0; i < n; ++i) {
        double w = normal(rng);
        if (shape == "cauchy") w = heavy(rng);
        if (shape == "tied") w = static_cast<double>(rng() % 4);
        if (shape == "two") w = i % 2 == 0 ? -0.0 : 1.0;
        if (shape == "extreme") w = i % 3 == 0 ? -8e307 : (i % 3 == 1 ? 8e307 : normal(rng));
        if (shape == "subnormal") w = static_cast<double>(rng() % 64) * 4.9406564584124654e-324;
        v[i] = w;
      }
      std::sort(v.begin(), v.end());
      const ValueBuckets buckets(v);
      if (!buckets.usable()) {
        EXPECT_TRUE(shape == "subnormal" || v.front() == v.back()) << shape << " " << n;
        continue;
      }
      Column thresholds{-kInf, kInf, kNaN, v.front(), v.back(), std::nextafter(v.back(), kInf), -0.0, 0.0};
      for (std::size_t t = 0; t < 200; ++t) {
        const double w = v[rng() % n];
        thresholds.push_back(w);
        thresholds.push_back(std::nextafter(w, kInf));
        thresholds.push_back(std::nextafter(w, -kInf));
        thresholds.push_back(w + normal(rng) * 0.01);
      }
      for (const double t : thresholds) {
        const std::size_t at_or_below = std::count_if(v.begin(), v.end(), [t](double w) { return w <= t; });
        const std::size_t below = std::count_if(v.begin(), v.end(), [t](double w) { return w < t; });
        const PositionRange range = buckets.around(t);
        ASSERT_LE(range.first, range.last);
        ASSERT_LE(range.last, n);
        EXPECT_TRUE(range.first <= below && below <= range.last) << shape << " " << n << " t=" << t;
        EXPECT_TRUE(range.first <= at_or_below && at_or_below <= range.last)
            << shape << " " << n << " t=" << t;
      }
    }
  }
}

// Samples whose span is empty, infinite, overflowing or too narrow for the bucket arithmetic get no buckets.
TEST(ValueBuckets, UnusableWithoutAFiniteNonZeroSpan) {
  const Column tiny(5000, 0.0);
  Column denormal = tiny;
  denormal.back() = 4.9406564584124654e-324;
  for (const Column& v : std::vector<Column>{
           {}, {1.0}, {2.0, 2.0, 2.0}, {-kInf, 0.0, 1.0}, {0.0, 1.0, kInf}, {-1.7e308, 1.7e308}, denormal}) {
    EXPECT_FALSE(ValueBuckets(v).usable()) << v.size();
  }
  EXPECT_TRUE(ValueBuckets(Column{-1e300, 1e300}).usable());
}

TEST(CountInRectangles, MatchesAScan) {
  std::mt19937_64 rng(12);
  for (std::size_t n : {0u, 1u, 5u, 64u, 65u, 1000u}) {
    std::vector<std::uint32_t> b_at_a(n);
    for (std::size_t a = 0; a < n; ++a) b_at_a[a] = static_cast<std::uint32_t>(a);
    std::shuffle(b_at_a.begin(), b_at_a.end(), rng);
    std::vector<RankRectangle> rectangles;
    const auto bound = [&] { return static_cast<std::uint32_t>(rng() % (n + 1)); };
    for (std::size_t q = 0; q < 2 * n + 3; ++q) {
      std::uint32_t a0 = bound(), a1 = bound(), b0 = bound(), b1 = bound();
      if (a0 > a1) std::swap(a0, a1);
      if (b0 > b1) std::swap(b0, b1);
      rectangles.push_back({a0, a1, b0, b1});
    }
    const auto n32 = static_cast<std::uint32_t>(n);
    rectangles.push_back({0, n32, 0, n32});
    rectangles.push_back({n32, n32, 0, n32});
    const std::vector<std::uint32_t> got = count_in_rectangles(b_at_a, rectangles);
    ASSERT_EQ(got.size(), rectangles.size());
    for (std::size_t q = 0; q < rectangles.size(); ++q) {
      const RankRectangle& r = rectangles[q];
      std::uint32_t want = 0;
      for (std::uint32_t a = r.a_lo; a < r.a_hi; ++a) want += b_at_a[a] >= r.b_lo && b_at_a[a] < r.b_hi;
      EXPECT_EQ(got[q], want) << "n=" << n << " q=" << q;
    }
  }
}

TEST(RunConcurrently, RunsEveryTaskOnce) {
  for (std::size_t count : {1u, 2u, 3u, 17u}) {
    std::vector<std::atomic<int>> runs(count);
    pool::parallel_tasks(count, pool::kPoolWorthNs, [&](std::size_t t) { ++runs[t]; });
    for (std::size_t t = 0; t < count; ++t) EXPECT_EQ(runs[t].load(), 1) << count;
  }
}

TEST(DifferencesFinite, RejectsInfinitiesNaNAndOverflow) {
  EXPECT_TRUE(detail::differences_finite(Column{}));
  EXPECT_TRUE(detail::differences_finite(Column{-1e307, 1e307}));
  EXPECT_FALSE(detail::differences_finite(Column{-1e308, 1e308}));
  EXPECT_FALSE(detail::differences_finite(Column{0.0, kInf}));
  EXPECT_FALSE(detail::differences_finite(Column{1.0, kNaN, 2.0}));
}

TEST(PsiTable, HoldsTheDirectValues) {
  const double* table = detail::psi_table();
  for (std::size_t c : {0u, 1u, 5u, 6u, 1000u, 65535u, 65536u, 1000000u}) {
    EXPECT_SAME_BITS(detail::psi_of_count(table, c), digamma(static_cast<double>(c) + 1.0)) << c;
  }
}

// Above the sizes at which the trees build in parallel and the passes run on the pool, the rank-space
// sums agree with the tree-based ones to the bit.
TEST(LargeSamples, RankedAndTreePathsAgree) {
  for (Shape shape : {Shape::Continuous, Shape::Tied}) {
    const Triple d = make_data(shape, 70000, 21);
    const detail::RankedSample rx = ranked(d.x), ry = ranked(d.y), rz = ranked(d.z);
    EXPECT_SAME_BITS(mutual_sum(d.x, d.y, &rx, &ry, 3), mutual_sum(d.x, d.y, nullptr, nullptr, 3));
    EXPECT_SAME_BITS(conditional_sum(d.x, d.y, d.z, &rx, &ry, &rz, 3),
                     conditional_sum(d.x, d.y, d.z, nullptr, nullptr, nullptr, 3));
    const KdTree<1> tree({d.z.data()}, d.z.size(), detail::tree_tasks());
    EXPECT_SAME_BITS(entropy_kl_1d_sorted(rz.sorted, rz.order, 3), entropy_kl_1d_tree(tree, d.z, 3));
  }
}

}  // namespace
}  // namespace quorlix::info
