// State that the threads of one process share (the worker pool, the kept work memory), made anew in a
// child of fork().
//
// The child has only the thread that forked. Whatever the other threads were doing with shared state at that
// moment (holding its locks, waiting on its condition variables, halfway through an update) stays frozen in
// the child's copy, so the child must not use that copy. Locking the state across the fork instead would make
// fork() wait for those threads, and a thread that holds a lock while it waits for the interpreter lock,
// which the forking thread holds, would never let go. So nothing is held across a fork: the child leaves the
// old instance as it is and makes a new one the first time it asks, and the parent's instance is untouched.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace quorlix {

namespace per_process_detail {
inline std::atomic<std::uint64_t> g_forks{0};
inline void count_fork_in_child() { g_forks.fetch_add(1, std::memory_order_relaxed); }
}  // namespace per_process_detail

// How many forks separate this process from the one the code was loaded in.
inline std::uint64_t forks_so_far() {
  // pthread_atfork fails only for want of memory; without the count a child would reuse its parent's state.
  static const bool counting =
      pthread_atfork(nullptr, nullptr, &per_process_detail::count_fork_in_child) == 0;
  (void)counting;
  return per_process_detail::g_forks.load(std::memory_order_relaxed);
}

// One T per process, default-constructed on first use; never destroyed, as threads may still use it while
// the process exits. T's constructor must not block: a child may make its instance from any thread.
template <class T>
class PerProcess {
 public:
  T& get() {
    const std::uint64_t forks = forks_so_far();
    Instance* current = current_.load(std::memory_order_acquire);
    while (current == nullptr || current->forks != forks) {
      auto* fresh = new Instance{forks, {}, current};
      if (current_.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return fresh->value;
      // Another thread of this process made one first (current now holds it).
      delete fresh;
    }
    return current->value;
  }

 private:
  struct Instance {
    std::uint64_t forks;
    T value;
    Instance* replaced;  // the parent's, left as it was but kept reachable for leak checkers
  };
  std::atomic<Instance*> current_{nullptr};
};

}  // namespace quorlix
