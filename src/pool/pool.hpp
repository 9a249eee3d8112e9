// The process-wide pool of four worker threads and the fork-join operations built on it.
#pragma once

#include <cstddef>
#include <functional>

#include "numeric/fixed_split_sum.hpp"

namespace quorlix::pool {

inline constexpr std::size_t kWorkerCount = 4;

// Starts the four workers and waits until each has reported ready. A second call in the same
// process, or in a child forked from it, throws InternalFailure kPoolAlreadyStarted; a thread that cannot be
// started, kPoolStartFailed with the system's error (no worker is left running then, and a later call may try
// again).
void start_global_pool();

// Called by the waiting thread roughly every 50 ms while a job runs; returning true cancels the
// job (workers take no further ranges) and makes the operation throw Interrupted once the running
// ranges have finished. The binding layer installs a check for pending signals.
using InterruptCheck = bool (*)();
void set_interrupt_check(InterruptCheck check);

// Installed by the binding layer: whether a Ctrl-C is pending, found without running any Python code. It
// takes the pending mark, and the binding layer puts it back after InterruptNoted has unwound the call.
using InterruptPeek = bool (*)();
void set_interrupt_peek(InterruptPeek peek);

// For loops that read the caller's arrays, where no Python code may run: throws InterruptNoted when the
// installed peek finds a Ctrl-C pending. Does nothing without a peek or inside a worker.
void poll_interrupt_quietly();

// Loops that poll quietly do so after every this many elements (a few milliseconds of streaming at most).
inline constexpr std::size_t kQuietPollEvery = std::size_t{1} << 20;

// Runs body(start, stop) over consecutive stretches of [0, n) in order, polling quietly between them: for
// loops over the caller's arrays, where a signal handler could free what they read. The signal is only
// noted, and handled once the call has unwound.
template <class Body>
void for_each_stretch(std::ptrdiff_t n, const Body& body) {
  constexpr auto kStretch = static_cast<std::ptrdiff_t>(kQuietPollEvery);
  for (std::ptrdiff_t start = 0; start < n; start += kStretch) {
    body(start, n - start < kStretch ? n : start + kStretch);
    poll_interrupt_quietly();
  }
}

// Runs the installed check on the calling thread and throws Interrupted when it asks to stop; an
// exception thrown by the check is reported as parallel_for reports a body's. For long sequential
// phases of a call, which no job covers. Does nothing without a check, inside a worker, or while
// this thread runs the check already (waiting on a job, or in a poll further up the stack).
void poll_interrupt();

// Waking the workers and waiting for them costs some tens of microseconds, more than many small stages
// take on one core. Every operation below therefore first estimates its stage's work (indices times an
// approximate single-core cost per index, in nanoseconds) and runs the whole stage inline on the calling
// thread, without a lock, a wake-up or an allocation, unless that work is several hand-offs' worth.
inline constexpr double kPoolWorthNs = 250'000.0;

// Whether n indices of ns_per_index nanoseconds each are worth handing to the workers.
constexpr bool worth_pooling(std::size_t n, double ns_per_index) {
  return static_cast<double>(n) * ns_per_index >= kPoolWorthNs;
}

namespace detail {
using Body = std::function<void(std::size_t, std::size_t)>;
void run_pooled(std::size_t n, const Body& body);
void run_tasks_pooled(std::size_t count, const std::function<void(std::size_t)>& task);
double sum_pieces_pooled(std::size_t n, const std::function<double(std::size_t, std::size_t)>& piece_sum);
}  // namespace detail

// Runs body(begin, end) over disjoint ranges covering [0, n) and blocks until all have run: inline as
// one range when the work is small (see worth_pooling), otherwise on the workers. A pooled range holds
// a few thousand indices at most, and only as many as run in a few milliseconds when single indices are
// costly, so that a cancelled job stops promptly. The first exception thrown by a range stops the hand-out
// of further ranges and is rethrown on the calling thread, as it was thrown, once the running ones have
// finished. Calls made from inside a worker, and calls made while another thread's job runs, also run
// inline on the calling thread. The first pooled call starts the workers if start_global_pool has not.
template <class F>
void parallel_for(std::size_t n, double ns_per_index, F&& body) {
  if (n == 0) return;
  if (!worth_pooling(n, ns_per_index)) {
    body(std::size_t{0}, n);
    return;
  }
  detail::run_pooled(n, detail::Body(std::ref(body)));
}

// Runs task(0), ..., task(count - 1), each exactly once, and blocks until all have run: in order on the
// calling thread when the tasks' work (count times ns_per_task) is small, otherwise as independent jobs on
// the workers (one task runs inline). Failures are reported as parallel_for reports them.
template <class F>
void parallel_tasks(std::size_t count, double ns_per_task, F&& task) {
  if (count == 0) return;
  if (count == 1 || !worth_pooling(count, ns_per_task)) {
    for (std::size_t t = 0; t < count; ++t) task(t);
    return;
  }
  detail::run_tasks_pooled(count, std::function<void(std::size_t)>(std::ref(task)));
}

// numeric::split_sum over [0, n), with piece_sum(begin, end) evaluating each leaf piece: on the workers
// when the n terms of ns_per_term nanoseconds each are worth it, and the halves always combined on the
// calling thread, so the result does not depend on where the pieces ran.
template <class F>
double parallel_sum_pieces(std::size_t n, double ns_per_term, F&& piece_sum) {
  if (!worth_pooling(n, ns_per_term)) return numeric::split_sum(0, n, piece_sum);
  return detail::sum_pieces_pooled(n, std::function<double(std::size_t, std::size_t)>(std::ref(piece_sum)));
}

// The sum of term(i) for i < n with exactly the additions of numeric::fixed_split_sum over the terms.
template <class F>
double parallel_sum(std::size_t n, double ns_per_term, F&& term) {
  return parallel_sum_pieces(n, ns_per_term, [&](std::size_t begin, std::size_t end) {
    return numeric::ordered_sum(begin, end, term);
  });
}

}  // namespace quorlix::pool
