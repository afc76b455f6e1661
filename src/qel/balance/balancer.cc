// The dynamic load balancer: assigning task keys to workers.
#include "qel/balance/balancer.h"

#include <functional>
#include <queue>

namespace qel::balance {

void Balancer::assign_task_keys(std::span<const std::pair<StructValueKey, WorkerSet>> entries) {
  for (const auto& [key, set] : entries) workers_[key] = set;
}

void Balancer::update_clusters(std::span<const Dependency> deps, std::uint32_t total_workers) {
  std::map<std::uint32_t, std::uint64_t> load;
  for (std::uint32_t w = 0; w < total_workers; ++w) load.emplace_hint(load.end(), w, 0);
  // Workers outside 0 .. total_workers - 1 that already own keys compete too.
  for (const auto& [key, set] : workers_) {
    for (std::uint32_t w : set) ++load[w];
  }
  // (load, worker): the smallest load first, ties to the smaller number.
  using Entry = std::pair<std::uint64_t, std::uint32_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap;
  for (const auto& [w, l] : load) heap.emplace(l, w);

  for (const Dependency& d : deps) {
    if (workers_.contains(d.key)) continue;  // as given: an owned key keeps its workers
    if (heap.empty()) break;
    const auto [l, w] = heap.top();
    heap.pop();
    workers_[d.key].insert(w);
    for (const StructValueKey& dep : d.dependents) {
      const KeyView masked = masked_view(dep.view(), key_mask_);
      auto it = workers_.find(masked);
      if (it == workers_.end()) it = workers_.emplace(to_key(masked), WorkerSet{}).first;
      it->second.insert(w);
    }
    heap.emplace(l + 1 + d.dependents.size(), w);
  }
}

}  // namespace qel::balance
