// The dynamic load balancer: assigning task keys to workers, and the index
// that routing looks owners up in.
#include "qel/balance/balancer.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <queue>

namespace qel::balance {

void OwnerIndex::rebuild(const Workers& workers) {
  std::vector<std::uint32_t> numbers;
  for (const auto& [key, set] : workers) numbers.insert(numbers.end(), set.begin(), set.end());
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());

  std::vector<std::uint32_t> groups;
  std::vector<Entry> entries;
  entries.reserve(workers.size());
  for (const auto& [key, set] : workers) {
    for (std::uint32_t w : set) {
      groups.push_back(static_cast<std::uint32_t>(std::lower_bound(numbers.begin(), numbers.end(), w) - numbers.begin()));
    }
    entries.push_back({hash_value(key), key.view(), {}});
  }
  // Spans only once `groups` has stopped growing.
  std::size_t at = 0;
  auto entry = entries.begin();
  for (const auto& [key, set] : workers) {
    (entry++)->groups = std::span<const std::uint32_t>(groups.data() + at, set.size());
    at += set.size();
  }

  // At most half full, so that probes stay short.
  std::vector<std::uint32_t> slots(entries.empty() ? 0 : std::bit_ceil(2 * entries.size()));
  for (std::size_t e = 0; e < entries.size(); ++e) {
    std::size_t i = entries[e].hash & (slots.size() - 1);
    while (slots[i] != 0) i = (i + 1) & (slots.size() - 1);
    slots[i] = static_cast<std::uint32_t>(e + 1);
  }

  entries_ = std::move(entries);
  slots_ = std::move(slots);
  groups_ = std::move(groups);  // a moved vector keeps its buffer: the spans stay valid
  numbers_ = std::move(numbers);
}

const std::span<const std::uint32_t>* OwnerIndex::find(const KeyView& key) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::size_t hash = hash_value(key);
  for (std::size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
    const std::uint32_t e = slots_[i];
    if (e == 0) return nullptr;
    const Entry& entry = entries_[e - 1];
    if (entry.hash == hash && entry.key == key) return &entry.groups;
  }
}

Balancer::Balancer(const Balancer& other)
    : pending(other.pending),
      disable_load_balance(other.disable_load_balance),
      dynamic_load_balance(other.dynamic_load_balance),
      workers_(other.workers_),
      key_mask_(other.key_mask_) {
  index_.rebuild(workers_);
}

Balancer& Balancer::operator=(const Balancer& other) {
  if (this != &other) *this = Balancer(other);
  return *this;
}

// Each change builds the new index first: a failure leaves both as they were.
void Balancer::setup_workers(Workers workers) {
  OwnerIndex index;
  index.rebuild(workers);
  workers_ = std::move(workers);
  index_ = std::move(index);
}

void Balancer::assign_task_keys(std::span<const std::pair<StructValueKey, WorkerSet>> entries) {
  Workers next = workers_;
  for (const auto& [key, set] : entries) next[key] = set;
  setup_workers(std::move(next));
}

void Balancer::clear_workers() { setup_workers({}); }

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

  Workers next = workers_;
  for (const Dependency& d : deps) {
    if (next.contains(d.key)) continue;  // as given: an owned key keeps its workers
    if (heap.empty()) break;
    const auto [l, w] = heap.top();
    heap.pop();
    next[d.key].insert(w);
    for (const StructValueKey& dep : d.dependents) {
      const KeyView masked = masked_view(dep.view(), key_mask_);
      auto it = next.find(masked);
      if (it == next.end()) it = next.emplace(to_key(masked), WorkerSet{}).first;
      it->second.insert(w);
    }
    heap.emplace(l + 1 + d.dependents.size(), w);
  }
  setup_workers(std::move(next));
}

}  // namespace qel::balance
