// The sequential sum of per-point slots and the trees' task adapter.
#include "info/passes.hpp"

namespace quorlix::info::detail {

double sequential_sum(std::span<const double> slots) {
  double s = -0.0;
  for (double v : slots) s += v;
  return s;
}

KdTreeTasks tree_tasks() {
  return [](std::size_t count, std::size_t points_per_task, const std::function<void(std::size_t)>& task) {
    pool::parallel_tasks(count, static_cast<double>(points_per_task) * kBuildNs, task);
  };
}

}  // namespace quorlix::info::detail
