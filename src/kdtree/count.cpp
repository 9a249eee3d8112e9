// The range count: how many stored points lie strictly closer to a query than a radius.
#include <cstddef>

#include "kdtree/chebyshev.hpp"
#include "kdtree/kdtree.hpp"

namespace quorlix {

// A node that lies wholly at or beyond the radius is out of reach: none of its points would pass the strict
// test. A NaN radius reaches nothing, so the walk ends at the root.
template <std::size_t K>
struct KdTree<K>::CountWithin {
  const KdTree& tree;
  const Point& query;
  double radius;
  std::size_t count;

  bool reaches(double gap) const { return gap < radius; }
  // A node whose whole box lies inside the radius contributes its size without visiting its points.
  bool whole(std::size_t node, std::size_t b, std::size_t e) {
    if (!chebyshev::box_within(tree.lo_[node], tree.hi_[node], query, radius)) return false;
    count += e - b;
    return true;
  }
  void leaf(std::size_t, std::size_t b, std::size_t e) {
    // A local sum: stores to count could alias the tree's sizes and force them to be read again.
    std::size_t within = 0;
    for (std::size_t i = b; i < e; ++i) within += tree.distance_at(i, query) < radius;
    count += within;
  }
};

template <std::size_t K>
std::size_t KdTree<K>::count_within(const Point& query, double radius) const {
  if (size_ == 0) return 0;
  CountWithin visit{*this, query, radius, 0};
  walk(visit, query, query);
  return visit.count;
}

// The class itself is instantiated in build.cpp; here only the member defined in this file.
template std::size_t KdTree<1>::count_within(const Point&, double) const;
template std::size_t KdTree<2>::count_within(const Point&, double) const;
template std::size_t KdTree<3>::count_within(const Point&, double) const;

}  // namespace quorlix
