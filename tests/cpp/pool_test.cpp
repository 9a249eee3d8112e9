// Worker pool: chunk coverage, the fixed-split sum to the bit, failure and interrupt propagation,
// worker count, concurrent submitters, start-up errors and fork().
#include "pool/pool.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.hpp"

namespace {

using namespace quorlix;
using namespace quorlix::pool;
using numeric::fixed_split_sum;
using numeric::kSumPieceLength;
using Clock = std::chrono::steady_clock;

// The jobs here are costly per index unless a test says otherwise, so anything beyond a few dozen indices
// reaches the workers.
constexpr double kCostlyIndexNs = 3'880.0;
using pool::parallel_for;
using pool::parallel_sum;
using pool::parallel_sum_pieces;

template <class F>
void parallel_for(std::size_t n, F&& body) {
  pool::parallel_for(n, kCostlyIndexNs, body);
}

template <class F>
double parallel_sum(std::size_t n, F&& term) {
  return pool::parallel_sum(n, kCostlyIndexNs, term);
}

template <class F>
double parallel_sum_pieces(std::size_t n, F&& piece_sum) {
  return pool::parallel_sum_pieces(n, kCostlyIndexNs, piece_sum);
}


std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Writes out[i] = f(i) for every i < out.size().
template <class T, class F>
void parallel_map(std::vector<T>& out, F&& f) {
  T* slots = out.data();
  parallel_for(out.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) slots[i] = f(i);
  });
}

// Returns the sequence f(0), ..., f(n - 1) in index order.
template <class T, class F>
std::vector<T> parallel_collect(std::size_t n, F&& f) {
  std::vector<T> out(n);
  parallel_map(out, std::forward<F>(f));
  return out;
}

double plain_sum(const std::vector<double>& t, std::size_t begin, std::size_t end) {
  double s = -0.0;
  for (std::size_t i = begin; i < end; ++i) s += t[i];
  return s;
}

// Terms spread over many binades with both signs, so that any change of grouping shows in the bits.
std::vector<double> wide_terms(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::vector<double> t(n);
  for (double& x : t) x = ((rng() & 1) ? -1.0 : 1.0) * std::ldexp(mantissa(rng), exponent(rng));
  return t;
}

std::size_t thread_count() {
  std::size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Waits up to `seconds` for the child; a child that hangs is killed and reported as -1.
int wait_child(pid_t pid, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// What a healthy pool computes: every index visited once and a sum with the fixed-split bits.
bool pool_computes_correctly() {
  const std::size_t n = 300000;
  std::vector<std::atomic<int>> visits(n);
  parallel_for(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) visits[i].fetch_add(1);
  });
  for (auto& v : visits)
    if (v.load() != 1) return false;
  const std::vector<double> t = wide_terms(n, 7);
  return bits(parallel_sum(n, [&](std::size_t i) { return t[i]; })) == bits(fixed_split_sum(t.data(), n));
}

// ---- Coverage -------------------------------------------------------------------------------------

class ParallelForCoverage : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParallelForCoverage, EveryIndexRunsExactlyOnceInBoundedChunks) {
  const std::size_t n = GetParam();
  std::vector<std::atomic<int>> visits(n);
  std::atomic<std::size_t> longest{0};
  std::atomic<bool> empty_chunk{false};
  parallel_for(n, [&](std::size_t b, std::size_t e) {
    if (b >= e) empty_chunk = true;
    std::size_t len = e - b, seen = longest.load();
    while (len > seen && !longest.compare_exchange_weak(seen, len)) {
    }
    for (std::size_t i = b; i < e; ++i) visits[i].fetch_add(1);
  });
  EXPECT_FALSE(empty_chunk);
  EXPECT_LE(longest.load(), 4096u);
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "index " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelForCoverage,
                         ::testing::Values(0, 1, 2, 63, 64, 65, 100, 255, 1000, 4097, 16385, 100003, 1000000,
                                           4096 * 300 + 17));

class ParallelMapSlots : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParallelMapSlots, EverySlotWrittenOnceWithItsOwnValue) {
  const std::size_t n = GetParam();
  std::vector<std::atomic<int>> calls(n);
  std::vector<std::uint64_t> out(n, 0);
  parallel_map(out, [&](std::size_t i) {
    calls[i].fetch_add(1);
    return std::uint64_t{i} * 2654435761u + 1;
  });
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(calls[i].load(), 1) << i;
    ASSERT_EQ(out[i], std::uint64_t{i} * 2654435761u + 1) << i;
  }
}

TEST_P(ParallelMapSlots, CollectReturnsValuesInIndexOrder) {
  const std::size_t n = GetParam();
  const auto got = parallel_collect<double>(n, [](std::size_t i) { return std::sqrt(double(i)); });
  ASSERT_EQ(got.size(), n);
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(got[i]), bits(std::sqrt(double(i)))) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelMapSlots, ::testing::Values(0, 1, 64, 65, 777, 4096, 50001, 1000000));

TEST(ParallelFor, NestedCallRunsInlineOnTheWorker) {
  const std::size_t outer = 64 * 1024, inner = 1000;
  std::vector<std::atomic<std::size_t>> hits(outer);
  std::atomic<bool> moved{false};
  parallel_for(outer, [&](std::size_t b, std::size_t e) {
    const auto me = std::this_thread::get_id();
    for (std::size_t i = b; i < e; i += 4096) {
      parallel_for(inner, [&](std::size_t ib, std::size_t ie) {
        if (std::this_thread::get_id() != me) moved = true;
        hits[i].fetch_add(ie - ib);
      });
    }
  });
  EXPECT_FALSE(moved);
  for (std::size_t i = 0; i < outer; i += 4096) EXPECT_EQ(hits[i].load(), inner);
}

// ---- Workers --------------------------------------------------------------------------------------

TEST(Workers, ExactlyFourDistinctWorkerThreadsRunALargeJob) {
  std::mutex m;
  std::condition_variable cv;
  std::set<std::thread::id> ids;
  const auto caller = std::this_thread::get_id();
  // Each chunk waits until four threads hold one, so fewer workers show up as a short count.
  parallel_for(4096 * 64, [&](std::size_t, std::size_t) {
    std::unique_lock lock(m);
    ids.insert(std::this_thread::get_id());
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return ids.size() >= 4; });
  });
  EXPECT_EQ(ids.size(), 4u);
  EXPECT_EQ(ids.count(caller), 0u);
}

TEST(Workers, ManySmallCallsEachCoverTheirRange) {
  std::atomic<std::size_t> total{0};
  for (int r = 0; r < 2000; ++r)
    parallel_for(100, [&](std::size_t b, std::size_t e) { total.fetch_add(e - b); });
  EXPECT_EQ(total.load(), 200000u);
}

TEST(Workers, ConcurrentSubmittersAllGetTheirOwnResults) {
  const std::size_t n = 200000;
  std::vector<std::thread> submitters;
  std::atomic<int> wrong{0};
  for (int s = 0; s < 4; ++s) {
    submitters.emplace_back([&, s] {
      const std::vector<double> t = wide_terms(n, 100 + s);
      const std::uint64_t want = bits(fixed_split_sum(t.data(), n));
      for (int r = 0; r < 25; ++r) {
        if (bits(parallel_sum(n, [&](std::size_t i) { return t[i]; })) != want) ++wrong;
        const auto got = parallel_collect<double>(n / 3, [&](std::size_t i) { return t[i] * 2; });
        for (std::size_t i = 0; i < got.size(); ++i)
          if (got[i] != t[i] * 2) {
            ++wrong;
            break;
          }
      }
    });
  }
  for (auto& th : submitters) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---- Failures -------------------------------------------------------------------------------------

enum class Thrown { kInternal, kValidation, kInterrupted, kBadAlloc, kRuntime, kLogic, kInt };

void throw_kind(Thrown kind) {
  switch (kind) {
    case Thrown::kInternal: throw InternalFailure(Failure::kOutOfDomain);
    case Thrown::kValidation: throw ValidationError("input rejected");
    case Thrown::kInterrupted: throw Interrupted();
    case Thrown::kBadAlloc: throw std::bad_alloc();
    case Thrown::kRuntime: throw std::runtime_error("runtime trouble");
    case Thrown::kLogic: throw std::out_of_range("index trouble");
    case Thrown::kInt: throw 7;
  }
}

class FailurePropagation : public ::testing::TestWithParam<std::tuple<Thrown, std::size_t>> {};

TEST_P(FailurePropagation, ArrivesOnTheCallerWithItsKindAndTheNextJobWorks) {
  const auto [kind, n] = GetParam();
  auto run = [&, kind = kind, n = n] {
    parallel_for(n, [&](std::size_t b, std::size_t e) {
      if (b <= n / 2 && n / 2 < e) throw_kind(kind);
    });
  };
  switch (kind) {
    case Thrown::kInternal:
      try {
        run();
        FAIL() << "no exception";
      } catch (const InternalFailure& e) {
        EXPECT_EQ(e.failure(), Failure::kOutOfDomain);
      }
      break;
    case Thrown::kValidation:
      try {
        run();
        FAIL() << "no exception";
      } catch (const ValidationError& e) {
        EXPECT_STREQ(e.what(), "input rejected");
      }
      break;
    case Thrown::kInterrupted: EXPECT_THROW(run(), Interrupted); break;
    case Thrown::kBadAlloc: EXPECT_THROW(run(), std::bad_alloc); break;
    case Thrown::kRuntime:
      try {
        run();
        FAIL() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "runtime trouble");
      }
      break;
    case Thrown::kLogic:
      try {
        run();
        FAIL() << "no exception";
      } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "index trouble");
      }
      break;
    case Thrown::kInt:
      try {
        run();
        FAIL() << "no exception";
      } catch (int e) {
        EXPECT_EQ(e, 7);
      }
      break;
  }
  EXPECT_TRUE(pool_computes_correctly());
}

INSTANTIATE_TEST_SUITE_P(KindsAndSizes, FailurePropagation,
                         ::testing::Combine(::testing::Values(Thrown::kInternal, Thrown::kValidation,
                                                              Thrown::kInterrupted, Thrown::kBadAlloc,
                                                              Thrown::kRuntime, Thrown::kLogic, Thrown::kInt),
                                            ::testing::Values(std::size_t{10}, std::size_t{5000},
                                                              std::size_t{1000000})));

TEST(Failures, FirstFailureStopsTheHandOutOfChunks) {
  std::atomic<int> chunks_run{0};
  EXPECT_THROW(parallel_for(4096 * 2000,
                            [&](std::size_t b, std::size_t) {
                              chunks_run.fetch_add(1);
                              if (b == 0) throw InternalFailure(Failure::kNaN);
                              std::this_thread::sleep_for(std::chrono::milliseconds(2));
                            }),
               InternalFailure);
  EXPECT_LT(chunks_run.load(), 100);
}

TEST(Failures, ParallelSumRethrowsAPieceFailure) {
  std::vector<double> t = wide_terms(100000, 3);
  EXPECT_THROW(parallel_sum(t.size(),
                            [&](std::size_t i) {
                              if (i == 77777) throw std::runtime_error("term failed");
                              return t[i];
                            }),
               std::runtime_error);
  EXPECT_EQ(bits(parallel_sum(t.size(), [&](std::size_t i) { return t[i]; })),
            bits(fixed_split_sum(t.data(), t.size())));
}

// ---- Interrupts -----------------------------------------------------------------------------------

std::atomic<int> g_check_calls{0};
std::thread::id g_check_thread;
std::atomic<bool> g_check_on_other_thread{false};
std::atomic<bool> g_check_saw_wrong_result{false};

bool count_and_stop() {
  if (std::this_thread::get_id() != g_check_thread) g_check_on_other_thread = true;
  ++g_check_calls;
  return true;
}

bool count_and_continue() {
  if (std::this_thread::get_id() != g_check_thread) g_check_on_other_thread = true;
  ++g_check_calls;
  return false;
}

bool throw_from_check() { throw std::runtime_error("check failed"); }

// A job of about ten seconds of sleeping chunks, unless it is cancelled.
void long_job(std::atomic<int>& chunks_run) {
  parallel_for(4096 * 4000, [&](std::size_t, std::size_t) {
    chunks_run.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
}

class InterruptCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_check_calls = 0;
    g_check_thread = std::this_thread::get_id();
    g_check_on_other_thread = false;
    g_check_saw_wrong_result = false;
  }
  void TearDown() override { set_interrupt_check(nullptr); }
};

TEST_F(InterruptCheckTest, CancelsALongJobPromptlyAndTheNextJobWorks) {
  set_interrupt_check(count_and_stop);
  std::atomic<int> chunks_run{0};
  EXPECT_THROW(long_job(chunks_run), Interrupted);
  EXPECT_EQ(g_check_calls.load(), 1);
  EXPECT_LT(chunks_run.load(), 4000);
  EXPECT_FALSE(g_check_on_other_thread);
  set_interrupt_check(nullptr);
  EXPECT_TRUE(pool_computes_correctly());
}

TEST_F(InterruptCheckTest, IsPolledOnTheCallingThreadWhileTheJobRuns) {
  set_interrupt_check(count_and_continue);
  std::atomic<int> visited{0};
  // 50 us per index on four workers: about 500 ms of waiting, polled every 50 ms.
  parallel_for(4096 * 10, [&](std::size_t b, std::size_t e) {
    std::this_thread::sleep_for(std::chrono::microseconds(50) * (e - b));
    visited.fetch_add(int(e - b));
  });
  EXPECT_EQ(visited.load(), 4096 * 10);
  EXPECT_GE(g_check_calls.load(), 4);
  EXPECT_FALSE(g_check_on_other_thread);
}

// Indices of 20 ms each: a whole chunk of them (313 for this n) would run for seconds after the
// check asked to stop.
TEST_F(InterruptCheckTest, CancelsAJobOfCostlyIndicesWithinAFewIndices) {
  set_interrupt_check(count_and_stop);
  const std::size_t n = 20000;
  std::vector<std::atomic<int>> visits(n);
  EXPECT_THROW(parallel_for(n,
                            [&](std::size_t b, std::size_t e) {
                              for (std::size_t i = b; i < e; ++i) {
                                visits[i].fetch_add(1);
                                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                              }
                            }),
               Interrupted);
  int ran = 0;
  for (auto& v : visits) {
    ASSERT_LE(v.load(), 1);
    ran += v.load();
  }
  EXPECT_LT(ran, 40);
  set_interrupt_check(nullptr);
  EXPECT_TRUE(pool_computes_correctly());
}

// Slicing must not cost cheap jobs their long ranges: a handful of short warm-up ranges per worker,
// then whole chunks.
TEST(ParallelFor, CheapIndicesRunInFewRanges) {
  const std::size_t n = 1000000;
  std::atomic<int> calls{0};
  std::vector<std::atomic<int>> visits(n);
  parallel_for(n, [&](std::size_t b, std::size_t e) {
    calls.fetch_add(1);
    for (std::size_t i = b; i < e; ++i) visits[i].fetch_add(1);
  });
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << i;
  // 245 chunks of 4096, plus up to 12 doubling ranges per worker.
  EXPECT_LT(calls.load(), 500);
}

// ---- Polls between jobs ---------------------------------------------------------------------------

bool g_stop_answer = false;

bool count_and_answer() {
  if (std::this_thread::get_id() != g_check_thread) g_check_on_other_thread = true;
  ++g_check_calls;
  return g_stop_answer;
}

bool check_that_polls() {
  ++g_check_calls;
  poll_interrupt();
  return false;
}

TEST_F(InterruptCheckTest, PollWithoutACheckDoesNothing) {
  set_interrupt_check(nullptr);
  EXPECT_NO_THROW(poll_interrupt());
}

TEST_F(InterruptCheckTest, PollRunsTheCheckOnceAndThrowsWhenItAsksToStop) {
  set_interrupt_check(count_and_answer);
  g_stop_answer = false;
  EXPECT_NO_THROW(poll_interrupt());
  EXPECT_EQ(g_check_calls.load(), 1);
  g_stop_answer = true;
  EXPECT_THROW(poll_interrupt(), Interrupted);
  EXPECT_EQ(g_check_calls.load(), 2);
  EXPECT_FALSE(g_check_on_other_thread);
}

TEST_F(InterruptCheckTest, PollPassesOnAFailingChecksException) {
  set_interrupt_check(throw_from_check);
  try {
    poll_interrupt();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "check failed");
  }
  // A later poll runs the check again: the failure left no guard set.
  EXPECT_THROW(poll_interrupt(), std::runtime_error);
}

TEST_F(InterruptCheckTest, PollIsIgnoredOnWorkersAndInsideTheCheck) {
  set_interrupt_check(count_and_answer);
  g_stop_answer = true;
  // The waiting thread's own polls would stop the job; only the workers' polls run here, quickly.
  std::atomic<int> polled{0};
  parallel_for(100000, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; i += 1000) {
      poll_interrupt();
      polled.fetch_add(1);
    }
  });
  EXPECT_GT(polled.load(), 0);
  EXPECT_FALSE(g_check_on_other_thread);
  set_interrupt_check(check_that_polls);
  g_check_calls = 0;
  EXPECT_NO_THROW(poll_interrupt());
  EXPECT_EQ(g_check_calls.load(), 1);
}

bool check_that_uses_the_pool() {
  ++g_check_calls;
  if (!pool_computes_correctly()) g_check_saw_wrong_result = true;
  return g_check_calls.load() >= 3;
}

TEST_F(InterruptCheckTest, ACheckThatUsesThePoolRunsItInlineWithoutDeadlock) {
  set_interrupt_check(check_that_uses_the_pool);
  std::atomic<int> chunks_run{0};
  EXPECT_THROW(long_job(chunks_run), Interrupted);
  EXPECT_EQ(g_check_calls.load(), 3);
  EXPECT_FALSE(g_check_saw_wrong_result);
}

// The check joins a thread that submits a job of its own while this thread's job is running. Queueing
// that job behind the running one would wait forever; it runs inline on its own thread instead.
std::atomic<bool> g_nested_ran_inline{false};

bool join_a_submitting_thread() {
  ++g_check_calls;
  std::thread other([] {
    const auto me = std::this_thread::get_id();
    std::atomic<bool> moved{false};
    std::atomic<std::size_t> covered{0};
    parallel_for(100000, [&](std::size_t b, std::size_t e) {
      if (std::this_thread::get_id() != me) moved = true;
      covered.fetch_add(e - b);
    });
    g_nested_ran_inline = !moved && covered.load() == 100000;
  });
  other.join();
  return true;
}

TEST_F(InterruptCheckTest, AJobSubmittedWhileAnotherThreadWaitsRunsInline) {
  set_interrupt_check(join_a_submitting_thread);
  g_nested_ran_inline = false;
  std::atomic<int> chunks_run{0};
  EXPECT_THROW(long_job(chunks_run), Interrupted);
  EXPECT_EQ(g_check_calls.load(), 1);
  EXPECT_TRUE(g_nested_ran_inline);
  set_interrupt_check(nullptr);
  EXPECT_TRUE(pool_computes_correctly());
}

TEST_F(InterruptCheckTest, AFailingCheckCancelsTheJobAndIsReported) {
  set_interrupt_check(throw_from_check);
  std::atomic<int> chunks_run{0};
  try {
    long_job(chunks_run);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "check failed");
  }
  EXPECT_LT(chunks_run.load(), 4000);
  set_interrupt_check(nullptr);
  EXPECT_TRUE(pool_computes_correctly());
}

// ---- Fixed-split sums -----------------------------------------------------------------------------

TEST(FixedSplitSum, RangesUpToOnePieceAreSummedLeftToRightFromNegativeZero) {
  const std::vector<double> t = wide_terms(2048, 11);
  for (std::size_t n : {0, 1, 2, 3, 1000, 2047, 2048}) {
    EXPECT_EQ(bits(fixed_split_sum(t.data(), n)), bits(plain_sum(t, 0, n))) << n;
    EXPECT_EQ(bits(parallel_sum(n, [&](std::size_t i) { return t[i]; })), bits(plain_sum(t, 0, n))) << n;
  }
  EXPECT_TRUE(std::signbit(fixed_split_sum(nullptr, 0)));
  EXPECT_TRUE(std::signbit(parallel_sum(0, [](std::size_t) -> double { throw std::logic_error("called"); })));
}

TEST(FixedSplitSum, LongerRangesHalveRecursively) {
  const std::vector<double> t = wide_terms(6145, 12);
  auto p = [&](std::size_t b, std::size_t e) { return plain_sum(t, b, e); };
  EXPECT_EQ(bits(fixed_split_sum(t.data(), 2049)), bits(p(0, 1024) + p(1024, 2049)));
  EXPECT_EQ(bits(fixed_split_sum(t.data(), 4096)), bits(p(0, 2048) + p(2048, 4096)));
  EXPECT_EQ(bits(fixed_split_sum(t.data(), 4097)), bits(p(0, 2048) + (p(2048, 3072) + p(3072, 4097))));
  EXPECT_EQ(bits(fixed_split_sum(t.data(), 6145)),
            bits((p(0, 1536) + p(1536, 3072)) + (p(3072, 4608) + p(4608, 6145))));
}

TEST(FixedSplitSum, CancellingTermsInSeparateHalvesGivePositiveZero) {
  // Left to right, 1e16 absorbs the ones before -1e16 cancels it and the later ones survive; under
  // the split each half absorbs its own ones and the halves cancel exactly.
  std::vector<double> t(4096, 1.0);
  t[0] = 1e16;
  t[2048] = -1e16;
  EXPECT_EQ(plain_sum(t, 0, 4096), 2047.0);
  EXPECT_EQ(bits(fixed_split_sum(t.data(), 4096)), bits(0.0));
  EXPECT_EQ(bits(parallel_sum(4096, [&](std::size_t i) { return t[i]; })), bits(0.0));

  std::vector<double> u(2049, 1.0);
  u[0] = 1e16;
  u[1024] = -1e16;
  EXPECT_EQ(plain_sum(u, 0, 2049), 1024.0);
  EXPECT_EQ(bits(fixed_split_sum(u.data(), 2049)), bits(0.0));
  EXPECT_EQ(bits(parallel_sum(2049, [&](std::size_t i) { return u[i]; })), bits(0.0));
}

class ParallelSumBits : public ::testing::TestWithParam<std::size_t> {
 protected:
  static const std::vector<double>& terms() {
    static const std::vector<double> t = wide_terms(1000000, 42);
    return t;
  }
};

TEST_P(ParallelSumBits, MatchesTheSequentialFixedSplit) {
  const std::size_t n = GetParam();
  const std::vector<double>& t = terms();
  const auto term = [&](std::size_t i) { return t[i]; };
  const std::uint64_t want = bits(fixed_split_sum(t.data(), n));
  EXPECT_EQ(bits(parallel_sum(n, term)), want);
  // Whether the work is judged worth the workers or not, the split and so the bits stay the same.
  EXPECT_EQ(bits(parallel_sum(n, 0.0, term)), want);
  EXPECT_EQ(bits(parallel_sum(n, 1e12, term)), want);
}

TEST_P(ParallelSumBits, PiecesCoverTheRangeOnceWithinTheLengthBounds) {
  const std::size_t n = GetParam();
  std::mutex m;
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  parallel_sum_pieces(n, [&](std::size_t b, std::size_t e) {
    std::lock_guard lock(m);
    pieces.emplace_back(b, e);
    return 0.0;
  });
  std::sort(pieces.begin(), pieces.end());
  std::size_t at = 0;
  for (const auto& [b, e] : pieces) {
    ASSERT_EQ(b, at);
    ASSERT_LE(e - b, kSumPieceLength);
    if (n > kSumPieceLength) {
      ASSERT_GE(e - b, kSumPieceLength / 2);
    }
    at = e;
  }
  EXPECT_EQ(at, n);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelSumBits,
                         ::testing::Values(0, 1, 2, 65, 2047, 2048, 2049, 3000, 4095, 4096, 4097, 6143, 6145,
                                           8191, 8192, 8193, 12345, 65537, 100000, 131071, 524289, 999999,
                                           1000000));

TEST(ParallelSum, RepeatedRunsGiveIdenticalBits) {
  const std::vector<double> t = wide_terms(1000000, 5);
  const std::uint64_t want = bits(fixed_split_sum(t.data(), t.size()));
  std::mt19937_64 rng(9);
  for (int r = 0; r < 20; ++r) {
    ASSERT_EQ(bits(parallel_sum(t.size(), [&](std::size_t i) { return t[i]; })), want) << "run " << r;
    const std::size_t n = 2049 + rng() % 300000;
    ASSERT_EQ(bits(parallel_sum(n, [&](std::size_t i) { return t[i]; })), bits(fixed_split_sum(t.data(), n)))
        << n;
  }
}

TEST(ParallelSum, InsideAWorkerGivesTheSameBits) {
  const std::vector<double> t = wide_terms(50000, 6);
  const std::uint64_t want = bits(fixed_split_sum(t.data(), t.size()));
  std::vector<std::uint64_t> got(256);
  parallel_map(got, [&](std::size_t) {
    return bits(parallel_sum(t.size(), [&](std::size_t i) { return t[i]; }));
  });
  for (std::uint64_t g : got) ASSERT_EQ(g, want);
}

// ---- Start-up (each in a fresh process, so no earlier test has started the pool) -----------------

int fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  return 1;
}

int start_twice_in_fresh_process() {
  const std::size_t before = thread_count();
  start_global_pool();
  if (thread_count() != before + kWorkerCount) return fail("not exactly four new threads");
  try {
    start_global_pool();
    return fail("second start succeeded");
  } catch (const InternalFailure& e) {
    if (e.failure() != Failure::kPoolAlreadyStarted) return fail(e.what());
  }
  if (thread_count() != before + kWorkerCount) return fail("second start changed the thread count");
  return pool_computes_correctly() ? 0 : fail("pool broken");
}

int implicit_start_then_explicit() {
  if (!pool_computes_correctly()) return fail("implicit start failed");
  try {
    start_global_pool();
    return fail("explicit start after implicit start succeeded");
  } catch (const InternalFailure& e) {
    if (e.failure() != Failure::kPoolAlreadyStarted) return fail(e.what());
  }
  return 0;
}

std::size_t mapped_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * std::size_t(sysconf(_SC_PAGESIZE));
}

// Caps the address space so that the first worker's stack fits and the second does not.
int thread_start_failure_then_retry() {
  pthread_attr_t attr;
  std::size_t stack = 0;
  if (pthread_getattr_default_np(&attr) != 0 || pthread_attr_getstacksize(&attr, &stack) != 0)
    return fail("no default stack size");
  rlimit old{};
  getrlimit(RLIMIT_AS, &old);
  const std::size_t before = thread_count();
  rlimit cap = old;
  cap.rlim_cur = mapped_bytes() + stack + stack / 2;
  if (setrlimit(RLIMIT_AS, &cap) != 0) return fail("setrlimit");
  std::string detail;
  bool start_failed = false;
  try {
    start_global_pool();
  } catch (const InternalFailure& e) {
    start_failed = e.failure() == Failure::kPoolStartFailed;
    detail = e.detail();
  }
  setrlimit(RLIMIT_AS, &old);
  // The system's error: "<message> (os error <code>)".
  if (!start_failed || detail.find(" (os error ") == std::string::npos || detail.back() != ')')
    return fail(("unexpected failure: " + detail).c_str());
  // Give the joined worker's task entry time to disappear.
  for (int i = 0; i < 100 && thread_count() != before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (thread_count() != before) return fail("a started worker survived the failed start");
  start_global_pool();
  if (thread_count() != before + kWorkerCount) return fail("retry did not start four threads");
  return pool_computes_correctly() ? 0 : fail("pool broken after retry");
}

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(StartUp, StartsFourWorkersAndRefusesASecondStart) {
  EXPECT_EXIT(std::exit(start_twice_in_fresh_process()), ::testing::ExitedWithCode(0), "");
}

TEST_F(StartUp, FirstUseStartsThePoolAndAnExplicitStartThenFails) {
  EXPECT_EXIT(std::exit(implicit_start_then_explicit()), ::testing::ExitedWithCode(0), "");
}

TEST_F(StartUp, AThreadThatCannotStartIsReportedAndALaterStartSucceeds) {
  EXPECT_EXIT(std::exit(thread_start_failure_then_retry()), ::testing::ExitedWithCode(0), "");
}

TEST_F(StartUp, ProcessExitsWhileWorkersAreBusy) {
  EXPECT_EXIT(
      {
        start_global_pool();
        std::thread([] {
          parallel_for(4096 * 1000, [](std::size_t, std::size_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          });
        }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), "");
}

// ---- fork() ---------------------------------------------------------------------------------------

// In the child: a fresh set of four workers computes correctly.
[[noreturn]] void child_checks_pool() {
  alarm(10);
  std::mutex m;
  std::condition_variable cv;
  std::set<std::thread::id> ids;
  parallel_for(4096 * 16, [&](std::size_t, std::size_t) {
    std::unique_lock lock(m);
    ids.insert(std::this_thread::get_id());
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return ids.size() >= 4; });
  });
  _exit(ids.size() == kWorkerCount && pool_computes_correctly() ? 0 : 1);
}

TEST(Fork, ChildStartsFreshWorkersAndParentKeepsItsPool) {
  ASSERT_TRUE(pool_computes_correctly());
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) child_checks_pool();
  EXPECT_EQ(wait_child(pid, 20), 0);
  EXPECT_TRUE(pool_computes_correctly());
}

TEST(Fork, ForkWhileAnotherThreadSubmitsJobs) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread submitter([&] {
    while (!stop)
      if (!pool_computes_correctly()) ++wrong;
  });
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) child_checks_pool();
    EXPECT_EQ(wait_child(pid, 20), 0) << "fork " << i;
  }
  stop = true;
  submitter.join();
  EXPECT_EQ(wrong.load(), 0);
}

pid_t g_forked_pid = -1;

// Forks once from inside the wait; the parent then asks to stop, the child lets the job go on.
bool fork_in_check() {
  if (g_forked_pid == -1) {
    g_forked_pid = fork();
    if (g_forked_pid == 0) alarm(10);
    return g_forked_pid != 0;
  }
  return true;
}

TEST(Fork, ForkFromTheInterruptCheckLeavesBothProcessesWorking) {
  ASSERT_TRUE(pool_computes_correctly());
  g_forked_pid = -1;
  set_interrupt_check(fork_in_check);
  std::atomic<int> chunks_run{0};
  bool lost = false;
  bool interrupted = false;
  try {
    long_job(chunks_run);
  } catch (const Interrupted&) {
    interrupted = true;
  } catch (const InternalFailure& e) {
    lost = e.failure() == Failure::kPoolLostToFork;
  }
  set_interrupt_check(nullptr);
  if (g_forked_pid == 0) {
    // The workers that ran the job stayed in the parent; the child's job ends with a failure.
    _exit(lost && pool_computes_correctly() ? 0 : 1);
  }
  ASSERT_GT(g_forked_pid, 0);
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(wait_child(g_forked_pid, 20), 0);
  EXPECT_TRUE(pool_computes_correctly());
}

}  // namespace
