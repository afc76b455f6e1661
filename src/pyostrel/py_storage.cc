// The storage-master pool's module functions: one pool per process. Network waits run without the interpreter
// lock; arguments are copied before the release and results built after.
#include "pyostrel/py_storage.h"

#include <pthread.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pyostrel/bind/class.h"
#include "pyostrel/bind/unlocked.h"
#include "pyostrel/py_row_list.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"
#include "qel/storage/client_config.h"
#include "qel/storage/pool.h"

namespace pyostrel {

// A result with warnings: this call's own `failure` as RuntimeWarning, then `notices` of earlier writes that may
// be lost as one UserWarning (one, so that a filter that raises cannot drop the rest). When the failure raises,
// the notices go back to the pool for the next call: nothing taken is lost, and turning RuntimeWarning into an
// error concerns this call only.
template <class T>
struct Warned {
  T value;
  const char* function = "";  // "read_sv: ", prefixed to every text
  std::vector<std::string> notices;
  std::string failure;
};
struct Nothing {};

void restore_notices(std::vector<std::string> notices);

namespace bind {

template <>
struct ToPy<Nothing> {
  static PyObject* convert(Nothing) noexcept { Py_RETURN_NONE; }
};
template <Dir D>
struct PyType<Nothing, D> {
  static std::string text() { return "None"; }
};

template <class T>
struct ToPy<Warned<T>> {
  static PyObject* convert(Warned<T> w) noexcept {
    if (!w.failure.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, std::string(w.function).append(w.failure).c_str(), 1) != 0) {
      restore_notices(std::move(w.notices));
      return nullptr;
    }
    if (!w.notices.empty()) {
      std::string text;
      for (const std::string& n : w.notices) {
        if (!text.empty()) text.push_back('\n');
        text.append(w.function).append(n);
      }
      if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) return nullptr;
    }
    return ToPy<T>::convert(std::move(w.value));
  }
};
template <class T, Dir D>
struct PyType<Warned<T>, D> : PyType<T, D> {};

}  // namespace bind

namespace {

using bind::Unlocked;
using qel::rows::IndexMeta;
using qel::rows::StructValue;
using qel::storage::KestrinConfig;
using qel::storage::KestrinStructValueKey;
using qel::storage::Pool;

Pool& pool();

// fork() runs these as a pair, which the lock analysis cannot follow.
void lock_pool_for_fork() QEL_NO_THREAD_SAFETY_ANALYSIS { pool().before_fork(); }
void unlock_pool_after_fork() QEL_NO_THREAD_SAFETY_ANALYSIS { pool().after_fork(); }

// Never destroyed: a thread may still be inside a call while the interpreter finalises.
Pool& pool() {
  static Pool* const p = [] {
    auto* created = new Pool;
    ::pthread_atfork(lock_pool_for_fork, unlock_pool_after_fork, unlock_pool_after_fork);
    return created;
  }();
  return *p;
}

// The failures no call could raise (writes sent without waiting, refused or cut off later), reported by
// whichever call comes next.
template <class T>
Warned<T> with_notices(const char* function, T value) {
  return Warned<T>{std::move(value), function, pool().take_notices(), {}};
}

std::size_t master_index(std::int64_t slave_index) {
  if (slave_index < 0) throw qel::storage::PoolError("slave_index " + std::to_string(slave_index) + " out of range");
  return static_cast<std::size_t>(slave_index);
}

void initialize(KestrinConfig config) {
  pool().initialize(std::move(config.masters), qel::storage::settings_from_environment());
}

Warned<Nothing> start(const Unlocked& unlocked) {
  pool().start(unlocked.waiter());
  return with_notices("start: ", Nothing{});
}

// Writes still unacknowledged are reported here when no call holds their master, else by the next call.
Warned<Nothing> stop() {
  pool().stop();
  return with_notices("stop: ", Nothing{});
}

std::vector<IndexMeta> read_meta(std::int64_t slave_index) {
  const qel::rows::CatalogSnapshot catalog = pool().catalog(master_index(slave_index));
  std::vector<IndexMeta> out;
  out.reserve(catalog->metas.size());
  for (const auto& [key, meta] : catalog->metas) out.push_back(meta);
  return out;
}

// A failed read is an empty list and a warning with the text an exception would carry; an interrupt
// (a Python error already set) still propagates.
Warned<CatalogRows> read_sv(const Unlocked& unlocked, std::int64_t slave_index, std::uint16_t ns,
                                         std::vector<std::string> markets, std::vector<std::string> symbols,
                                         std::string meta_name, std::vector<std::string> fields,
                                         std::uint32_t revision, std::uint32_t granularity, std::uint64_t fromtm,
                                         std::uint64_t totm) {
  qel::storage::ReadRequest rq{ns,     std::move(meta_name), revision,          granularity,
                               fromtm, totm,                 std::move(markets), std::move(symbols),
                               std::move(fields)};
  CatalogRows rows;
  std::string failure;
  try {
    const std::size_t index = master_index(slave_index);
    rows.rows = pool().read(index, rq, unlocked.waiter());
    rows.catalog = pool().catalog(index);
  } catch (const qel::storage::PoolError& e) {
    failure = e.what();
  }
  Warned<CatalogRows> out = with_notices("read_sv: ", std::move(rows));
  out.failure = std::move(failure);
  return out;
}

Warned<Nothing> copy_struct_value(const Unlocked& unlocked, std::vector<KestrinStructValueKey> keys) {
  pool().copy(keys, unlocked.waiter());
  return with_notices("copy_struct_value: ", Nothing{});
}

// The row is borrowed, not copied: its borrow keeps other threads from changing it while the lock is released.
Warned<Nothing> write_sv(const Unlocked& unlocked, std::int64_t slave_index, const bind::Shared<StructValue>& sv,
                         bool wait_io_completion) {
  const StructValue* row = &*sv;
  pool().write(master_index(slave_index), {&row, 1}, wait_io_completion, unlocked.waiter());
  return with_notices("write_sv: ", Nothing{});
}

}  // namespace

void restore_notices(std::vector<std::string> notices) { pool().restore_notices(std::move(notices)); }

bool add_storage_functions(PyObject* m) noexcept {
  using bind::add_function;
  using bind::add_unlocked_function;
  return init_row_list_type() &&
         add_function<&initialize>(
             m, "initialize", {"config"}, "initialize: ",
             "Keeps the configuration's masters for start() and reads the PYOSTREL_STORAGE_* deadline variables "
             "of the environment. Connects nothing.") &&
         add_unlocked_function<&start>(
             m, "start", {}, "start: ",
             "Connects to every configured master and loads its catalog through the data-definition handshake: "
             "all of them, or none and an exception.") &&
         add_function<&stop>(m, "stop", {}, "stop: ",
                             "Drops every connection; calls in flight on other threads end. Harmless when not "
                             "started. Writes sent without waiting and not yet acknowledged may not be stored: a "
                             "UserWarning says so, here or from the next call.") &&
         add_function<&read_meta>(m, "read_meta", {"slave_index"}, "read_meta: ",
                                  "The catalog metas of one master, from its handshake.") &&
         add_unlocked_function<&read_sv>(
             m, "read_sv",
             {"slave_index", "ns", "markets", "symbols", "meta_name", "fields", "revision", "granularity", "fromtm",
              "totm"},
             "read_sv: ",
             "The rows of one history read: meta_name in namespace ns (revision 0xFFFFFFFF: the highest), the "
             "symbols of every market (none: all), times fromtm..totm in epoch ms inclusive, granularity 0 for "
             "any. A failed read, or a name that does not resolve, returns [] and issues a RuntimeWarning with "
             "the failure. The list also exports its rows as an Arrow stream (__arrow_c_stream__); as readers take a list as a "
             "sequence, hand it over as pyarrow.RecordBatchReader.from_stream(rows).") &&
         add_unlocked_function<&copy_struct_value>(
             m, "copy_struct_value", {"keys"}, "copy_struct_value: ",
             "Reads each key from master 0 and writes its rows to every other master.") &&
         add_unlocked_function<&write_sv>(
             m, "write_sv", {"slave_index", "sv", "wait_io_completion=False"}, "write_sv: ",
             "Sends one row to one master in a realtime push frame; with wait_io_completion, waits for the "
             "master's acknowledgement. A write that failed after any byte was sent is not sent again.");
}

}  // namespace pyostrel
