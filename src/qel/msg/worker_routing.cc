// Routing a calculator message's rows to the workers that own their task keys.
#include "qel/msg/worker_routing.h"

#include <set>
#include <span>
#include <type_traits>

namespace qel::msg {

using balance::Balancer;
using balance::KeyView;
using balance::OwnerIndex;
using balance::StructValueKey;
using balance::to_key;
using rows::StructValue;

// Committing moves the kept pending rows into reserved room: it cannot fail.
static_assert(std::is_nothrow_move_constructible_v<StructValue>);

std::vector<std::pair<StructValueKey, StructValue>> wild_tasks(const TCDataCommunication& m) {
  std::vector<std::pair<StructValueKey, StructValue>> out;
  for (const auto& [key, rows] : m.batches) {
    for (const StructValue& row : rows) {
      if (!m.balancer.owned(row)) out.emplace_back(to_key(m.balancer.task_key(row)), row);
    }
  }
  return out;
}

std::vector<StructValueKey> wild_task_keys(const TCDataCommunication& m) {
  std::set<KeyView> seen;  // views into the stored rows
  for (const auto& [key, rows] : m.batches) {
    for (const StructValue& row : rows) {
      if (!m.balancer.owned(row)) seen.insert(m.balancer.task_key(row));
    }
  }
  std::vector<StructValueKey> out;
  out.reserve(seen.size());
  for (const KeyView& k : seen) out.push_back(to_key(k));
  return out;
}

WorkerSvm prepare_worker_svm(const TCDataCommunication& m) {
  const Balancer& b = m.balancer;
  const std::vector<StructValue>& previous = b.pending;
  // Stored rows first, then the previous pending ones: one order throughout.
  std::vector<const StructValue*> rows = stored_rows(m.batches);
  const std::size_t stored = rows.size();
  rows.reserve(stored + previous.size());
  for (const StructValue& row : previous) rows.push_back(&row);

  WorkerSvm out;
  if (rows.empty()) return out;

  // Each row once per worker that owns it, in row order: the serializer then
  // reads the rows in memory order, whichever worker they go to. Workers are
  // numbered as the index numbers them, in ascending worker order.
  std::vector<std::uint32_t> numbers;
  std::vector<rows::RoutedRow> routed;
  std::vector<std::size_t> strays;  // positions in `rows` of those without an owner
  routed.reserve(rows.size());
  if (b.disable_load_balance) {
    numbers.push_back(1);
    for (const StructValue* row : rows) routed.push_back({row, 0});
  } else {
    const OwnerIndex& index = b.index();
    numbers.assign(index.workers().begin(), index.workers().end());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::span<const std::uint32_t>* owners = index.find(b.task_key(*rows[i]));
      if (!owners) {
        strays.push_back(i);
        continue;
      }
      for (std::uint32_t g : *owners) routed.push_back({rows[i], g});
    }
  }

  if (!routed.empty()) {
    if (!m.catalog) throw Error("worker_svm requires set_compressor/decode_string first");
    with_prefix<Error>("worker_svm compress: ", [&] {
      rows::compress_split(*m.catalog, routed, numbers.size(), [&](std::size_t g, wire::Bytes blob) {
        out.bodies.emplace_hint(out.bodies.end(), numbers[g], data_body(m.base, blob));
      });
    });
  }

  // Stored rows are copied into the next pending list now; previous pending
  // rows stay where they are until the commit moves them.
  out.pending.reserve(strays.size());
  for (std::size_t i : strays) {
    if (i < stored) {
      out.pending.push_back(*rows[i]);
    } else {
      out.kept.push_back(i - stored);
    }
  }
  return out;
}

void commit_worker_svm(TCDataCommunication& m, WorkerSvm&& prepared) noexcept {
  std::vector<StructValue>& previous = m.balancer.pending;
  for (std::size_t i : prepared.kept) prepared.pending.push_back(std::move(previous[i]));  // within reserved room
  previous.swap(prepared.pending);
}

std::map<std::uint32_t, std::string> worker_svm(TCDataCommunication& m) {
  WorkerSvm prepared = prepare_worker_svm(m);
  std::map<std::uint32_t, std::string> bodies = std::move(prepared.bodies);
  commit_worker_svm(m, std::move(prepared));
  return bodies;
}

}  // namespace qel::msg
