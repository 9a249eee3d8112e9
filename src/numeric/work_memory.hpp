// Large working buffers that a call hands back for the next call to reuse.
//
// Memory fresh from the system costs a page fault and a zero-fill per page on first touch, and two threads
// faulting at once also contend in the kernel: for the rankings of a million-point sample that is a quarter
// of the time. Buffers of 1 MiB or more are therefore kept when freed, up to kWorkMemoryKept bytes in all
// (the oldest are released first), and handed out again to a request of exactly the same size, which is what
// repeated calls on equally long samples make. Smaller buffers come and go through operator new.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace quorlix::numeric {

inline constexpr std::size_t kWorkMemoryKept = std::size_t{64} << 20;

// A block of at least `bytes` bytes, aligned for any fundamental type. Throws std::bad_alloc.
void* take_work_block(std::size_t bytes);

// Returns a block from take_work_block with the same byte count.
void give_work_block(void* block, std::size_t bytes) noexcept;

// The bytes held for reuse, and a way to release them all.
std::size_t work_memory_kept();
void release_work_memory() noexcept;

template <class T>
struct WorkAllocator {
  using value_type = T;

  WorkAllocator() = default;
  template <class U>
  WorkAllocator(const WorkAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(take_work_block(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { give_work_block(p, n * sizeof(T)); }

  friend bool operator==(const WorkAllocator&, const WorkAllocator&) { return true; }
};

template <class T>
using WorkVector = std::vector<T, WorkAllocator<T>>;

}  // namespace quorlix::numeric
