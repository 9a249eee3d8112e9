// The range count: how many stored points lie strictly closer to a query than a radius.
#include <cstddef>

#include "kdtree/chebyshev.hpp"
#include "kdtree/kdtree.hpp"

namespace quorlix {

template <std::size_t K>
std::size_t KdTree<K>::count_within(const Point& query, double radius) const {
  return size_ == 0 ? 0 : count_walk(0, 0, size_, 0.0, query, radius);
}

// bound is a lower bound on the distance from the query to every point of the node, from the splits passed
// on the way down. Skipping a node that lies wholly at or beyond the radius only saves work: none of its
// points would pass the strict test. A NaN radius ends the walk at the root.
template <std::size_t K>
std::size_t KdTree<K>::count_walk(std::size_t node, std::size_t b, std::size_t e, double bound,
                                  const Point& query, double radius) const {
  if (!(box_gap(node, query) < radius)) return 0;
  // A node whose whole box lies inside the radius contributes its size without visiting its points.
  if (chebyshev::box_within(lo_[node], hi_[node], query, radius)) return e - b;
  if (node >= inner_count_) {
    std::size_t count = 0;
    for (std::size_t i = b; i < e; ++i) count += distance_at(i, query) < radius;
    return count;
  }
  const std::size_t axis = axis_of(node);
  const double s = split_[node];
  const double q = query[axis];
  const std::size_t m = b + (e - b) / 2;
  const double far = chebyshev::far_bound(bound, q, s);
  std::size_t count;
  if (q < s) {
    count = count_walk(2 * node + 1, b, m, bound, query, radius);
    if (far <= radius) count += count_walk(2 * node + 2, m, e, far, query, radius);
  } else {
    count = count_walk(2 * node + 2, m, e, bound, query, radius);
    if (far <= radius) count += count_walk(2 * node + 1, b, m, far, query, radius);
  }
  return count;
}

template class KdTree<1>;
template class KdTree<2>;
template class KdTree<3>;

}  // namespace quorlix
