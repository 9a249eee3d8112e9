// A vector whose new elements are left uninitialised, for large arrays that are written in full before
// they are read. Zero-filling them first would touch every page on the calling thread in one
// uninterruptible pass; left alone, the pages are first touched where the elements are written, in
// bounded pieces and often on the workers.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorlix {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };

  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using Buffer = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace quorlix
