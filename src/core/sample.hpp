// Read-only strided views over caller-owned one-dimensional arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quorlix {

// A view of n elements of type T; element i lives at data + i * byte_stride. The stride is kept in
// bytes, and elements are read with memcpy, so any stride (negative, zero, or not a multiple of
// sizeof(T)) reads exactly the element NumPy would.
template <class T>
class StridedView {
 public:
  StridedView() = default;
  StridedView(const void* data, std::size_t n, std::ptrdiff_t byte_stride)
      : data_(static_cast<const unsigned char*>(data)), n_(n), byte_stride_(byte_stride) {}

  // A view over a contiguous buffer.
  static StridedView contiguous(const T* data, std::size_t n) {
    return StridedView(data, n, static_cast<std::ptrdiff_t>(sizeof(T)));
  }
  static StridedView of(const std::vector<T>& v) { return contiguous(v.data(), v.size()); }

  std::size_t size() const { return n_; }
  std::ptrdiff_t byte_stride() const { return byte_stride_; }

  // The elements' bytes as one block in index order, or nullptr when the elements are not adjacent.
  const unsigned char* contiguous_bytes() const {
    return byte_stride_ == static_cast<std::ptrdiff_t>(sizeof(T)) ? data_ : nullptr;
  }

  T operator[](std::size_t i) const {
    T value;
    std::memcpy(&value, data_ + static_cast<std::ptrdiff_t>(i) * byte_stride_, sizeof(T));
    return value;
  }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t n_ = 0;
  std::ptrdiff_t byte_stride_ = static_cast<std::ptrdiff_t>(sizeof(T));
};

// A float64 sample.
using Sample = StridedView<double>;
// A boolean sample: one byte per element, true when non-zero.
using BoolSample = StridedView<std::uint8_t>;

}  // namespace quorlix
