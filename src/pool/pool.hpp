// The process-wide pool of four worker threads and the fork-join operations built on it.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace quorlix::pool {

inline constexpr std::size_t kWorkerCount = 4;

// Starts the four workers and waits until each has reported ready. A second call in the same
// process throws InternalFailure "called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError
// { kind: GlobalPoolAlreadyInitialized }"; a thread that cannot be started throws InternalFailure
// with "ThreadPoolBuildError { kind: IOError(...) }".
void start_global_pool();

// Whether start_global_pool has succeeded in this process.
bool global_pool_started();

// Called by the waiting thread roughly every 50 ms while a job runs; returning true cancels the
// job (workers take no further ranges) and makes the operation throw Interrupted once the running
// ranges have finished. The binding layer installs a check for pending signals.
using InterruptCheck = bool (*)();
void set_interrupt_check(InterruptCheck check);

// Runs the installed check on the calling thread and throws Interrupted when it asks to stop; an
// exception thrown by the check is reported as parallel_for reports a body's. For long sequential
// phases of a call, which no job covers. Does nothing without a check, inside a worker, or while
// this thread runs the check already (waiting on a job, or in a poll further up the stack).
void poll_interrupt();

// Runs body(begin, end) over disjoint ranges covering [0, n) on the workers and blocks until all
// have run. A range holds at most 4096 indices, and only as many as run in a few milliseconds when
// single indices are costly, so that a cancelled job stops promptly. The first exception thrown by
// a range stops the hand-out of further ranges and is rethrown on the calling thread once the
// running ones have finished (InternalFailure, ValidationError, Interrupted and std::bad_alloc as
// they are; any other exception as InternalFailure with the same text). Small n, calls made from
// inside a worker, and calls made while another thread's job runs, run inline on the calling thread.
// Uses the pool before start_global_pool starts it implicitly.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Runs task(0), ..., task(count - 1), each exactly once, as independent jobs on the workers (one
// task runs inline), and blocks until all have run; failures are reported as parallel_for reports them.
void parallel_tasks(std::size_t count, const std::function<void(std::size_t)>& task);

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

// Leaf pieces of the fixed split have at most this many terms.
inline constexpr std::size_t kSumPieceLength = 2048;

// The sum of terms[0 .. n) under the fixed split: [0, n) is halved recursively (a range of length
// m > kSumPieceLength splits into [0, m/2) and [m/2, m)), so the split points depend only on n;
// each piece is summed in index order from -0.0, and two halves are added as left + right.
// Sequential; parallel_sum produces the same bits. An empty range sums to -0.0.
double fixed_split_sum(const double* terms, std::size_t n);

// The same fixed split, with piece_sum(begin, end) evaluating each leaf piece on the workers and the
// halves combined on the calling thread. The result does not depend on scheduling.
double parallel_sum_pieces(std::size_t n, const std::function<double(std::size_t, std::size_t)>& piece_sum);

// The sum of term(i) for i < n with exactly the additions of fixed_split_sum over the terms.
template <class F>
double parallel_sum(std::size_t n, F&& term) {
  return parallel_sum_pieces(n, [&](std::size_t begin, std::size_t end) {
    double s = -0.0;
    for (std::size_t i = begin; i < end; ++i) s += term(i);
    return s;
  });
}

}  // namespace quorlix::pool
