// The process-wide store of working buffers kept for reuse.
#include "numeric/work_memory.hpp"

#include <mutex>

#include "core/per_process.hpp"

namespace quorlix::numeric {
namespace {

constexpr std::size_t kSmallest = std::size_t{1} << 20;
constexpr std::size_t kMaxBlocks = 32;

struct Kept {
  void* block;
  std::size_t bytes;
};

// Oldest first. A fixed array, so that keeping a block never allocates.
struct Store {
  std::mutex mutex;
  Kept blocks[kMaxBlocks];
  std::size_t count = 0;
  std::size_t bytes = 0;
};

// Never destroyed: buffers may be handed back while the process exits. A forked child starts with an
// empty store of its own, as another thread may have held the parent's lock at the fork; the blocks its
// copy of the parent's store kept are not reused.
PerProcess<Store> g_store;

Store& store() { return g_store.get(); }

void free_block(void* block) noexcept { ::operator delete(block); }

}  // namespace

void* take_work_block(std::size_t bytes) {
  if (bytes >= kSmallest) {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    for (std::size_t i = s.count; i-- > 0;) {
      if (s.blocks[i].bytes != bytes) continue;
      void* const block = s.blocks[i].block;
      for (std::size_t j = i + 1; j < s.count; ++j) s.blocks[j - 1] = s.blocks[j];
      --s.count;
      s.bytes -= bytes;
      return block;
    }
  }
  return ::operator new(bytes);
}

void give_work_block(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < kSmallest || bytes > kWorkMemoryKept) {
    free_block(block);
    return;
  }
  Kept evicted[kMaxBlocks];
  std::size_t evicted_count = 0;
  {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    std::size_t drop = 0;
    std::size_t bytes_after = s.bytes + bytes;
    while (drop < s.count && (bytes_after > kWorkMemoryKept || s.count - drop == kMaxBlocks)) {
      bytes_after -= s.blocks[drop].bytes;
      evicted[evicted_count++] = s.blocks[drop++];
    }
    for (std::size_t j = drop; j < s.count; ++j) s.blocks[j - drop] = s.blocks[j];
    s.count -= drop;
    s.blocks[s.count++] = {block, bytes};
    s.bytes = bytes_after;
  }
  for (std::size_t i = 0; i < evicted_count; ++i) free_block(evicted[i].block);
}

std::size_t work_memory_kept() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.bytes;
}

void release_work_memory() noexcept {
  Kept released[kMaxBlocks];
  std::size_t count = 0;
  {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    count = s.count;
    for (std::size_t i = 0; i < count; ++i) released[i] = s.blocks[i];
    s.count = 0;
    s.bytes = 0;
  }
  for (std::size_t i = 0; i < count; ++i) free_block(released[i].block);
}

}  // namespace quorlix::numeric
