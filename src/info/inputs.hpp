// The estimators' inputs: argument checks, owned copies checked for NaN, and rankings of the samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "core/sample.hpp"

namespace quorlix::info::detail {

// Throws ValidationError when the samples are empty or k is outside [1, n).
void require_usable(std::size_t n, std::uint64_t k);

// Throws ValidationError with `message` unless every length equals the first.
void require_same_length(std::initializer_list<std::size_t> lengths, const char* message);

// Copies the sample and throws InternalFailure kNaN if it holds a NaN. It reads the caller's buffer, so
// it polls only quietly: no Python code runs before the copy is complete, and the caller may copy its
// other inputs before the first full poll.
std::vector<double> checked_copy(Sample s);

// An ascending copy; the values hold no NaN. Polls for an interrupt once sorted.
std::vector<double> sorted_copy(std::span<const double> values);

// The largest sample whose positions, and twice whose length, fit the 32-bit fields used with rankings.
inline constexpr std::size_t kMaxRanked = 0x7FFFFFFF;

// A position in (or a count of) a sample of at most kMaxRanked values, as the 32-bit field that holds it.
inline std::uint32_t position32(std::size_t v) { return static_cast<std::uint32_t>(v); }

// A sample's values in ascending order, bit-identical to sorted_copy, with the permutation between the
// two orders.
struct RankedSample {
  std::vector<double> sorted;
  std::vector<std::uint32_t> order;     // order[p]: the index whose value sits at sorted position p
  std::vector<std::uint32_t> position;  // position[i]: the sorted position of the value of index i
};

// Needs values.size() <= kMaxRanked and no NaN among the values. Polls for an interrupt once sorted.
RankedSample rank_sample(std::span<const double> values);

// The checked copies of three paired samples and, when n allows, their rankings (three pool tasks), as
// ksg_cmi and ksg_ii both start from them.
struct SampleTriple {
  std::vector<double> x, y, z;
  bool ranked = false;
  RankedSample rx, ry, rz;

  const RankedSample* ranking(const RankedSample& r) const { return ranked ? &r : nullptr; }
};

// Validates lengths and k (the three-sample messages), copies and NaN-checks, then ranks.
SampleTriple prepare_triple(Sample x, Sample y, Sample z, std::uint64_t k);

// Whether every difference of two values is finite: no infinity, no NaN and no overflow.
bool differences_finite(std::span<const double> values);

}  // namespace quorlix::info::detail
