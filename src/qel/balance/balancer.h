// The dynamic load balancer's state: which workers own which task keys, the
// key mask, and the rows still waiting for an owner.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "qel/balance/task_key.h"
#include "qel/rows/struct_value.h"

namespace qel::balance {

using WorkerSet = std::set<std::uint32_t>;
using Workers = std::map<StructValueKey, WorkerSet, KeyLess>;

// A task key and the keys that depend on it: they follow it to its worker.
struct Dependency {
  StructValueKey key;
  std::vector<StructValueKey> dependents;
};

// The owners of each key by hash, for routing rows: each worker that owns a
// key is a group number, its position among all owning workers in ascending
// order. Views into the keys of the Workers it was built from.
class OwnerIndex {
 public:
  void rebuild(const Workers& workers);
  // The groups of the key's owners (empty for a key whose set is empty); null
  // when `workers` lacks the key.
  const std::span<const std::uint32_t>* find(const KeyView& key) const noexcept;
  // Group -> worker number, ascending.
  std::span<const std::uint32_t> workers() const noexcept { return numbers_; }

 private:
  struct Entry {
    std::size_t hash;
    KeyView key;
    std::span<const std::uint32_t> groups;  // into groups_
  };
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // open addressing, linear probing: entry + 1, 0 free
  std::vector<std::uint32_t> groups_;
  std::vector<std::uint32_t> numbers_;
};

class Balancer {
 public:
  Balancer() = default;
  Balancer(const Balancer& other);
  Balancer& operator=(const Balancer& other);
  Balancer(Balancer&&) noexcept = default;  // map nodes move with the map: the index stays valid
  Balancer& operator=(Balancer&&) noexcept = default;

  const Workers& workers() const noexcept { return workers_; }
  void setup_workers(Workers workers);
  // Each entry replaces its key's worker set; other keys stay.
  void assign_task_keys(std::span<const std::pair<StructValueKey, WorkerSet>> entries);
  void clear_workers();

  // Gives each key of `deps` not yet owned to the least-burdened worker
  // (smallest load, then smallest number) and its dependents, masked, to the
  // same worker. Loads start from workers 0 .. total_workers - 1 at 0, plus
  // one per (key, worker) already present; a worker's load grows by one plus
  // its new key's dependents.
  void update_clusters(std::span<const Dependency> deps, std::uint32_t total_workers);

  std::uint16_t key_mask() const noexcept { return key_mask_; }
  void set_key_mask(std::uint16_t mask) noexcept { key_mask_ = mask; }

  // The row's masked task key.
  KeyView task_key(const rows::StructValue& row) const noexcept { return masked_view(row, key_mask_); }
  // Whether some entry of workers() holds the row's masked task key.
  bool owned(const rows::StructValue& row) const noexcept { return index_.find(task_key(row)) != nullptr; }
  const OwnerIndex& index() const noexcept { return index_; }

  // Rows whose key had no owner at the last worker_svm.
  std::vector<rows::StructValue> pending;
  // Every row goes to worker 1.
  bool disable_load_balance = false;
  // Kept for the caller; routing does not read it.
  bool dynamic_load_balance = false;

 private:
  Workers workers_;
  OwnerIndex index_;  // of workers_, rebuilt whenever it changes
  std::uint16_t key_mask_ = 0;
};

}  // namespace qel::balance
