// Offline rectangle counting by one sweep over a Fenwick tree.
#include "info/range_count.hpp"

#include "core/stop.hpp"

namespace quorlix::info {
namespace {

// The set of positions taken so far, answering how many lie in a range: a bitmap with one bit per position
// and a Fenwick tree over the bitmap's 64-bit words. Both stay small enough for the cache (a sixteenth of
// a byte per position and a sixteenth of a word per position), where a Fenwick tree over the positions
// themselves would not.
class TakenPositions {
 public:
  explicit TakenPositions(std::size_t n) : bits_(n / 64 + 1, 0), words_(n / 64 + 2, 0) {}

  void insert(std::size_t position) {
    bits_[position / 64] |= std::uint64_t{1} << (position % 64);
    for (std::size_t i = position / 64 + 1; i < words_.size(); i += i & (~i + 1)) ++words_[i];
  }

  // The number of taken positions in [lo, hi), lo <= hi.
  std::uint32_t between(std::size_t lo, std::size_t hi) const {
    return (words_between(lo / 64, hi / 64) + within_word(hi)) - within_word(lo);
  }

 private:
  // Taken positions in the words [lo, hi). The Fenwick chains of hi and lo share their tail once they meet,
  // so only the parts before that are read.
  std::uint32_t words_between(std::size_t lo, std::size_t hi) const {
    std::uint32_t s = 0;
    while (hi > lo) {
      s += words_[hi];
      hi &= hi - 1;
    }
    while (lo > hi) {
      s -= words_[lo];
      lo &= lo - 1;
    }
    return s;
  }

  // Taken positions in the word of p, below p.
  std::uint32_t within_word(std::size_t p) const {
    const std::uint64_t below = (std::uint64_t{1} << (p % 64)) - 1;
    return ones(bits_[p / 64] & below);
  }

  // The number of set bits, by adding neighbouring fields of growing width; written out because the
  // baseline instruction set has no population count, and the library call would cost more than this.
  static std::uint32_t ones(std::uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555);
    v = (v & 0x3333333333333333) + ((v >> 2) & 0x3333333333333333);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return static_cast<std::uint32_t>((v * 0x0101010101010101) >> 56);
  }

  std::vector<std::uint64_t> bits_;
  std::vector<std::uint32_t> words_;
};

}  // namespace

std::vector<std::uint32_t> count_in_rectangles(std::span<const std::uint32_t> b_at_a,
                                               std::span<const RankRectangle> rectangles) {
  const std::size_t n = b_at_a.size();
  const std::size_t m = rectangles.size();
  // Each rectangle is visited twice, at a_lo to subtract and at a_hi to add. The visits are bucketed by
  // their a-position and carry what the sweep needs, so that it reads them in order.
  struct Visit {
    std::uint32_t tag;  // 2q for the a_lo visit of rectangle q, 2q + 1 for its a_hi visit
    std::uint32_t b_lo, b_hi;
  };
  // starts[a + 1] first counts the visits at a; the prefix sums then make starts[a] the first slot of a.
  std::vector<std::uint32_t> starts(n + 2, 0);
  for (const RankRectangle& r : rectangles) {
    ++starts[r.a_lo + 1];
    ++starts[r.a_hi + 1];
  }
  stop_point();
  for (std::size_t a = 1; a < starts.size(); ++a) starts[a] += starts[a - 1];
  std::vector<Visit> visits(2 * m);
  {
    std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t q = 0; q < m; ++q) {
      const RankRectangle& r = rectangles[q];
      const auto tag = static_cast<std::uint32_t>(2 * q);
      visits[next[r.a_lo]++] = {tag, r.b_lo, r.b_hi};
      visits[next[r.a_hi]++] = {tag + 1, r.b_lo, r.b_hi};
    }
  }
  stop_point();

  // Counts are formed modulo 2^32: the a_lo term is subtracted first, and the final value is the
  // non-negative difference.
  std::vector<std::uint32_t> counts(m, 0);
  TakenPositions taken(n);
  for (std::size_t a = 0; a <= n; ++a) {
    if (a % 65536 == 65535) stop_point();
    for (std::size_t v = starts[a]; v < starts[a + 1]; ++v) {
      const Visit& visit = visits[v];
      const std::uint32_t inside = taken.between(visit.b_lo, visit.b_hi);
      counts[visit.tag >> 1] += (visit.tag & 1) != 0 ? inside : 0u - inside;
    }
    if (a < n) taken.insert(b_at_a[a]);
  }
  return counts;
}

}  // namespace quorlix::info
