// The storage-master connection pool: one connection per configured master, each behind its own lock, used on
// the caller's thread. The pool starts no thread; every wait is sliced so the caller's Waiter runs between
// slices (the binding runs Python's signal handlers there).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qel/error.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"
#include "qel/storage/client_config.h"
#include "qel/storage/connection.h"
#include "qel/storage/settings.h"
#include "qel/thread_safety.h"

namespace qel::storage {

// A failed pool call. The text names the master, the phase and the cause:
// "master 0 (127.0.0.1:9000) read: receive from 127.0.0.1:9000: timed out after 200 ms".
class PoolError : public Error {
 public:
  using Error::Error;
};

// A call ended by stop() from another thread: "the pool was stopped".
class PoolStopped : public PoolError {
 public:
  PoolStopped() : PoolError("the pool was stopped") {}
};

// One history read, as the caller names it.
struct ReadRequest {
  std::uint16_t ns = 0;
  std::string meta_name;
  std::uint32_t revision = 0xFFFFFFFF;  // the highest revision of the name
  std::uint32_t granularity = 0;        // 0: any
  std::uint64_t from_tm = 0;            // epoch milliseconds, inclusive
  std::uint64_t to_tm = 0;
  std::vector<std::string> markets;  // each gets `symbols`; none: every market
  std::vector<std::string> symbols;  // none: every symbol of the markets
  std::vector<std::string> fields;   // field names; none: every field
};

struct Master;
struct Running;
struct Call;

// Reports of failures that no call could raise, kept until a call takes them. Shared with the started pool, so
// that a pool stopped while a call still holds it files its losses when the last holder lets go.
class NoticeBoard {
 public:
  void post(std::vector<std::string> notices) QEL_EXCLUDES(lock_);
  // Puts back notices that were taken but could not be issued, ahead of the newer ones.
  void restore(std::vector<std::string> notices) QEL_EXCLUDES(lock_);
  std::vector<std::string> take() QEL_EXCLUDES(lock_);

  // For pthread_atfork, as Pool's.
  void before_fork() QEL_ACQUIRE(lock_) { lock_.lock(); }
  void after_fork() QEL_RELEASE(lock_) { lock_.unlock(); }

 private:
  Mutex lock_;
  std::vector<std::string> notices_ QEL_GUARDED_BY(lock_);
};

class Pool {
 public:
  Pool();
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Keeps the masters, in order, and the settings for the next start(); connects nothing. Throws PoolError
  // "the pool is started; stop() it first" while started.
  // Throws PoolError "master <i>: the host name holds a NUL byte" for a name no resolver would read whole.
  void initialize(std::vector<std::pair<std::string, std::uint16_t>> masters, PoolSettings settings)
      QEL_EXCLUDES(state_);

  // Resolves, connects and handshakes every master; all or nothing. Throws PoolError "no master
  // configured", "the pool is already started; stop() it first", or the first master's failure.
  void start(const Waiter& waiter) QEL_EXCLUDES(state_);

  // Ends the started pool at once: connections not in use close now, those of calls in flight when those
  // calls notice (within a wait slice) and end with PoolStopped. Any number of times, from any thread. Writes
  // sent without waiting and not yet acknowledged become notices ("... the pool was stopped before N write(s) ...")
  // as soon as no call holds their master.
  void stop() noexcept QEL_EXCLUDES(state_);

  // The catalog of master `index`, from its latest handshake.
  rows::CatalogSnapshot catalog(std::size_t index) const QEL_EXCLUDES(state_);

  // The rows of one history read, page after page. A read that fails on an open connection is retried
  // once, on a fresh one, from the rows already read. Throws PoolError (a name that does not resolve is
  // "master 0 (...) resolve: ...").
  std::vector<rows::StructValue> read(std::size_t index, const ReadRequest& request, const Waiter& waiter);

  // Sends `rows` (non-null) to master `index` in one realtime push frame and, with `wait_ack`, waits for its
  // acknowledgement. A frame of which any byte went out is never sent again: a failure after that throws
  // PoolError ending "; the write was not resent".
  void write(std::size_t index, rows::RowRefs rows, bool wait_ack, const Waiter& waiter);

  // Reads each key from master 0 and writes its rows to every other master. A failure throws PoolError
  // "key <i> (<ns>, <name>): <failure>".
  void copy(const std::vector<KestrinStructValueKey>& keys, const Waiter& waiter);

  // Reports of failures that no call could raise (a write sent without waiting, refused later or cut off by a
  // close or a stop), oldest first; taking them empties the list. Those a caller could not pass on go back with
  // restore_notices, to be taken again first.
  std::vector<std::string> take_notices() { return notices_->take(); }
  void restore_notices(std::vector<std::string> notices) { notices_->restore(std::move(notices)); }

  // For pthread_atfork: a fork() between the two keeps the pool's locks from being copied held (a master's locks
  // do not matter: a forked child adopts fresh masters).
  // The analysis cannot follow the board's lock across the two calls; after_fork releases it.
  void before_fork() QEL_ACQUIRE(state_) QEL_NO_THREAD_SAFETY_ANALYSIS {
    state_.lock();
    notices_->before_fork();
  }
  void after_fork() QEL_RELEASE(state_) QEL_NO_THREAD_SAFETY_ANALYSIS {
    notices_->after_fork();
    state_.unlock();
  }

 private:
  // The started pool (adopted anew in a forked child), or PoolError "the pool is not started".
  std::shared_ptr<Running> current() const QEL_EXCLUDES(state_);
  Call begin(std::size_t index, const Waiter& waiter) const QEL_EXCLUDES(state_);

  mutable Mutex state_;
  mutable std::shared_ptr<Running> running_ QEL_GUARDED_BY(state_);  // replaced in a forked child by current()
  std::atomic<std::uint64_t> epoch_{0};  // advanced by stop(); calls of an older epoch end
  std::vector<std::pair<std::string, std::uint16_t>> configured_ QEL_GUARDED_BY(state_);
  PoolSettings settings_ QEL_GUARDED_BY(state_);
  const std::shared_ptr<NoticeBoard> notices_ = std::make_shared<NoticeBoard>();
};

// ---- exposed for tests --------------------------------------------------------------------------------------

// The pause after `failures` failed connects in a row: the first back-off doubled per further failure, up to
// the ceiling, then scaled by `jitter` in [0.5, 1] so that clients restarted together do not reconnect in step.
std::chrono::milliseconds backoff_after(unsigned failures, const PoolSettings& s, double jitter) noexcept;

// The NetRequest fields of a read resolved against a catalog: (namespace, meta id) and the field slots.
struct ResolvedRead {
  std::uint16_t ns = 0;
  std::uint32_t meta_id = 0;
  std::vector<std::uint32_t> field_ids;
};
// Throws Error "no meta named '<name>' in namespace <ns>", "... of revision <r> ...", "meta '<name>' has no field
// '<field>'", "symbols given without markets".
ResolvedRead resolve_read(const rows::IndexSchemaCatalog& catalog, const ReadRequest& request);

}  // namespace qel::storage
