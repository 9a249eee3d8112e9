// Stopping a long computation part-way: Ctrl-C on the calling thread, or a cancelled job on a worker.
#pragma once

#include <atomic>

#include "core/errors.hpp"

namespace quorlix {

namespace stop_detail {
// On a worker running part of a job: that job's cancellation flag.
inline thread_local const std::atomic<bool>* t_job_cancelled = nullptr;
// Installed by the pool: the calling thread's poll for pending signals, which throws Interrupted.
inline std::atomic<void (*)()> g_poll{nullptr};
}  // namespace stop_detail

// Long loops call this between bounded pieces of work (sorting passes, subtree builds, sweeps), so that a
// call stops within a fraction of a second when asked to. Throws Interrupted on a worker whose job has
// been cancelled; on any other thread, runs the installed poll. Only for data the call owns: the poll may
// run Python signal handlers.
inline void stop_point() {
  if (const std::atomic<bool>* cancelled = stop_detail::t_job_cancelled) {
    if (cancelled->load(std::memory_order_relaxed)) throw Interrupted();
    return;
  }
  if (void (*poll)() = stop_detail::g_poll.load(std::memory_order_relaxed)) poll();
}

}  // namespace quorlix
