// KdTree queries checked against a scan of every stored point, over dimensions, layouts and sizes.
#include "kdtree/kdtree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kdtree/chebyshev.hpp"
#include "kdtree/select.hpp"

namespace quorlix {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) {
  return (a != a && b != b) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
bool nan_last(double a, double b) { return a < b || (b != b && a == a); }

enum class Layout { kContinuous, kAllEqual, kFewValues, kMonotone, kInfinite, kWithNaN };

template <std::size_t K>
struct Cloud {
  std::array<std::vector<double>, K> coords;

  std::size_t size() const { return coords[0].size(); }
  std::array<double, K> point(std::size_t i) const {
    std::array<double, K> p;
    for (std::size_t a = 0; a < K; ++a) p[a] = coords[a][i];
    return p;
  }
  KdTree<K> tree() const {
    std::array<const double*, K> columns;
    for (std::size_t a = 0; a < K; ++a) columns[a] = coords[a].data();
    return KdTree<K>(columns, size());
  }
};

template <std::size_t K>
Cloud<K> make_cloud(Layout layout, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> digit(0, 9);
  Cloud<K> cloud;
  for (std::size_t a = 0; a < K; ++a) {
    cloud.coords[a].resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      double& v = cloud.coords[a][i];
      switch (layout) {
        case Layout::kContinuous:
          v = unit(rng);
          break;
        case Layout::kAllEqual:
          v = 0.25;
          break;
        case Layout::kFewValues:
          v = digit(rng);
          break;
        case Layout::kMonotone:
          v = a == 1 ? -0.5 * static_cast<double>(i) : static_cast<double>(i * (a + 1));
          break;
        case Layout::kInfinite: {
          const int d = digit(rng);
          v = d == 0 ? kInf : d == 1 ? -kInf : d - 5;
          break;
        }
        case Layout::kWithNaN:
          v = digit(rng) == 0 ? kNaN : unit(rng);
          break;
      }
    }
  }
  return cloud;
}

template <std::size_t K>
std::vector<std::array<double, K>> make_queries(const Cloud<K>& cloud, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> wide(-2.0, 12.0);
  const double specials[] = {kInf, -kInf, 0.0, 3.0};
  std::vector<std::array<double, K>> queries;
  for (std::size_t j = 0; j < 6 && j < cloud.size(); ++j) {
    queries.push_back(cloud.point(j * cloud.size() / 6));
  }
  for (int j = 0; j < 6; ++j) {
    std::array<double, K> q;
    for (auto& v : q) v = j < 4 ? wide(rng) : specials[rng() % 4];
    queries.push_back(q);
  }
  return queries;
}

// The brute-force reference: the distance from q to every point of the cloud, item by item, by the max-norm
// fold written out here (terms in axis order, a NaN term ignored unless every term is NaN).
template <std::size_t K>
std::vector<double> scan_distances(const Cloud<K>& cloud, const std::array<double, K>& q) {
  std::vector<double> d(cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    double m = std::fabs(cloud.coords[0][i] - q[0]);
    for (std::size_t a = 1; a < K; ++a) {
      const double t = std::fabs(cloud.coords[a][i] - q[a]);
      if (t > m || std::isnan(m)) m = t;
    }
    d[i] = m;
  }
  return d;
}

// The distances in ascending order, NaN last.
std::vector<double> sorted_distances(std::vector<double> d) {
  std::sort(d.begin(), d.end(), nan_last);
  return d;
}

// The n-th smallest of the sorted distances, or the largest when there are fewer than n.
double nth_of(const std::vector<double>& sorted, std::size_t n) {
  return sorted[std::min(n, sorted.size()) - 1];
}

// The number of distances strictly below r.
std::size_t scan_count(const std::vector<double>& d, double r) {
  return static_cast<std::size_t>(std::count_if(d.begin(), d.end(), [r](double x) { return x < r; }));
}

// Every stored point's n-th nearest distance from the leaf-batch query over all leaves, by leaf position;
// checks that each position is reported once, in order.
template <std::size_t K>
std::vector<double> batch_distances(const KdTree<K>& tree, std::size_t n) {
  std::vector<double> got;
  tree.stored_nth_distances(0, tree.leaf_count(), n, [&](std::size_t position, double d) {
    EXPECT_EQ(position, got.size());
    got.push_back(d);
  });
  EXPECT_EQ(got.size(), tree.size());
  return got;
}

template <class T>
class KdTreeTest : public ::testing::Test {};
using Dimensions =
    ::testing::Types<std::integral_constant<std::size_t, 1>, std::integral_constant<std::size_t, 2>,
                     std::integral_constant<std::size_t, 3>>;
TYPED_TEST_SUITE(KdTreeTest, Dimensions);

TYPED_TEST(KdTreeTest, QueriesMatchScanOfAllPoints) {
  constexpr std::size_t K = TypeParam::value;
  const Layout layouts[] = {Layout::kContinuous, Layout::kAllEqual, Layout::kFewValues, Layout::kMonotone,
                            Layout::kInfinite};
  for (const Layout layout : layouts) {
    for (const std::size_t n : {0, 1, 31, 32, 33, 1000, 20000}) {
      SCOPED_TRACE("layout " + std::to_string(static_cast<int>(layout)) + ", n " + std::to_string(n));
      const auto cloud = make_cloud<K>(layout, n, 7 * n + static_cast<std::uint64_t>(layout));
      const auto tree = cloud.tree();
      ASSERT_EQ(tree.size(), n);
      for (const auto& q : make_queries(cloud, n + 1)) {
        const auto d = scan_distances(cloud, q);
        const auto sorted = sorted_distances(d);
        // Counts up to the whole tree and past it; 40 takes the heap on finite data as well.
        for (const std::size_t count : {std::size_t{1}, std::size_t{4}, std::size_t{40}, n, n + 3}) {
          if (count == 0 || n == 0) continue;
          EXPECT_TRUE(same_bits(tree.nth_nearest_distance(q, count), nth_of(sorted, count)))
              << "count " << count;
        }
        // Radii exactly at a stored point's distance and at the 4th-nearest distance put points
        // on the boundary of the strict test.
        std::vector<double> radii = {0.0, 0.5, 1.0, 2.0, kInf};
        if (n > 0) {
          radii.push_back(d[n / 2]);
          radii.push_back(nth_of(sorted, 4));
        }
        for (const double r : radii) EXPECT_EQ(tree.count_within(q, r), scan_count(d, r)) << "radius " << r;
      }
    }
  }
}

TYPED_TEST(KdTreeTest, LeafOrderIsPermutationAndDepthIsLogarithmic) {
  constexpr std::size_t K = TypeParam::value;
  for (const Layout layout : {Layout::kAllEqual, Layout::kMonotone, Layout::kFewValues, Layout::kWithNaN}) {
    for (const std::size_t n : {0, 1, 32, 33, 100000}) {
      const auto tree = make_cloud<K>(layout, n, n).tree();
      std::vector<std::uint64_t> order(tree.leaf_order().begin(), tree.leaf_order().end());
      std::sort(order.begin(), order.end());
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(order[i], i);
      ASSERT_EQ(order.size(), n);
      // Leaves hold at most 32 points, so a balanced tree needs ceil(log2(n / 32)) levels, and every leaf
      // sits at that depth.
      const std::size_t depth = n <= 32 ? 0u : static_cast<std::size_t>(std::bit_width((n - 1) / 32));
      EXPECT_EQ(tree.leaf_count(), std::size_t{1} << depth);
    }
  }
}

// With NaN coordinates the answers stay exact: a box is NaN on an axis where any of its points is, so a
// point whose NaN term the fold ignores is never pruned by that axis, and NaN distances rank last.
TYPED_TEST(KdTreeTest, NaNCoordinatesAnswerExactly) {
  constexpr std::size_t K = TypeParam::value;
  const auto cloud = make_cloud<K>(Layout::kWithNaN, 5000, 3);
  const auto tree = cloud.tree();
  std::array<double, K> nan_query;
  nan_query.fill(kNaN);
  auto queries = make_queries(cloud, 4);
  queries.push_back(nan_query);
  for (const auto& q : queries) {
    const auto d = scan_distances(cloud, q);
    const auto sorted = sorted_distances(d);
    for (const std::size_t count : {std::size_t{10}, std::size_t{40}}) {
      EXPECT_TRUE(same_bits(tree.nth_nearest_distance(q, count), nth_of(sorted, count))) << "count " << count;
    }
    for (const double r : {0.1, 1.0, kInf, kNaN}) EXPECT_EQ(tree.count_within(q, r), scan_count(d, r));
    EXPECT_EQ(tree.count_within(q, kNaN), 0u);
  }
}

template <class F>
void expect_internal_failure(F call, Failure failure) {
  try {
    call();
    ADD_FAILURE() << "expected InternalFailure";
  } catch (const InternalFailure& e) {
    EXPECT_EQ(e.failure(), failure) << e.what();
  }
}

TYPED_TEST(KdTreeTest, ZeroNeighboursFailsAndEmptyTreeAnswersNothing) {
  constexpr std::size_t K = TypeParam::value;
  const auto empty = make_cloud<K>(Layout::kContinuous, 0, 1).tree();
  const auto one = make_cloud<K>(Layout::kContinuous, 1, 1).tree();
  const std::array<double, K> q{};
  const auto ignore = [](std::size_t, double) {};
  EXPECT_EQ(empty.count_within(q, kInf), 0u);
  EXPECT_EQ(empty.leaf_order().size(), 0u);
  expect_internal_failure([&] { one.nth_nearest_distance(q, 0); }, Failure::kNoNeighbours);
  expect_internal_failure([&] { one.stored_nth_distances(0, one.leaf_count(), 0, ignore); },
                          Failure::kNoNeighbours);
  // An empty tree has no n-th nearest distance to report.
  expect_internal_failure([&] { empty.nth_nearest_distance(q, 1); }, Failure::kNoNeighbours);
  expect_internal_failure([&] { empty.stored_nth_distances(0, empty.leaf_count(), 1, ignore); },
                          Failure::kNoNeighbours);
}

TYPED_TEST(KdTreeTest, CapacityAboveTwoToThe36Fails) {
  constexpr std::size_t K = TypeParam::value;
  const std::array<const double*, K> none{};
  expect_internal_failure([&] { KdTree<K>(none, (std::size_t{1} << 36) + 1); },
                          Failure::kTooManyPoints);
}

// Runs the tasks on threads of its own, all at once, as the estimators' pool would.
KdTreeTasks threaded_tasks() {
  return [](std::size_t count, std::size_t, const std::function<void(std::size_t)>& task) {
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < count; ++t) threads.emplace_back(task, t);
    for (auto& thread : threads) thread.join();
  };
}

// From each stored point, the n-th smallest distance to all stored points, itself included.
TYPED_TEST(KdTreeTest, StoredPointQueriesMatchScanOfAllPoints) {
  constexpr std::size_t K = TypeParam::value;
  for (const Layout layout :
       {Layout::kContinuous, Layout::kAllEqual, Layout::kFewValues, Layout::kMonotone}) {
    for (const std::size_t n : {1, 31, 33, 2000, 70000}) {
      SCOPED_TRACE("layout " + std::to_string(static_cast<int>(layout)) + ", n " + std::to_string(n));
      const auto cloud = make_cloud<K>(layout, n, 3 * n + static_cast<std::uint64_t>(layout));
      std::array<const double*, K> columns;
      for (std::size_t a = 0; a < K; ++a) columns[a] = cloud.coords[a].data();
      const KdTree<K> tree(columns, n, threaded_tasks());
      const auto items = tree.leaf_order();
      // Every size of short list: the exact ones up to 8, then 16 and 32, and the heap beyond.
      const std::size_t counts[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 32, 33};
      std::vector<std::vector<double>> batches;
      for (const std::size_t count : counts) batches.push_back(batch_distances(tree, count));
      for (std::size_t j = 0; j < n; j += n > 100 ? n / 37 : 1) {
        const auto q = tree.point_at(j);
        ASSERT_EQ(q, cloud.point(items[j]));
        const auto sorted = sorted_distances(scan_distances(cloud, q));
        for (std::size_t c = 0; c < std::size(counts); ++c) {
          const double want = nth_of(sorted, counts[c]);
          EXPECT_TRUE(same_bits(batches[c][j], want)) << "position " << j << " count " << counts[c];
          EXPECT_TRUE(same_bits(tree.nth_nearest_distance(q, counts[c]), want))
              << "position " << j << " count " << counts[c];
        }
      }
    }
  }
}

// The leaf-at-a-time queries give every position once, in order, with the distance of the one-point query;
// on finite data (short lists) and where the heap takes over (infinite and NaN coordinates, long lists).
TYPED_TEST(KdTreeTest, LeafBatchesMatchSinglePointQueries) {
  constexpr std::size_t K = TypeParam::value;
  for (const Layout layout : {Layout::kContinuous, Layout::kAllEqual, Layout::kFewValues, Layout::kMonotone,
                              Layout::kInfinite, Layout::kWithNaN}) {
    for (const std::size_t n : {1, 2, 17, 33, 5000}) {
      SCOPED_TRACE("layout " + std::to_string(static_cast<int>(layout)) + ", n " + std::to_string(n));
      const auto tree = make_cloud<K>(layout, n, 7 * n + static_cast<std::uint64_t>(layout)).tree();
      for (const std::size_t count : {1, 3, 4, 8, 9, 16, 32, 40}) {
        std::vector<double> got;
        std::vector<std::size_t> positions;
        // Two batches of leaves, split unevenly, as a pool would hand them out.
        const std::size_t cut = tree.leaf_count() / 3;
        for (const auto& [first, last] :
             {std::pair{std::size_t{0}, cut}, std::pair{cut, tree.leaf_count()}}) {
          tree.stored_nth_distances(first, last, count, [&](std::size_t position, double d) {
            positions.push_back(position);
            got.push_back(d);
          });
        }
        ASSERT_EQ(positions.size(), n);
        for (std::size_t j = 0; j < n; ++j) {
          ASSERT_EQ(positions[j], j);
          EXPECT_TRUE(same_bits(got[j], tree.nth_nearest_distance(tree.point_at(j), count)))
              << j << " " << count;
        }
      }
      EXPECT_THROW(tree.stored_nth_distances(0, tree.leaf_count(), 0, [](std::size_t, double) {}),
                   InternalFailure);
    }
  }
}

// Where the short list does not apply (long lists, infinite or NaN coordinates) the heap answers, exactly.
TYPED_TEST(KdTreeTest, StoredPointQueriesFallBackOnTheHeap) {
  constexpr std::size_t K = TypeParam::value;
  for (const Layout layout : {Layout::kInfinite, Layout::kWithNaN, Layout::kContinuous}) {
    const auto cloud = make_cloud<K>(layout, 3000, 17);
    const auto tree = cloud.tree();
    const auto items = tree.leaf_order();
    for (const std::size_t count : {std::size_t{4}, std::size_t{40}}) {
      const auto batch = batch_distances(tree, count);
      for (std::size_t j = 0; j < tree.size(); j += 97) {
        const auto q = tree.point_at(j);
        const double got = tree.nth_nearest_distance(q, count);
        EXPECT_TRUE(same_bits(batch[j], got)) << j << " " << count;
        const double want = nth_of(sorted_distances(scan_distances(cloud, cloud.point(items[j]))), count);
        EXPECT_TRUE(same_bits(got, want)) << j << " " << count;
      }
    }
  }
}

// Smaller leaves, as the estimators ask for (down to one point, which leaves some leaves empty), answer
// alike: single queries, leaf batches and counts all match the scan.
TYPED_TEST(KdTreeTest, SmallBucketsMatchScanOfAllPoints) {
  constexpr std::size_t K = TypeParam::value;
  for (const std::size_t bucket : {1, 5, 16}) {
    for (const std::size_t n : {3, 100, 5000}) {
      SCOPED_TRACE("bucket " + std::to_string(bucket) + ", n " + std::to_string(n));
      const auto cloud = make_cloud<K>(Layout::kFewValues, n, n + bucket);
      std::array<const double*, K> columns;
      for (std::size_t a = 0; a < K; ++a) columns[a] = cloud.coords[a].data();
      const KdTree<K> tree(columns, n, {}, bucket);
      const auto items = tree.leaf_order();
      for (const std::size_t count : {1, 3, 40}) {
        const auto batch = batch_distances(tree, count);
        for (std::size_t j = 0; j < n; j += n / 20 + 1) {
          const auto d = scan_distances(cloud, cloud.point(items[j]));
          EXPECT_TRUE(same_bits(batch[j], nth_of(sorted_distances(d), count))) << j << " " << count;
          EXPECT_TRUE(same_bits(tree.nth_nearest_distance(tree.point_at(j), count), batch[j]));
          EXPECT_EQ(tree.count_within(tree.point_at(j), 2.0), scan_count(d, 2.0));
        }
      }
    }
  }
}

TYPED_TEST(KdTreeTest, BuildingWithTasksGivesTheSameTree) {
  constexpr std::size_t K = TypeParam::value;
  for (const Layout layout : {Layout::kContinuous, Layout::kFewValues, Layout::kWithNaN, Layout::kInfinite}) {
    const auto cloud = make_cloud<K>(layout, 100000, 5);
    std::array<const double*, K> columns;
    for (std::size_t a = 0; a < K; ++a) columns[a] = cloud.coords[a].data();
    const KdTree<K> sequential(columns, cloud.size());
    const KdTree<K> parallel(columns, cloud.size(), threaded_tasks());
    ASSERT_EQ(parallel.leaf_count(), sequential.leaf_count());
    ASSERT_TRUE(std::equal(parallel.leaf_order().begin(), parallel.leaf_order().end(),
                           sequential.leaf_order().begin(), sequential.leaf_order().end()));
    for (std::size_t j = 0; j < cloud.size(); ++j) {
      const auto p = parallel.point_at(j), s = sequential.point_at(j);
      for (std::size_t a = 0; a < K; ++a) ASSERT_TRUE(same_bits(p[a], s[a]));
    }
    for (const auto& q : make_queries(cloud, 2)) {
      EXPECT_EQ(parallel.count_within(q, 0.3), sequential.count_within(q, 0.3));
      EXPECT_TRUE(same_bits(parallel.nth_nearest_distance(q, 5), sequential.nth_nearest_distance(q, 5)));
    }
  }
}

// The short list takes +inf for "not found yet", so it may only answer where every distance is finite. Trees
// whose stored points lie an overflowing distance apart, and queries at an infinite, NaN or overflowing
// offset from a finite tree, must take the general walk; then the answers match the scan.
TEST(KdTree, OverflowingOrNaNDistancesTakeTheGeneralWalk) {
  Cloud<2> wide;  // finite coordinates whose differences overflow
  wide.coords[0] = {-1e308, 1e308, 0.0};
  wide.coords[1] = {0.0, 0.0, 0.0};
  Cloud<2> spread;  // the widest spread that stays finite
  spread.coords[0] = {-8e307, 8e307, 0.0};
  spread.coords[1] = {0.0, 1.0, 2.0};
  const std::vector<std::array<double, 2>> queries = {
      {0.5, 3.0}, {1.7e308, 0.0}, {0.0, kNaN}, {kInf, 0.0}, {-1e308, 0.0}};
  for (const auto& cloud : {wide, spread, make_cloud<2>(Layout::kInfinite, 100, 1)}) {
    const auto tree = cloud.tree();
    for (const std::size_t count : {1, 2, 3, 4}) {
      const auto batch = batch_distances(tree, count);
      for (std::size_t j = 0; j < tree.size(); ++j) {
        const auto want = nth_of(sorted_distances(scan_distances(cloud, tree.point_at(j))), count);
        EXPECT_TRUE(same_bits(batch[j], want)) << j << " " << count;
        EXPECT_TRUE(same_bits(tree.nth_nearest_distance(tree.point_at(j), count), want)) << j << " " << count;
      }
      for (const auto& q : queries) {
        const auto want = nth_of(sorted_distances(scan_distances(cloud, q)), count);
        EXPECT_TRUE(same_bits(tree.nth_nearest_distance(q, count), want))
            << q[0] << " " << q[1] << " " << count;
      }
    }
  }
  // The query at an infinity answers with the distance the fold gives.
  EXPECT_EQ(spread.tree().nth_nearest_distance({kInf, 0.0}, 1), kInf);
}

// Repeated queries from one thread, each at every count the heap or the short list serves, with the heap's
// storage on the stack (up to 32) or allocated per call (beyond).
TEST(KdTree, RepeatedQueriesMatchScan) {
  const auto cloud = make_cloud<2>(Layout::kContinuous, 3000, 5);
  const auto tree = cloud.tree();
  for (std::size_t i = 0; i < cloud.size(); i += 3) {
    const auto sorted = sorted_distances(scan_distances(cloud, cloud.point(i)));
    for (const std::size_t count : {4, 40}) {
      ASSERT_EQ(tree.nth_nearest_distance(cloud.point(i), count), nth_of(sorted, count)) << i << " " << count;
    }
  }
}

// A far cell whose splits on both axes lie 0.6 from the query (0, 0): the root splits x at 0.6 and
// each half splits y at 0.6; the near leaf only holds points at distance >= 1.
TEST(KdTree, FarCornerCellIsSearched) {
  Cloud<2> cloud;
  auto add = [&](double x, double y) {
    cloud.coords[0].push_back(x);
    cloud.coords[1].push_back(y);
  };
  for (int j = 0; j < 32; ++j) add(-1.0, -2.0 + 0.05 * j);            // x < 0.6, y < 0.6
  for (int j = 0; j < 32; ++j) add(-1.0, 0.6 + 0.04 * j);             // x < 0.6, y >= 0.6
  for (int j = 0; j < 32; ++j) add(1.0 + 0.09 * j, -2.0 + 0.05 * j);  // x >= 0.6, y < 0.6
  add(0.6, 0.6);
  for (int j = 1; j < 32; ++j) add(1.0 + 0.1 * j, 1.0 + 0.03 * j);  // x >= 0.6, y >= 0.6
  const auto tree = cloud.tree();
  ASSERT_EQ(tree.leaf_count(), 4u);
  // Point 96, at (0.6, 0.6), is the only one nearer than 1.
  EXPECT_EQ(tree.nth_nearest_distance({0.0, 0.0}, 1), 0.6);
  EXPECT_EQ(tree.count_within({0.0, 0.0}, 1.0), 1u);
  EXPECT_EQ(tree.count_within({0.0, 0.0}, 0.6), 0u);
}

TEST(KdTree, ConcurrentQueriesAgreeWithSequentialOnes) {
  const auto cloud = make_cloud<3>(Layout::kFewValues, 10000, 9);
  const auto tree = cloud.tree();
  std::vector<double> want(cloud.size());
  std::vector<std::size_t> want_count(cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    auto d = scan_distances(cloud, cloud.point(i));
    want_count[i] = scan_count(d, 1.5);
    std::nth_element(d.begin(), d.begin() + 5, d.end());
    want[i] = d[5];
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < cloud.size(); ++i) {
        mismatches[t] += tree.nth_nearest_distance(cloud.point(i), 6) != want[i];
        mismatches[t] += tree.count_within(cloud.point(i), 1.5) != want_count[i];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// Selection of the element at every rank of small and large ranges, with repeated keys and orders that
// defeat a median-of-three pivot, against a full sort.
TEST(SelectNth, PutsTheSortedElementAtEveryRank) {
  struct Item {
    double key;
    std::size_t tag;
  };
  const auto key = [](const Item& it) { return it.key; };
  const auto less = [](double u, double v) { return u < v || (v != v && u == u); };
  std::mt19937_64 rng(21);
  const std::vector<std::string> shapes{"random", "few", "equal", "sorted", "reversed", "organ", "nan"};
  for (const std::string& shape : shapes) {
    for (const std::size_t n : {1u, 2u, 3u, 12u, 13u, 100u, 511u, 513u, 5000u}) {
      std::vector<Item> items(n);
      for (std::size_t i = 0; i < n; ++i) {
        double v = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
        if (shape == "few") v = static_cast<double>(rng() % 3);
        if (shape == "equal") v = 0.5;
        if (shape == "sorted") v = static_cast<double>(i);
        if (shape == "reversed") v = static_cast<double>(n - i);
        if (shape == "organ") v = static_cast<double>(std::min(i, n - 1 - i));
        if (shape == "nan" && i % 5 == 0) v = kNaN;
        items[i] = {v, i};
      }
      std::vector<double> sorted_keys(n);
      std::transform(items.begin(), items.end(), sorted_keys.begin(), key);
      std::sort(sorted_keys.begin(), sorted_keys.end(), less);
      const std::size_t step = n > 100 ? n / 17 : 1;
      for (std::size_t rank = 0; rank < n; rank += step) {
        SCOPED_TRACE(shape + " n=" + std::to_string(n) + " rank=" + std::to_string(rank));
        std::vector<Item> work = items;
        kdtree_detail::select_nth(work.data(), work.data() + rank, work.data() + n, key, less);
        ASSERT_TRUE(same_bits(work[rank].key, sorted_keys[rank]));
        for (std::size_t i = 0; i < rank; ++i) ASSERT_FALSE(less(work[rank].key, work[i].key));
        for (std::size_t i = rank + 1; i < n; ++i) ASSERT_FALSE(less(work[i].key, work[rank].key));
        // A permutation of the input: every tag once.
        std::vector<bool> seen(n, false);
        for (const Item& it : work) seen[it.tag] = true;
        ASSERT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; }));
      }
    }
  }
}

TEST(SwapPartition, KeepsEveryElementAndSplitsByThePredicate) {
  std::mt19937_64 rng(22);
  for (const std::size_t n : {0u, 1u, 2u, 7u, 64u, 1000u}) {
    for (const int share : {0, 30, 100}) {
      std::vector<int> v(n);
      for (int& x : v) x = static_cast<int>(rng() % 100);
      std::vector<int> before = v;
      const auto small = [share](int x) { return x < share; };
      int* const boundary = kdtree_detail::swap_partition(v.data(), v.data() + n, small);
      const auto split = static_cast<std::size_t>(boundary - v.data());
      ASSERT_EQ(split, static_cast<std::size_t>(std::count_if(before.begin(), before.end(), small)));
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(small(v[i]), i < split);
      std::sort(v.begin(), v.end());
      std::sort(before.begin(), before.end());
      ASSERT_EQ(v, before);
    }
  }
}

TEST(Chebyshev, FoldIgnoresNaNTerms) {
  using P3 = std::array<double, 3>;
  EXPECT_EQ(chebyshev::distance<1>({0.7}, {0.2}), 0.7 - 0.2);
  EXPECT_EQ(chebyshev::distance<2>({0.1, 0.7}, {0.3, 0.2}), 0.7 - 0.2);
  EXPECT_EQ(chebyshev::distance<3>(P3{kNaN, 1.0, -4.0}, P3{0.0, 0.0, 0.0}), 4.0);
  EXPECT_EQ(chebyshev::distance<3>(P3{2.0, kNaN, 1.0}, P3{0.0, 0.0, 0.0}), 2.0);
  EXPECT_EQ(chebyshev::distance<3>(P3{kInf, 1.0, -kInf}, P3{kInf, 0.0, -kInf}), 1.0);
  EXPECT_EQ(chebyshev::distance<2>({kInf, 5.0}, {-kInf, 5.0}), kInf);
  EXPECT_TRUE(std::isnan(chebyshev::distance<3>(P3{kNaN, kInf, 1.0}, P3{0.0, kInf, kNaN})));
  EXPECT_TRUE(std::isnan(chebyshev::distance<1>({kInf}, {kInf})));
  EXPECT_TRUE(std::isnan(chebyshev::term(-kInf, -kInf)));
  // A stored point given by its coordinates.
  const double stored[3] = {kNaN, 1.0, -4.0};
  EXPECT_EQ(chebyshev::distance<3>(stored, P3{0.0, 0.0, 0.0}), 4.0);
}

// The fast fold skips the NaN test; on finite terms it must pick the same operand as the general fold,
// signed zeros included.
TEST(Chebyshev, FastFoldAgreesOnFiniteTerms) {
  const double values[] = {0.0, -0.0, 1e-300, 0.5, 0.5, 1.0, 1e308};
  for (const double m : values) {
    for (const double t : values) {
      EXPECT_TRUE(same_bits(chebyshev::fold_finite(m, t), chebyshev::fold(m, t))) << m << " " << t;
    }
  }
  EXPECT_EQ(chebyshev::fold(kNaN, 2.0), 2.0);
  EXPECT_EQ(chebyshev::fold(2.0, kNaN), 2.0);
}

// The bounds a walk prunes with never exceed the distance of a point inside the bounded region, and NaN gaps
// bound nothing.
TEST(Chebyshev, BoxBoundsAndInsideTest) {
  using P2 = std::array<double, 2>;
  const P2 lo{0.0, 0.0};
  const P2 hi{1.0, 2.0};
  EXPECT_EQ(chebyshev::box_box_gap(lo, hi, P2{0.5, 1.0}, P2{0.5, 1.0}), 0.0);
  EXPECT_EQ(chebyshev::box_box_gap(lo, hi, P2{-3.0, 2.5}, P2{-3.0, 2.5}), 3.0);
  EXPECT_EQ(chebyshev::box_box_gap(lo, hi, P2{1.25, 3.0}, P2{1.25, 3.0}), 1.0);
  EXPECT_EQ(chebyshev::box_box_gap(lo, hi, P2{kNaN, 3.0}, P2{kNaN, 3.0}), 1.0);
  EXPECT_EQ(chebyshev::box_box_gap(P2{kNaN, 0.0}, P2{kNaN, 2.0}, P2{5.0, 1.0}, P2{5.0, 1.0}), 0.0);
  EXPECT_EQ(chebyshev::box_box_gap(P2{0.0, 1.0}, P2{kInf, 2.0}, P2{kInf, 4.0}, P2{kInf, 4.0}), 2.0);
  EXPECT_EQ(chebyshev::box_box_gap(lo, hi, P2{1.5, -1.0}, P2{2.0, 0.5}), 0.5);
  EXPECT_EQ(chebyshev::box_box_gap(lo, hi, P2{-4.0, 3.0}, P2{-2.0, 3.5}), 2.0);
  EXPECT_EQ(chebyshev::box_box_gap(lo, hi, P2{0.5, 0.5}, P2{3.0, 3.0}), 0.0);
  // Strictly inside: both faces of every axis nearer than the radius.
  EXPECT_TRUE(chebyshev::box_within(lo, hi, P2{0.5, 1.0}, 1.5));
  EXPECT_FALSE(chebyshev::box_within(lo, hi, P2{0.5, 1.0}, 1.0));
  EXPECT_FALSE(chebyshev::box_within(lo, hi, P2{0.5, kNaN}, kInf));
  EXPECT_FALSE(chebyshev::box_within(P2{0.0, kInf}, P2{1.0, kInf}, P2{0.5, kInf}, kInf));
  EXPECT_FALSE(chebyshev::box_within(lo, hi, P2{0.5, 1.0}, kNaN));
}

}  // namespace
}  // namespace quorlix
