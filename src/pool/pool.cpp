// The process-wide pool of four worker threads: fork-join jobs over index ranges, failure and interrupt
// propagation to the submitting thread, and a pool of its own for a forked child.
#include "pool/pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/per_process.hpp"
#include "core/stop.hpp"

namespace quorlix::pool {
namespace {

using detail::Body;

// Enough chunks per worker to even out uneven per-index costs, but chunks long enough to amortise
// the claim and short enough that a cancelled job stops quickly.
constexpr std::size_t kChunksPerWorker = 16;
constexpr std::size_t kMinChunkLength = 256;
constexpr std::size_t kMaxChunkLength = 4096;
constexpr auto kInterruptPollInterval = std::chrono::milliseconds(50);
// A claimed chunk is handed to the body in slices that double while one takes less than this and
// halve while one takes several times longer. A cancelled job then stops within a few milliseconds
// even when a single index costs a millisecond or more (a k-nearest query with k close to n), while
// cheap indices still run in whole chunks.
constexpr auto kSliceTarget = std::chrono::milliseconds(2);

std::size_t ceil_div(std::size_t n, std::size_t d) { return n / d + (n % d != 0 ? 1 : 0); }

std::size_t chunk_length_for(std::size_t n) {
  const std::size_t balanced =
      std::clamp(ceil_div(n, kChunksPerWorker * kWorkerCount), kMinChunkLength, kMaxChunkLength);
  // A short range still gives every worker a share.
  return std::min(balanced, ceil_div(n, kWorkerCount));
}

// One fork-join job; it lives on the submitting thread's stack until every worker has left it.
struct Job {
  const Body* body = nullptr;
  std::size_t n = 0;
  std::size_t chunk_length = 0;
  std::size_t chunk_count = 0;
  std::atomic<std::size_t> next_chunk{0};
  std::atomic<bool> cancelled{false};
  std::atomic<bool> failed{false};
  std::exception_ptr error;        // written once, by whoever first sets `failed`
  std::size_t active_workers = 0;  // guarded by Pool::mutex
};

void record_failure(Job& job, std::exception_ptr error) {
  if (!job.failed.exchange(true)) job.error = std::move(error);
  job.cancelled.store(true);
}

// A job is over once nobody is inside it and no chunk is left to claim. Workers only claim chunks
// after registering under the pool mutex, so with active_workers == 0 every claimed chunk has run.
bool job_finished(const Job& job) {
  return job.active_workers == 0 && (job.cancelled.load() || job.next_chunk.load() >= job.chunk_count);
}

void run_chunks(Job& job) {
  // Long work inside a range (a sort, a subtree build) stops at its next stop point once the job is
  // cancelled.
  stop_detail::t_job_cancelled = &job.cancelled;
  struct Leave {
    ~Leave() { stop_detail::t_job_cancelled = nullptr; }
  } leave;
  using Clock = std::chrono::steady_clock;
  std::size_t slice = 1;
  while (!job.cancelled.load(std::memory_order_relaxed)) {
    const std::size_t c = job.next_chunk.fetch_add(1, std::memory_order_relaxed);
    if (c >= job.chunk_count) return;
    std::size_t begin = c * job.chunk_length;
    const std::size_t end = begin + std::min(job.chunk_length, job.n - begin);
    while (begin < end) {
      if (job.cancelled.load(std::memory_order_relaxed)) return;
      const std::size_t stop = begin + std::min(slice, end - begin);
      const Clock::time_point started = Clock::now();
      try {
        (*job.body)(begin, stop);
      } catch (...) {
        record_failure(job, std::current_exception());
        return;
      }
      const Clock::duration spent = Clock::now() - started;
      if (spent < kSliceTarget) {
        slice = std::min(2 * slice, job.chunk_length);
      } else if (spent > 4 * kSliceTarget && slice > 1) {
        slice /= 2;
      }
      begin = stop;
    }
  }
}

struct Pool {
  std::mutex submit_mutex;  // one job (or one start-up) at a time
  std::mutex mutex;         // guards the fields below and Job::active_workers
  std::condition_variable work_cv;
  std::condition_variable done_cv;
  std::uint64_t generation = 0;
  Job* job = nullptr;
  bool stopping = false;
  std::size_t ready = 0;
  bool running = false;  // guarded by submit_mutex
};

// A forked child gets a pool of its own, whose workers start with its first job; workers may still wait
// on the parent's while the process exits.
PerProcess<Pool> g_pool;
// Whether start_global_pool has run in this process or the one it was forked from.
std::atomic<bool> g_initialized{false};
std::atomic<InterruptCheck> g_interrupt_check{nullptr};
std::atomic<InterruptPeek> g_interrupt_peek{nullptr};

thread_local bool t_in_worker = false;
thread_local bool t_submitting = false;
thread_local bool t_polling = false;  // poll_interrupt is running the check on this thread

struct SubmittingScope {
  SubmittingScope() { t_submitting = true; }
  ~SubmittingScope() { t_submitting = false; }
  SubmittingScope(const SubmittingScope&) = delete;
  SubmittingScope& operator=(const SubmittingScope&) = delete;
};

// A worker that could not start, with the system's error: "<message> (os error <code>)".
InternalFailure start_failure(const std::error_code& code) {
  return InternalFailure(Failure::kPoolStartFailed,
                         code.message() + " (os error " + std::to_string(code.value()) + ")");
}

void worker_main(Pool* p) {
  t_in_worker = true;
  std::unique_lock lock(p->mutex);
  std::uint64_t seen = p->generation;
  ++p->ready;
  p->done_cv.notify_all();
  for (;;) {
    p->work_cv.wait(lock, [&] { return p->stopping || p->generation != seen; });
    if (p->stopping) return;
    seen = p->generation;
    Job* job = p->job;
    // The job this generation announced may be over before this worker woke.
    if (job == nullptr) continue;
    ++job->active_workers;
    lock.unlock();
    run_chunks(*job);
    lock.lock();
    --job->active_workers;
    if (job_finished(*job)) p->done_cv.notify_all();
  }
}

void stop_and_join(Pool& p, std::vector<std::thread>& started) {
  {
    std::lock_guard lock(p.mutex);
    p.stopping = true;
  }
  p.work_cv.notify_all();
  for (std::thread& t : started) t.join();
}

// Called with the submit lock held. On failure the workers already started are joined, so a later
// call starts from nothing.
void start_workers(Pool& p) {
  std::vector<std::thread> started;
  started.reserve(kWorkerCount);
  {
    std::lock_guard lock(p.mutex);
    p.stopping = false;
    p.ready = 0;
  }
  try {
    while (started.size() < kWorkerCount) started.emplace_back(worker_main, &p);
  } catch (const std::system_error& e) {
    stop_and_join(p, started);
    throw start_failure(e.code());
  } catch (...) {
    stop_and_join(p, started);
    throw;
  }
  {
    std::unique_lock lock(p.mutex);
    p.done_cv.wait(lock, [&] { return p.ready == kWorkerCount; });
  }
  // The pool is never torn down, so the handles are not needed; detached threads also let the
  // process exit while they sleep.
  for (std::thread& t : started) t.detach();
  p.running = true;
  g_initialized.store(true);
}

void notify_workers(Pool& p, std::size_t chunk_count) {
  if (chunk_count >= kWorkerCount) {
    p.work_cv.notify_all();
    return;
  }
  for (std::size_t i = 0; i < chunk_count; ++i) p.work_cv.notify_one();
}

// Runs body over [0, n) in chunks of chunk_length on the workers while this thread waits.
void run_job(std::size_t n, std::size_t chunk_length, const Body& body) {
  // A worker (nested call) or a thread already waiting on a job (an interrupt check calling back in)
  // would wait for itself.
  if (n <= chunk_length || t_in_worker || t_submitting) {
    body(0, n);
    return;
  }
  Pool& p = g_pool.get();
  // A thread that finds another thread's job (or start-up) in progress runs its own job inline rather
  // than queue behind it: the busy thread may be waiting for this one, through the interpreter lock,
  // when a signal handler run by its interrupt check joins a thread that calls in. Queueing would then
  // never end.
  std::unique_lock submit_lock(p.submit_mutex, std::try_to_lock);
  if (!submit_lock.owns_lock()) {
    body(0, n);
    return;
  }
  SubmittingScope submitting;
  if (!p.running) start_workers(p);
  const std::uint64_t forks_at_start = forks_so_far();

  Job job;
  job.body = &body;
  job.n = n;
  job.chunk_length = chunk_length;
  job.chunk_count = ceil_div(n, chunk_length);
  {
    std::lock_guard lock(p.mutex);
    p.job = &job;
    ++p.generation;
  }
  notify_workers(p, job.chunk_count);

  bool interrupted = false;
  bool abandoned = false;
  {
    std::unique_lock lock(p.mutex);
    while (!p.done_cv.wait_for(lock, kInterruptPollInterval, [&] { return job_finished(job); })) {
      const InterruptCheck check = g_interrupt_check.load();
      if (check == nullptr || job.cancelled.load()) continue;
      // Unlocked so the workers can finish chunks while the check runs.
      lock.unlock();
      bool stop = false;
      try {
        stop = check();
      } catch (...) {
        record_failure(job, std::current_exception());
      }
      if (forks_so_far() != forks_at_start) {
        // This is a child forked from inside the check: the workers running this job, and whatever they
        // held of the pool, are the parent's alone. The child's next job starts a pool of its own.
        abandoned = true;
        interrupted = stop;
        break;
      }
      lock.lock();
      if (stop) {
        interrupted = true;
        job.cancelled.store(true);
      }
    }
    if (!abandoned) p.job = nullptr;
  }
  // An interrupt wins over a chunk's failure: the check has already recorded why the caller stops.
  if (interrupted) throw Interrupted();
  if (abandoned) throw InternalFailure(Failure::kPoolLostToFork);
  if (job.failed.load()) std::rethrow_exception(job.error);
}

}  // namespace

void start_global_pool() {
  Pool& p = g_pool.get();
  std::lock_guard submit_lock(p.submit_mutex);
  if (g_initialized.load()) throw InternalFailure(Failure::kPoolAlreadyStarted);
  start_workers(p);
}

void set_interrupt_check(InterruptCheck check) {
  g_interrupt_check.store(check);
  // Stop points on the calling thread poll as the phases between jobs do.
  stop_detail::g_poll.store(check != nullptr ? &poll_interrupt : nullptr);
}

void set_interrupt_peek(InterruptPeek peek) { g_interrupt_peek.store(peek); }

void poll_interrupt_quietly() {
  const InterruptPeek peek = g_interrupt_peek.load();
  if (peek == nullptr || t_in_worker) return;
  if (peek()) throw InterruptNoted();
}

void poll_interrupt() {
  const InterruptCheck check = g_interrupt_check.load();
  if (check == nullptr || t_in_worker || t_submitting || t_polling) return;
  bool stop = false;
  t_polling = true;
  try {
    stop = check();
  } catch (...) {
    t_polling = false;
    throw;
  }
  t_polling = false;
  if (stop) throw Interrupted();
}

namespace detail {

void run_pooled(std::size_t n, const Body& body) { run_job(n, chunk_length_for(n), body); }

void run_tasks_pooled(std::size_t count, const std::function<void(std::size_t)>& task) {
  // One index per task, so idle workers take up the tasks at once.
  run_job(count, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t t = begin; t < end; ++t) task(t);
  });
}

double sum_pieces_pooled(std::size_t n, const std::function<double(std::size_t, std::size_t)>& piece_sum) {
  // The split's leaf pieces in index order, each then summed by one task.
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  auto list_piece = [&pieces](std::size_t begin, std::size_t end) {
    pieces.emplace_back(begin, end);
    return 0.0;
  };
  numeric::split_sum(0, n, list_piece);
  std::vector<double> sums(pieces.size());
  run_tasks_pooled(pieces.size(),
                   [&](std::size_t i) { sums[i] = piece_sum(pieces[i].first, pieces[i].second); });
  std::size_t next = 0;
  auto leaf = [&](std::size_t, std::size_t) { return sums[next++]; };
  return numeric::split_sum(0, n, leaf);
}

}  // namespace detail

}  // namespace quorlix::pool
