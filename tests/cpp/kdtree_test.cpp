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

template <std::size_t K>
std::vector<double> scan_distances(const Cloud<K>& cloud, const std::array<double, K>& q) {
  std::vector<double> d(cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) d[i] = Chebyshev::distance(cloud.point(i), q);
  return d;
}

// Every entry carries its item's true distance, items are distinct, and the distances are the
// smallest ones in ascending order.
template <std::size_t K>
void expect_nearest(const KdTree<K>& tree, const Cloud<K>& cloud, const std::array<double, K>& q,
                    std::size_t n, const std::vector<double>& d) {
  const auto got = tree.nearest_n(q, n);
  std::vector<double> want = d;
  std::sort(want.begin(), want.end(), nan_last);
  want.resize(std::min(n, want.size()));
  ASSERT_EQ(got.size(), want.size());
  std::vector<std::uint64_t> items;
  for (std::size_t j = 0; j < got.size(); ++j) {
    ASSERT_LT(got[j].item, cloud.size());
    EXPECT_TRUE(same_bits(got[j].distance, d[got[j].item]));
    EXPECT_TRUE(same_bits(got[j].distance, want[j])) << "rank " << j;
    items.push_back(got[j].item);
  }
  std::sort(items.begin(), items.end());
  EXPECT_EQ(std::adjacent_find(items.begin(), items.end()), items.end());
  std::vector<NearestNeighbour> scratch;
  if (!got.empty()) {
    EXPECT_TRUE(same_bits(tree.nth_nearest_distance(q, n, scratch), got.back().distance));
  }
}

template <std::size_t K>
void expect_within(const KdTree<K>& tree, const std::array<double, K>& q, double r,
                   const std::vector<double>& d) {
  std::vector<std::uint64_t> want;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (d[i] < r) want.push_back(i);
  }
  const auto got = tree.within_unsorted(q, r);
  std::vector<std::uint64_t> items;
  for (const auto& nb : got) {
    EXPECT_TRUE(same_bits(nb.distance, d[nb.item]));
    items.push_back(nb.item);
  }
  std::sort(items.begin(), items.end());
  EXPECT_EQ(items, want) << "radius " << r;
  EXPECT_EQ(tree.count_within(q, r), want.size()) << "radius " << r;
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
        for (const std::size_t count : {std::size_t{1}, std::size_t{4}, n, n + 3}) {
          if (count > 0) expect_nearest(tree, cloud, q, count, d);
        }
        // Radii exactly at a stored point's distance and at the 4th-nearest distance put points
        // on the boundary of the strict test.
        std::vector<double> radii = {0.0, 0.5, 1.0, 2.0, kInf};
        if (n > 0) {
          radii.push_back(d[n / 2]);
          radii.push_back(tree.nearest_n(q, 4).back().distance);
        }
        for (const double r : radii) expect_within(tree, q, r, d);
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
      // Leaves hold at most 32 points, so a balanced tree needs ceil(log2(n / 32)) levels.
      EXPECT_EQ(tree.depth(), n <= 32 ? 0u : static_cast<std::size_t>(std::bit_width((n - 1) / 32)));
    }
  }
}

// With NaN coordinates nothing is exact, but the tree builds, answers consistently and never
// reports a NaN distance from a radius query.
TYPED_TEST(KdTreeTest, NaNCoordinatesAreHandledSafely) {
  constexpr std::size_t K = TypeParam::value;
  const auto cloud = make_cloud<K>(Layout::kWithNaN, 5000, 3);
  const auto tree = cloud.tree();
  std::array<double, K> nan_query;
  nan_query.fill(kNaN);
  auto queries = make_queries(cloud, 4);
  queries.push_back(nan_query);
  for (const auto& q : queries) {
    EXPECT_EQ(tree.nearest_n(q, 10).size(), 10u);
    for (const double r : {0.1, 1.0, kInf, kNaN}) {
      const auto got = tree.within_unsorted(q, r);
      EXPECT_EQ(tree.count_within(q, r), got.size());
      for (const auto& nb : got) EXPECT_LT(nb.distance, r);
    }
  }
}

TYPED_TEST(KdTreeTest, EqualDistancesKeepThePointsExaminedFirst) {
  constexpr std::size_t K = TypeParam::value;
  // A single leaf is examined in leaf order, and every point lies at distance 1 from the origin.
  Cloud<K> cloud;
  for (auto& column : cloud.coords) column.assign(5, 0.0);
  cloud.coords[0] = {1.0, -1.0, 1.0, -1.0, 1.0};
  const auto tree = cloud.tree();
  for (const std::size_t n : {1, 2, 3}) {
    std::vector<std::uint64_t> got;
    for (const auto& nb : tree.nearest_n({}, n)) got.push_back(nb.item);
    std::vector<std::uint64_t> first(tree.leaf_order().begin(), tree.leaf_order().begin() + n);
    std::sort(got.begin(), got.end());
    std::sort(first.begin(), first.end());
    EXPECT_EQ(got, first);
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
  std::vector<NearestNeighbour> scratch;
  const std::array<double, K> q{};
  EXPECT_TRUE(empty.nearest_n(q, 0).empty());
  EXPECT_TRUE(empty.nearest_n(q, 3).empty());
  EXPECT_TRUE(empty.within_unsorted(q, kInf).empty());
  EXPECT_EQ(empty.count_within(q, kInf), 0u);
  expect_internal_failure([&] { one.nearest_n(q, 0); }, Failure::kNoNeighbours);
  expect_internal_failure([&] { one.nth_nearest_distance(q, 0, scratch); }, Failure::kNoNeighbours);
  // An empty tree has no n-th nearest distance to report.
  expect_internal_failure([&] { empty.nth_nearest_distance(q, 1, scratch); }, Failure::kNoNeighbours);
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
      ASSERT_TRUE(tree.all_distances_finite());
      const auto items = tree.leaf_order();
      for (std::size_t j = 0; j<n; j += n> 100 ? n / 37 : 1) {
        const auto q = tree.point_at(j);
        ASSERT_EQ(q, cloud.point(items[j]));
        ASSERT_TRUE(tree.distances_finite(q));
        std::vector<double> d = scan_distances(cloud, q);
        std::sort(d.begin(), d.end());
        // Every size of short list: the exact ones up to 8, then 16 and 32, and the heap beyond.
        for (const std::size_t count : {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 32, 33}) {
          const double want = d[std::min(count, n) - 1];
          EXPECT_TRUE(same_bits(tree.stored_nth_distance(j, count), want))
              << "position " << j << " count " << count;
          EXPECT_TRUE(same_bits(tree.short_nth_distance(q, count), want))
              << "position " << j << " count " << count;
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
          EXPECT_TRUE(same_bits(got[j], tree.stored_nth_distance(j, count))) << j << " " << count;
        }
      }
      EXPECT_THROW(tree.stored_nth_distances(0, tree.leaf_count(), 0, [](std::size_t, double) {}),
                   InternalFailure);
    }
  }
}

// Where the short list does not apply (long lists, infinite or NaN coordinates) the heap answers.
TYPED_TEST(KdTreeTest, StoredPointQueriesFallBackOnTheHeap) {
  constexpr std::size_t K = TypeParam::value;
  for (const Layout layout : {Layout::kInfinite, Layout::kWithNaN, Layout::kContinuous}) {
    const auto tree = make_cloud<K>(layout, 3000, 17).tree();
    for (std::size_t j = 0; j < tree.size(); j += 97) {
      for (const std::size_t count : {std::size_t{4}, std::size_t{40}}) {
        const double want = tree.nearest_n(tree.point_at(j), count).back().distance;
        EXPECT_TRUE(same_bits(tree.stored_nth_distance(j, count), want)) << j << " " << count;
        EXPECT_TRUE(same_bits(tree.short_nth_distance(tree.point_at(j), count), want)) << j << " " << count;
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
    ASSERT_EQ(parallel.depth(), sequential.depth());
    ASSERT_TRUE(std::equal(parallel.leaf_order().begin(), parallel.leaf_order().end(),
                           sequential.leaf_order().begin(), sequential.leaf_order().end()));
    for (std::size_t j = 0; j < cloud.size(); ++j) {
      const auto p = parallel.point_at(j), s = sequential.point_at(j);
      for (std::size_t a = 0; a < K; ++a) ASSERT_TRUE(same_bits(p[a], s[a]));
    }
    for (const auto& q : make_queries(cloud, 2)) {
      EXPECT_EQ(parallel.count_within(q, 0.3), sequential.count_within(q, 0.3));
      std::vector<NearestNeighbour> scratch;
      EXPECT_TRUE(same_bits(parallel.nth_nearest_distance(q, 5, scratch),
                            sequential.nth_nearest_distance(q, 5, scratch)));
    }
  }
}

TEST(KdTree, FiniteDistancesNeedFiniteCoordinatesWithoutOverflow) {
  EXPECT_TRUE(make_cloud<2>(Layout::kContinuous, 100, 1).tree().all_distances_finite());
  EXPECT_FALSE(make_cloud<2>(Layout::kInfinite, 100, 1).tree().all_distances_finite());
  EXPECT_FALSE(make_cloud<2>(Layout::kWithNaN, 100, 1).tree().all_distances_finite());
  Cloud<2> wide;
  wide.coords[0] = {-1e308, 1e308, 0.0};
  wide.coords[1] = {0.0, 0.0, 0.0};
  EXPECT_FALSE(wide.tree().all_distances_finite());
  Cloud<2> spread;
  spread.coords[0] = {-8e307, 8e307, 0.0};
  spread.coords[1] = {0.0, 1.0, 2.0};
  const auto tree = spread.tree();
  EXPECT_TRUE(tree.all_distances_finite());
  EXPECT_TRUE(tree.distances_finite({0.5, 3.0}));
  EXPECT_FALSE(tree.distances_finite({1.7e308, 0.0}));
  EXPECT_FALSE(tree.distances_finite({0.0, kNaN}));
  // The general query then answers, with the distance the fold gives.
  std::vector<NearestNeighbour> scratch;
  EXPECT_EQ(tree.nth_nearest_distance({kInf, 0.0}, 1, scratch), kInf);
}

TEST(KdTree, RepeatedQueriesReuseTheScratchHeap) {
  const auto cloud = make_cloud<2>(Layout::kContinuous, 3000, 5);
  const auto tree = cloud.tree();
  std::vector<NearestNeighbour> scratch;
  tree.nth_nearest_distance(cloud.point(0), 4, scratch);
  const NearestNeighbour* storage = scratch.data();
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const double got = tree.nth_nearest_distance(cloud.point(i), 4, scratch);
    ASSERT_EQ(got, tree.nearest_n(cloud.point(i), 4).back().distance);
  }
  EXPECT_EQ(scratch.data(), storage);
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
  ASSERT_EQ(tree.depth(), 2u);
  const auto nearest = tree.nearest_n({0.0, 0.0}, 1);
  ASSERT_EQ(nearest.size(), 1u);
  EXPECT_EQ(nearest[0].item, 96u);
  EXPECT_EQ(nearest[0].distance, 0.6);
  const auto within = tree.within_unsorted({0.0, 0.0}, 1.0);
  ASSERT_EQ(within.size(), 1u);
  EXPECT_EQ(within[0].item, 96u);
}

TEST(KdTree, ConcurrentQueriesAgreeWithSequentialOnes) {
  const auto cloud = make_cloud<3>(Layout::kFewValues, 20000, 9);
  const auto tree = cloud.tree();
  std::vector<double> want(cloud.size());
  std::vector<std::size_t> want_count(cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    want[i] = tree.nearest_n(cloud.point(i), 6).back().distance;
    want_count[i] = tree.count_within(cloud.point(i), 1.5);
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<NearestNeighbour> scratch;
      for (std::size_t i = 0; i < cloud.size(); ++i) {
        mismatches[t] += tree.nth_nearest_distance(cloud.point(i), 6, scratch) != want[i];
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
  EXPECT_EQ(Chebyshev::distance<1>({0.7}, {0.2}), 0.7 - 0.2);
  EXPECT_EQ(Chebyshev::distance<2>({0.1, 0.7}, {0.3, 0.2}), 0.7 - 0.2);
  EXPECT_EQ(Chebyshev::distance<3>(P3{kNaN, 1.0, -4.0}, P3{0.0, 0.0, 0.0}), 4.0);
  EXPECT_EQ(Chebyshev::distance<3>(P3{2.0, kNaN, 1.0}, P3{0.0, 0.0, 0.0}), 2.0);
  EXPECT_EQ(Chebyshev::distance<3>(P3{kInf, 1.0, -kInf}, P3{kInf, 0.0, -kInf}), 1.0);
  EXPECT_EQ(Chebyshev::distance<2>({kInf, 5.0}, {-kInf, 5.0}), kInf);
  EXPECT_TRUE(std::isnan(Chebyshev::distance<3>(P3{kNaN, kInf, 1.0}, P3{0.0, kInf, kNaN})));
  EXPECT_TRUE(std::isnan(Chebyshev::distance<1>({kInf}, {kInf})));
  EXPECT_TRUE(std::isnan(Chebyshev::axis(-kInf, -kInf)));
}

}  // namespace
}  // namespace quorlix
