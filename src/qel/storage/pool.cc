// The storage-master connection pool.
#include "qel/storage/pool.h"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <random>

#include "qel/constants.h"
#include "qel/msg/data_ring.h"
#include "qel/msg/history.h"
#include "qel/rows/index_serializer.h"
#include "qel/wire/frame.h"

namespace qel::storage {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// One configured master. The connection and everything after `busy` is used only by the holder of `busy`;
// the catalog is guarded by the pool's state lock, so read_meta never waits on a call in flight.
struct Master {
  std::size_t index = 0;
  std::string label;  // "master 0 (127.0.0.1:9000)"
  std::vector<Address> addresses;
  rows::CatalogSnapshot catalog;

  std::timed_mutex busy;
  Connection conn;
  std::uint32_t next_seq = 1;
  std::deque<std::uint32_t> unacked;  // frame seqs of writes sent without waiting, oldest first
  Clock::time_point last_settled{};   // when settle() last looked at the socket
  std::size_t unsettled = 0;          // writes sent without waiting since then
  std::size_t untracked = 0;          // unacknowledged writes dropped from `unacked`, see expect_ack_later
  unsigned failures = 0;              // failed connects in a row
  Clock::time_point retry_at{};
  std::string last_failure;
};

// A started pool. Calls keep it alive while they run, so stop() never waits for them.
struct Running {
  std::vector<std::unique_ptr<Master>> masters;
  PoolSettings settings;
  std::uint64_t generation = 0;  // fork_generation() of the process that started it
};

namespace {

namespace cmd = constants;
namespace hcmd = msg::history_cmd;

constexpr auto kClientId = static_cast<std::uint16_t>(cmd::net_cmd_vask_route_prote_clientid);
constexpr auto kDataDef = static_cast<std::uint16_t>(cmd::net_cmd_vask_route_datadef);
constexpr auto kPush = static_cast<std::uint16_t>(cmd::cmd_td_push);

// A reply that breaks the exchange: the connection is closed and the call may retry where retrying is safe.
struct ProtocolFault {
  std::string cause;
};

// A reply that refuses the request, on a connection that stays sound.
struct Refusal {
  std::string reason;
};

std::string hex(std::uint16_t v) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(v >> shift) & 0xF];
  return out;
}

std::string refusal_reason(const std::string& body) {
  msg::HistoryErrorResponse e;
  try {
    msg::decode(e, wire::as_bytes(body));
  } catch (const Error& err) {
    return std::string("an error reply that does not decode: ") + err.what();
  }
  std::string reason = e.reason.empty() ? e.head.base.error_msg : e.reason;
  return reason + " (error code " + std::to_string(e.head.base.error_code) + ")";
}

std::int64_t clamp_time(std::uint64_t t) {
  return static_cast<std::int64_t>(std::min<std::uint64_t>(t, std::numeric_limits<std::int64_t>::max()));
}

double jitter() {
  thread_local std::minstd_rand gen(std::random_device{}());
  return std::uniform_real_distribution<double>(0.5, 1.0)(gen);
}

}  // namespace

milliseconds backoff_after(unsigned failures, const PoolSettings& s, double jitter) noexcept {
  if (failures == 0) return milliseconds(0);
  milliseconds b = s.backoff;
  for (unsigned i = 1; i < failures && b < s.backoff_max; ++i) b *= 2;
  b = std::min(b, s.backoff_max);
  return milliseconds(static_cast<milliseconds::rep>(static_cast<double>(b.count()) * std::clamp(jitter, 0.5, 1.0)));
}

ResolvedRead resolve_read(const rows::IndexSchemaCatalog& catalog, const ReadRequest& rq) {
  if (rq.markets.empty() && !rq.symbols.empty()) throw Error("symbols given without markets");
  const rows::IndexMeta* found = nullptr;
  for (const auto& [key, meta] : catalog.metas) {
    if (key.first != rq.ns || meta.name != rq.meta_name) continue;
    if (rq.revision == 0xFFFFFFFF ? (!found || meta.revision >= found->revision) : meta.revision == rq.revision) {
      found = &meta;
    }
  }
  if (!found) {
    std::string text = "no meta named '" + rq.meta_name + "'";
    if (rq.revision != 0xFFFFFFFF) text += " of revision " + std::to_string(rq.revision);
    throw Error(text + " in namespace " + std::to_string(rq.ns));
  }
  ResolvedRead out{found->namespace_, found->id, {}};
  out.field_ids.reserve(rq.fields.size());
  for (const std::string& name : rq.fields) {
    auto it = std::find_if(found->fields.begin(), found->fields.end(), [&](const auto& f) { return f.name == name; });
    if (it == found->fields.end()) throw Error("meta '" + rq.meta_name + "' has no field '" + name + "'");
    out.field_ids.push_back(it->pos);
  }
  return out;
}

// What one call needs: the pool it runs on, its master, its whole-call deadline, a waiter that ends it when the
// pool is stopped, and the notices it makes.
struct Call {
  std::shared_ptr<Running> running;
  Master* master = nullptr;
  Deadline deadline = Deadline::never();
  Waiter waiter;
  std::mutex* state = nullptr;  // the pool's, for the catalog
  std::vector<std::string> notices;

  const PoolSettings& settings() const { return running->settings; }
  Master& m() const { return *master; }
  [[noreturn]] void fail(const std::string& phase, const std::string& cause) const {
    throw PoolError(master->label + " " + phase + ": " + cause);
  }

  std::uint32_t next_seq() {
    const std::uint32_t s = m().next_seq++;
    if (m().next_seq == 0) m().next_seq = 1;
    return s;
  }
  rows::CatalogSnapshot catalog() const {
    std::lock_guard lock(*state);
    return m().catalog;
  }

  void send(std::uint16_t cmd, std::uint32_t seq, wire::Bytes body, const Deadline& deadline) {
    send_frame(wire::encode_raw_frame(cmd, seq, body), deadline);
  }
  void send_frame(const std::string& frame, const Deadline& deadline) {
    m().conn.send_all(wire::as_bytes(frame), deadline, waiter);
  }
  ReceivedFrame read_reply(const Deadline& deadline);
  ReceivedFrame expect(std::uint16_t cmd, std::uint32_t seq, const Deadline& deadline);
  bool take_ack(const ReceivedFrame& f);
  void expect_ack_later(std::uint32_t seq);
  void lose_unacked();
  void settle(bool awaits_reply);
  void ready(bool awaits_reply = true);
  [[noreturn]] void failed_connect(const char* phase, const std::string& cause);
  void handshake();
};

namespace {

// Takes the master's lock in slices, so a signal or stop() ends the wait.
std::unique_lock<std::timed_mutex> lock_master(const Call& call) {
  std::unique_lock lock(call.m().busy, std::defer_lock);
  for (;;) {
    const milliseconds left = call.deadline.remaining();
    if (left.count() == 0) {
      call.fail("lock", "the connection stayed in use by another call for " +
                            std::to_string(call.deadline.budget().count()) + " ms");
    }
    if (lock.try_lock_for(std::min(left, kWaitSlice))) return lock;
    call.waiter();
  }
}

}  // namespace

// ---- the exchange on one connection -------------------------------------------------------------------------

bool Call::take_ack(const ReceivedFrame& f) {
  if (m().unacked.empty() || f.seq != m().unacked.front()) return false;
  if (f.cmd == kPush) {
    m().unacked.pop_front();
    return true;
  }
  if (f.cmd == hcmd::kError) {
    m().unacked.pop_front();
    notices.push_back(m().label + " write: a write sent without waiting was refused: " + refusal_reason(f.body));
    return true;
  }
  return false;
}

// A master that never acknowledges must not grow the list without bound: past kMaxUnacked the oldest are
// forgotten, once reported. Their acknowledgements, should they come, then close the connection as strays.
constexpr std::size_t kMaxUnacked = std::size_t{1} << 20;

void Call::expect_ack_later(std::uint32_t seq) {
  if (m().unacked.size() == kMaxUnacked) {
    if (m().untracked++ == 0) {
      notices.push_back(m().label + " write: " + std::to_string(kMaxUnacked) +
                        " writes sent without waiting are still unacknowledged; the oldest are no longer tracked");
    }
    m().unacked.pop_front();
  }
  m().unacked.push_back(seq);
}

void Call::lose_unacked() {
  m().untracked = 0;
  if (m().unacked.empty()) return;
  notices.push_back(m().label + " write: the connection closed before " + std::to_string(m().unacked.size()) +
                    " write(s) sent without waiting were acknowledged; they may not be stored");
  m().unacked.clear();
}

ReceivedFrame Call::read_reply(const Deadline& deadline) {
  for (;;) {
    ReceivedFrame f = m().conn.read_frame(deadline, waiter, settings().max_frame_bytes, settings().reply);
    if (!take_ack(f)) return f;
  }
}

ReceivedFrame Call::expect(std::uint16_t cmd, std::uint32_t seq, const Deadline& deadline) {
  ReceivedFrame f = read_reply(deadline);
  if (f.seq == seq && f.cmd == cmd) return f;
  if (f.seq == seq && f.cmd == hcmd::kError) throw Refusal{refusal_reason(f.body)};
  m().conn.close();
  throw ProtocolFault{"unexpected reply " + hex(f.cmd) + " seq " + std::to_string(f.seq) + " (expected " + hex(cmd) +
                      " seq " + std::to_string(seq) + ")"};
}

// Consumes the acknowledgements that have arrived. Anything else in the socket now is a reply that no request
// waits for, so the connection cannot be trusted: it is closed, to be reopened. A request that awaits no reply
// (a write without waiting) cannot misread stray bytes, so a stream of them looks only every kSettleEvery
// writes or after a pause: one system call fewer per write, and a peer's close after a pause still seen
// before the next write goes out.
constexpr std::size_t kSettleEvery = 64;
constexpr milliseconds kSettleAfter{5};

void Call::settle(bool awaits_reply) {
  if (!m().conn.connected()) return;
  const auto now = Clock::now();
  if (!awaits_reply && ++m().unsettled < kSettleEvery && now - m().last_settled < kSettleAfter) return;
  m().last_settled = now;
  m().unsettled = 0;
  try {
    m().conn.receive_available();
    while (std::optional<ReceivedFrame> f = m().conn.take_buffered_frame(settings().max_frame_bytes)) {
      if (!take_ack(*f)) {
        m().conn.close();
        break;
      }
    }
  } catch (const ConnectionError&) {
    // closed by the peer while idle, or sent bytes that are not a frame: closed here too
  }
  if (!m().conn.connected()) lose_unacked();
}

void Call::ready(bool awaits_reply) {
  settle(awaits_reply);
  if (m().conn.connected()) return;
  lose_unacked();
  Master& mm = m();
  const auto now = Clock::now();
  if (mm.failures > 0 && now < mm.retry_at) {
    const auto left = std::chrono::ceil<milliseconds>(mm.retry_at - now).count();
    fail("connect", "not retried for another " + std::to_string(left) + " ms after: " + mm.last_failure);
  }
  const char* phase = "connect";
  try {
    mm.conn.connect(mm.addresses, earliest(deadline, Deadline(settings().connect)), waiter);
    phase = "handshake";
    handshake();
  } catch (const ConnectionError& e) {
    failed_connect(phase, e.what());
  } catch (const ProtocolFault& f) {
    failed_connect(phase, f.cause);
  } catch (const Refusal& r) {
    failed_connect(phase, "the master refused: " + r.reason);
  } catch (const rows::SchemaError& e) {
    failed_connect(phase, std::string("DataDef catalog load: ") + e.what());
  }
  mm.failures = 0;
}

void Call::failed_connect(const char* phase, const std::string& cause) {
  Master& mm = m();
  mm.conn.close();
  ++mm.failures;
  mm.retry_at = Clock::now() + backoff_after(mm.failures, settings(), jitter());
  mm.last_failure = std::string(phase) + ": " + cause;
  fail(phase, cause);
}

void Call::handshake() {
  const Deadline hs = earliest(deadline, Deadline(settings().handshake));
  const std::uint32_t id_seq = next_seq();
  send(kClientId, id_seq, {}, hs);
  expect(kClientId, id_seq, hs);
  const std::uint32_t def_seq = next_seq();
  send(kDataDef, def_seq, {}, hs);
  const ReceivedFrame schema = expect(kDataDef, def_seq, hs);
  auto catalog = std::make_shared<const rows::IndexSchemaCatalog>(rows::load_schema(wire::as_bytes(schema.body)));
  std::lock_guard lock(*state);
  m().catalog = std::move(catalog);
}

// ---- the pool -----------------------------------------------------------------------------------------------

Pool::Pool() = default;
Pool::~Pool() = default;

void Pool::initialize(std::vector<std::pair<std::string, std::uint16_t>> masters, PoolSettings settings) {
  std::lock_guard lock(state_);
  if (running_) throw PoolError("the pool is started; stop() it first");
  configured_ = std::move(masters);
  settings_ = settings;
}

void Pool::stop() noexcept {
  std::shared_ptr<Running> ending;
  {
    std::lock_guard lock(state_);
    ending = std::move(running_);
    epoch_.fetch_add(1);
  }
  // Connections no call is using close here, outside the lock; the others with their last call.
}

std::vector<std::string> Pool::take_notices() {
  std::lock_guard lock(state_);
  return std::exchange(notices_, {});
}

void Pool::start(const Waiter& outer) {
  std::uint64_t epoch = 0;
  auto running = std::make_shared<Running>();
  std::vector<std::pair<std::string, std::uint16_t>> endpoints;  // the labels' own, whatever initialize does next
  {
    std::lock_guard lock(state_);
    if (running_) throw PoolError("the pool is already started; stop() it first");
    if (configured_.empty()) throw PoolError("no master configured");
    epoch = epoch_.load();
    running->settings = settings_;
    running->generation = fork_generation();
    for (std::size_t i = 0; i < configured_.size(); ++i) {
      auto m = std::make_unique<Master>();
      m->index = i;
      m->label = "master " + std::to_string(i) + " (" + configured_[i].first + ":" +
                 std::to_string(configured_[i].second) + ")";
      running->masters.push_back(std::move(m));
    }
    endpoints = configured_;
  }
  // One deadline for the whole start: a call's budget, as for any other call.
  const Deadline deadline(running->settings.call);
  const Waiter waiter = [this, epoch, &outer] {
    if (epoch_.load() != epoch) throw PoolStopped();
    if (outer) outer();
  };
  for (auto& m : running->masters) {
    try {
      m->addresses = resolve(endpoints[m->index].first, endpoints[m->index].second);
    } catch (const ConnectionError& e) {
      throw PoolError(m->label + " resolve: " + e.what());
    }
    Call call{running, m.get(), deadline, waiter, &state_, {}};
    call.ready();
  }
  std::lock_guard lock(state_);
  if (epoch_.load() != epoch) throw PoolStopped();
  if (running_) throw PoolError("the pool is already started; stop() it first");
  running_ = std::move(running);
}

std::shared_ptr<Running> Pool::current() const {
  std::lock_guard lock(state_);
  if (!running_) throw PoolError("the pool is not started");
  if (running_->generation == fork_generation()) return running_;
  // After fork() the child holds copies of masters whose locks may be held by threads that do not exist
  // here. It takes fresh masters with the same addresses and catalogs and leaks the old ones, whose locks
  // may be held: destroying a held mutex is undefined.
  auto fresh = std::make_shared<Running>();
  fresh->settings = running_->settings;
  fresh->generation = fork_generation();
  for (const auto& m : running_->masters) {
    m->conn.forked();  // drops the inherited descriptor, so the parent's close still ends its stream
    auto copy = std::make_unique<Master>();
    copy->index = m->index;
    copy->label = m->label;
    copy->addresses = m->addresses;
    copy->catalog = m->catalog;
    fresh->masters.push_back(std::move(copy));
  }
  new std::shared_ptr<Running>(std::move(running_));  // deliberately leaked, see above
  running_ = fresh;
  return fresh;
}

rows::CatalogSnapshot Pool::catalog(std::size_t index) const {
  const std::shared_ptr<Running> running = current();
  if (index >= running->masters.size()) {
    throw PoolError("slave_index " + std::to_string(index) + " out of range (" +
                    std::to_string(running->masters.size()) + " masters)");
  }
  std::lock_guard lock(state_);
  return running->masters[index]->catalog;
}

Call Pool::begin(std::size_t index, const Waiter& outer) const {
  const std::uint64_t epoch = epoch_.load();
  std::shared_ptr<Running> running = current();
  if (index >= running->masters.size()) {
    throw PoolError("slave_index " + std::to_string(index) + " out of range (" +
                    std::to_string(running->masters.size()) + " masters)");
  }
  Call call;
  call.master = running->masters[index].get();
  call.deadline = Deadline(running->settings.call);
  call.running = std::move(running);
  call.state = &state_;
  call.waiter = [this, epoch, &outer] {
    if (epoch_.load() != epoch) throw PoolStopped();
    if (outer) outer();
  };
  return call;
}

template <class Body>
auto Pool::on_master(std::size_t index, const Waiter& waiter, Body&& body) {
  Call call = begin(index, waiter);
  struct FileNotices {
    Pool& pool;
    Call& call;
    ~FileNotices() {
      if (call.notices.empty()) return;
      std::lock_guard lock(pool.state_);
      for (auto& n : call.notices) pool.notices_.push_back(std::move(n));
    }
  } filed{*this, call};
  auto lock = lock_master(call);
  return body(call);
}

// ---- reads and writes ---------------------------------------------------------------------------------------

std::vector<rows::StructValue> Pool::read(std::size_t index, const ReadRequest& request, const Waiter& waiter) {
  return on_master(index, waiter, [&](Call& call) { return read_locked(call, request); });
}

std::vector<rows::StructValue> Pool::read_locked(Call& call, const ReadRequest& rq) {
  std::vector<rows::StructValue> rows;
  std::uint64_t offset = 0;
  bool retried = false;
  std::string first_cause;  // what made the read retry
  const auto cause = [&](const std::string& last) {
    return first_cause.empty() ? last : first_cause + "; retried on a fresh connection: " + last;
  };
  for (;;) {
    try {
      call.ready();
    } catch (const PoolStopped&) {
      throw;
    } catch (const PoolError& e) {
      if (first_cause.empty()) throw;
      throw PoolError(std::string(e.what()) + " (retrying a read after: " + first_cause + ")");
    }
    const rows::CatalogSnapshot catalog = call.catalog();
    ResolvedRead resolved;
    try {
      resolved = resolve_read(*catalog, rq);
    } catch (const Error& e) {
      call.fail("resolve", e.what());
    }
    msg::NetRequest req;
    const std::uint32_t seq = call.next_seq();
    req.head.base.seq = static_cast<std::int32_t>(seq);
    req.head.request_id = seq;
    req.meta_id = resolved.meta_id;
    req.namespace_id = resolved.ns;
    req.granularity = rq.granularity;
    req.begin_time = clamp_time(rq.from_tm);
    req.end_time = clamp_time(rq.to_tm);
    req.offset = offset;
    req.field_ids = std::move(resolved.field_ids);
    for (const std::string& market : rq.markets) msg::set_symbol(req, market, rq.symbols);
    try {
      call.send(hcmd::kRead, seq, wire::as_bytes(msg::encode(req)), call.deadline);
      for (;;) {
        const ReceivedFrame f = call.expect(hcmd::kReadReply, seq, call.deadline);
        msg::NetResponse page;
        try {
          msg::decode_history_page(page, wire::as_bytes(f.body), catalog);
        } catch (const Error& e) {
          call.m().conn.close();
          throw ProtocolFault{std::string("page does not decode: ") + e.what()};
        }
        if (page.has_more && page.next_offset <= offset) {
          call.m().conn.close();
          throw ProtocolFault{"page does not advance past offset " + std::to_string(offset)};
        }
        std::vector<rows::StructValue> taken = msg::take_page_rows(page);
        if (rows.empty()) {
          rows = std::move(taken);
        } else {
          rows.insert(rows.end(), std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
        }
        offset = page.next_offset;
        if (!page.has_more) return rows;
      }
    } catch (const Refusal& r) {
      call.fail("read", "the master refused the read: " + r.reason);
    } catch (const ConnectionTimeout& e) {
      // A slow master is as slow on a fresh connection: no retry.
      call.fail("read", cause(e.what()));
    } catch (const ConnectionError& e) {
      if (retried || call.deadline.expired()) call.fail("read", cause(e.what()));
      first_cause = e.what();
    } catch (const ProtocolFault& f) {
      if (retried || call.deadline.expired()) call.fail("read", cause(f.cause));
      first_cause = f.cause;
    }
    retried = true;  // once, on a fresh connection, from the rows already read
  }
}

void Pool::write(std::size_t index, rows::RowRefs rows, bool wait_ack, const Waiter& waiter) {
  on_master(index, waiter, [&](Call& call) { write_locked(call, rows, wait_ack); });
}

void Pool::write_locked(Call& call, rows::RowRefs rows, bool wait_ack) {
  for (bool retried = false;; retried = true) {
    call.ready(wait_ack);
    msg::BinaryPush push;
    push.realtime = 1;
    push.catalog = call.catalog();
    const std::uint32_t seq = call.next_seq();
    std::string frame;
    try {
      frame = msg::encode_push_frame(push, rows, kPush, seq);
    } catch (const Error& e) {
      call.fail("write", std::string(e.what()) + "; nothing was sent");
    }
    try {
      call.send_frame(frame, call.deadline);
    } catch (const ConnectionError& e) {
      // A frame of which nothing left may go once more, on a fresh connection; any byte sent forbids it.
      if (call.m().conn.bytes_sent() == 0 && !retried && !call.deadline.expired()) continue;
      call.fail("write", std::string(e.what()) + "; the write was not resent");
    }
    if (!wait_ack) {
      call.expect_ack_later(seq);
      return;
    }
    try {
      call.expect(kPush, seq, earliest(call.deadline, Deadline(call.settings().ack)));
      return;
    } catch (const Refusal& r) {
      call.fail("acknowledgement", "the master refused the write: " + r.reason);
    } catch (const ConnectionError& e) {
      call.fail("acknowledgement", std::string(e.what()) + "; the write was not resent");
    } catch (const ProtocolFault& f) {
      call.fail("acknowledgement", f.cause + "; the write was not resent");
    }
  }
}

void Pool::copy(const std::vector<KestrinStructValueKey>& keys, const Waiter& waiter) {
  const std::size_t masters = current()->masters.size();
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const KestrinStructValueKey& key = keys[k];
    const std::string label =
        "key " + std::to_string(k) + " (" + std::to_string(key.ns) + ", '" + key.meta_name + "'): ";
    ReadRequest rq;
    rq.ns = key.ns;
    rq.meta_name = key.meta_name;
    rq.revision = key.revision;
    rq.granularity = key.granularity;
    rq.from_tm = key.from_tm;
    rq.to_tm = key.to_tm;
    rq.markets = key.markets;
    rq.symbols = key.symbols;
    try {
      const std::vector<rows::StructValue> rows = read(0, rq, waiter);
      if (rows.empty()) continue;
      std::vector<const rows::StructValue*> refs;
      refs.reserve(rows.size());
      for (const rows::StructValue& row : rows) refs.push_back(&row);
      for (std::size_t i = 1; i < masters; ++i) write(i, refs, key.wait_io_completion, waiter);
    } catch (const PoolStopped&) {
      throw;
    } catch (const PoolError& e) {
      throw PoolError(label + e.what());
    }
  }
}

}  // namespace qel::storage
