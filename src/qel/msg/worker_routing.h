// Routing a calculator message's rows to the workers that own their task
// keys: the rows without an owner, and the per-worker bodies.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "qel/balance/task_key.h"
#include "qel/msg/calculator.h"

namespace qel::msg {

// (masked key, copy of the row) for each stored row whose key no worker owns,
// in stored order.
std::vector<std::pair<balance::StructValueKey, rows::StructValue>> wild_tasks(const TCDataCommunication& m);
// The distinct masked keys of those rows, ascending.
std::vector<balance::StructValueKey> wild_task_keys(const TCDataCommunication& m);

// What worker_svm produces, computed without touching the message.
struct WorkerSvm {
  std::map<std::uint32_t, std::string> bodies;  // by worker number
  // The next pending list, so far holding the stored rows left without an
  // owner, with room reserved for the kept previous ones.
  std::vector<rows::StructValue> pending;
  std::vector<std::size_t> kept;  // indices of previous pending rows still without an owner
};

// Routes the stored rows, batch by batch, then the pending ones: each to every
// worker that owns its masked key (all to worker 1 when load balancing is
// disabled), or else to the next pending list; then builds one body per
// worker, with the message's prefix and its rows compressed once. Everything
// that can fail happens here: the message is left as it is. Throws Error
// "worker_svm requires set_compressor/decode_string first" (rows to send and
// no catalog) or "worker_svm compress: ...".
WorkerSvm prepare_worker_svm(const TCDataCommunication& m);

// Stores the pending list that `prepared` computed for `m`.
// REQUIRES: `prepared` came from prepare_worker_svm(m), with `m` unchanged since.
void commit_worker_svm(TCDataCommunication& m, WorkerSvm&& prepared) noexcept;

// Both: the bodies, by worker number.
std::map<std::uint32_t, std::string> worker_svm(TCDataCommunication& m);

}  // namespace qel::msg
