// The storage-master connection pool.
#include "qel/storage/pool.h"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <random>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "qel/constants.h"
#include "qel/msg/data_ring.h"
#include "qel/msg/history.h"
#include "qel/rows/index_serializer.h"
#include "qel/wire/frame.h"

namespace qel::storage {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A master's connection as the pool sees it. Every change goes through Call::move_to.
enum class Link {
  closed,       // no connection: the next call connects
  backing_off,  // the last connect or handshake failed: calls fail at once until retry_at, then connect
  ready,        // connected and handshaken
};

// One configured master.
struct Master {
  std::size_t index = 0;
  std::string label;               // "master 0 (127.0.0.1:9000)"
  std::vector<Address> addresses;  // set by start() before the master is shared, then only read

  // Read by read_meta while a call holds `busy`, so behind a lock of its own.
  mutable Mutex catalog_lock;
  rows::CatalogSnapshot catalog QEL_GUARDED_BY(catalog_lock);

  rows::CatalogSnapshot read_catalog() const QEL_EXCLUDES(catalog_lock) {
    MutexLock lock(catalog_lock);
    return catalog;
  }
  void set_catalog(rows::CatalogSnapshot c) QEL_EXCLUDES(catalog_lock) {
    MutexLock lock(catalog_lock);
    catalog = std::move(c);
  }

  // Held by the one call that uses the connection; everything below is that call's.
  TimedMutex busy;
  Link link QEL_GUARDED_BY(busy) = Link::closed;
  Connection conn QEL_GUARDED_BY(busy);
  std::uint32_t next_seq QEL_GUARDED_BY(busy) = 1;  // counts from 1 on each connection
  std::deque<std::uint32_t> unacked QEL_GUARDED_BY(busy);  // seqs of writes sent without waiting, oldest first
  Clock::time_point last_settled QEL_GUARDED_BY(busy) = {};  // when settle() last looked at the socket
  std::size_t unsettled QEL_GUARDED_BY(busy) = 0;  // writes sent without waiting since then
  std::size_t untracked QEL_GUARDED_BY(busy) = 0;  // unacknowledged writes dropped from `unacked`
  unsigned failures QEL_GUARDED_BY(busy) = 0;      // failed connects in a row
  Clock::time_point retry_at QEL_GUARDED_BY(busy) = {};
  std::string last_failure QEL_GUARDED_BY(busy);
};

// A started pool. Calls keep it alive while they run, so stop() never waits for them; the last holder files
// the writes still unacknowledged.
struct Running {
  std::vector<std::unique_ptr<Master>> masters;
  PoolSettings settings;
  std::uint64_t generation = 0;  // fork_generation() of the process that started it
  std::shared_ptr<NoticeBoard> notices;

  Running() = default;
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running() { file_unacked(); }

  // The last reference is gone, so no call holds a master.
  void file_unacked() QEL_NO_THREAD_SAFETY_ANALYSIS {
    std::vector<std::string> lost;
    for (const auto& m : masters) {
      if (m->unacked.empty()) continue;
      lost.push_back(m->label + " write: the pool was stopped before " + std::to_string(m->unacked.size()) +
                     " write(s) sent without waiting were acknowledged; they may not be stored");
    }
    if (!lost.empty() && notices) notices->post(std::move(lost));
  }
};

void NoticeBoard::post(std::vector<std::string> notices) {
  MutexLock lock(lock_);
  for (std::string& n : notices) notices_.push_back(std::move(n));
}

void NoticeBoard::restore(std::vector<std::string> notices) {
  MutexLock lock(lock_);
  notices.insert(notices.end(), std::make_move_iterator(notices_.begin()), std::make_move_iterator(notices_.end()));
  notices_ = std::move(notices);
}

std::vector<std::string> NoticeBoard::take() {
  MutexLock lock(lock_);
  return std::exchange(notices_, {});
}

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
  std::unordered_map<std::string_view, std::uint32_t> slots;  // one pass over the meta, however many are asked for
  if (!rq.fields.empty()) {
    slots.reserve(found->fields.size());
    for (const auto& f : found->fields) slots.emplace(f.name, f.pos);
  }
  for (const std::string& name : rq.fields) {
    const auto it = slots.find(name);
    if (it == slots.end()) throw Error("meta '" + rq.meta_name + "' has no field '" + name + "'");
    out.field_ids.push_back(it->second);
  }
  return out;
}

// What one call needs: the pool it runs on, its master, its whole-call deadline, a waiter that ends it when the
// pool is stopped, and the notices it makes (filed with the pool when the call ends).
struct Call {
  std::shared_ptr<Running> running;
  Master* master = nullptr;
  Deadline deadline = Deadline::never();
  Waiter waiter;
  std::vector<std::string> notices;
  unsigned steps = 0;              // of the current long step, see pace()
  Clock::time_point next_look{};   // when pace() next runs the waiter

  Call() = default;
  Call(std::shared_ptr<Running> r, Master* m, Deadline d, Waiter w)
      : running(std::move(r)), master(m), deadline(d), waiter(std::move(w)) {}
  Call(Call&&) = default;
  Call& operator=(Call&&) = delete;
  ~Call() {
    if (running && !notices.empty()) running->notices->post(std::move(notices));
  }

  const PoolSettings& settings() const { return running->settings; }
  [[noreturn]] void fail(const std::string& phase, const std::string& cause) const {
    throw PoolError(master->label + " " + phase + ": " + cause);
  }

  // For a step that does not wait (building a large request, decoding pages): past the deadline the call ends,
  // saying which step took the time, and once a wait slice has passed the waiter runs, so stop() and signals get
  // through. pace() is cheap enough to call per item; look() checks at once.
  void pace(const char* phase, const char* step) {
    if ((++steps & 15) == 0) look(phase, step);
  }
  void look(const char* phase, const char* step) {
    if (deadline.expired()) {
      fail(phase, "the call's " + std::to_string(deadline.budget().count()) + " ms ran out while " + step);
    }
    const auto now = Clock::now();
    if (now < next_look) return;
    next_look = now + kWaitSlice;
    if (waiter) waiter();
  }

  std::uint32_t next_seq() QEL_REQUIRES(master->busy) {
    const std::uint32_t s = master->next_seq++;
    if (master->next_seq == 0) master->next_seq = 1;
    return s;
  }

  void send(std::uint16_t cmd, std::uint32_t seq, wire::Bytes body, const Deadline& d) QEL_REQUIRES(master->busy) {
    send_frame(wire::encode_raw_frame(cmd, seq, body), d);
  }
  void send_frame(const std::string& frame, const Deadline& d) QEL_REQUIRES(master->busy) {
    master->conn.send_all(wire::as_bytes(frame), d, waiter);
  }
  ReceivedFrame read_reply(const Deadline& d) QEL_REQUIRES(master->busy);
  ReceivedFrame expect(std::uint16_t cmd, std::uint32_t seq, const Deadline& d) QEL_REQUIRES(master->busy);
  bool take_ack(const ReceivedFrame& f) QEL_REQUIRES(master->busy);
  void expect_ack_later(std::uint32_t seq) QEL_REQUIRES(master->busy);
  void settle(bool awaits_reply) QEL_REQUIRES(master->busy);
  void ready(bool awaits_reply = true) QEL_REQUIRES(master->busy);
  void handshake() QEL_REQUIRES(master->busy);
  // The one place a link changes state and the pool closes a connection. Leaving `ready` closes the socket and
  // reports the writes it leaves unacknowledged, saying `why`; entering `backing_off` schedules the next try.
  void move_to(Link next, const std::string& why = {}) QEL_REQUIRES(master->busy);
  void drop(const std::string& why) QEL_REQUIRES(master->busy) { move_to(Link::closed, why); }
};

namespace {

// Holds a master for one call. Taken in slices, so a signal or stop() ends the wait.
class QEL_SCOPED_CAPABILITY MasterHold {
 public:
  explicit MasterHold(const Call& call) QEL_ACQUIRE(call.master->busy);
  ~MasterHold() QEL_RELEASE();
  MasterHold(const MasterHold&) = delete;
  MasterHold& operator=(const MasterHold&) = delete;

 private:
  TimedMutex& busy_;
};

// The analysis cannot follow a lock taken in a loop of timed tries; the declarations above carry the contract.
MasterHold::MasterHold(const Call& call) QEL_NO_THREAD_SAFETY_ANALYSIS : busy_(call.master->busy) {
  for (;;) {
    const milliseconds left = call.deadline.remaining();
    if (left.count() == 0) {
      call.fail("lock", "the connection stayed in use by another call for " +
                            std::to_string(call.deadline.budget().count()) + " ms");
    }
    if (busy_.try_lock_for(std::min(left, kWaitSlice))) return;
    call.waiter();
  }
}

MasterHold::~MasterHold() QEL_NO_THREAD_SAFETY_ANALYSIS { busy_.unlock(); }

}  // namespace

// ---- the exchange on one connection -------------------------------------------------------------------------

void Call::move_to(Link next, const std::string& why) {
  if (next == Link::ready) {
    master->failures = 0;
    master->link = Link::ready;
    return;
  }
  master->conn.close();
  master->next_seq = 1;
  master->untracked = 0;
  if (!master->unacked.empty()) {
    notices.push_back(master->label + " write: the connection closed before " +
                      std::to_string(master->unacked.size()) +
                      " write(s) sent without waiting were acknowledged; they may not be stored (" + why + ")");
    master->unacked.clear();
  }
  if (next == Link::backing_off) {
    ++master->failures;
    master->retry_at = Clock::now() + backoff_after(master->failures, settings(), jitter());
    master->last_failure = why;
  }
  master->link = next;
}

bool Call::take_ack(const ReceivedFrame& f) {
  if (master->unacked.empty() || f.seq != master->unacked.front()) return false;
  if (f.cmd == kPush) {
    master->unacked.pop_front();
    return true;
  }
  if (f.cmd == hcmd::kError) {
    master->unacked.pop_front();
    notices.push_back(master->label + " write: a write sent without waiting was refused: " + refusal_reason(f.body));
    return true;
  }
  return false;
}

// A master that never acknowledges must not grow the list without bound: past kMaxUnacked the oldest are
// forgotten, once reported. Their acknowledgements, should they come, then close the connection as strays.
constexpr std::size_t kMaxUnacked = std::size_t{1} << 20;

void Call::expect_ack_later(std::uint32_t seq) {
  if (master->unacked.size() == kMaxUnacked) {
    if (master->untracked++ == 0) {
      notices.push_back(master->label + " write: " + std::to_string(kMaxUnacked) +
                        " writes sent without waiting are still unacknowledged; the oldest are no longer tracked");
    }
    master->unacked.pop_front();
  }
  master->unacked.push_back(seq);
}

ReceivedFrame Call::read_reply(const Deadline& d) {
  for (;;) {
    ReceivedFrame f = master->conn.read_frame(d, waiter, settings().max_frame_bytes, settings().reply);
    if (!take_ack(f)) return f;
  }
}

ReceivedFrame Call::expect(std::uint16_t cmd, std::uint32_t seq, const Deadline& d) {
  ReceivedFrame f = read_reply(d);
  if (f.seq == seq && f.cmd == cmd) return f;
  if (f.seq == seq && f.cmd == hcmd::kError) throw Refusal{refusal_reason(f.body)};
  ProtocolFault fault{"unexpected reply " + hex(f.cmd) + " seq " + std::to_string(f.seq) + " (expected " + hex(cmd) +
                      " seq " + std::to_string(seq) + ")"};
  drop(fault.cause);
  throw fault;
}

// Consumes the acknowledgements that have arrived. Anything else in the socket now is a reply that no request
// waits for, so the connection cannot be trusted: it is dropped, to be reopened. A request that awaits no reply
// (a write without waiting) cannot misread stray bytes, so a stream of them looks only every kSettleEvery
// writes or after a pause: one system call fewer per write, and a peer's close after a pause still seen
// before the next write goes out.
constexpr std::size_t kSettleEvery = 64;
constexpr milliseconds kSettleAfter{5};

void Call::settle(bool awaits_reply) {
  if (master->link != Link::ready) return;
  if (!master->conn.connected()) {  // closed by a failure inside the connection, or inherited through fork()
    drop("closed");
    return;
  }
  const auto now = Clock::now();
  if (!awaits_reply && ++master->unsettled < kSettleEvery && now - master->last_settled < kSettleAfter) return;
  master->last_settled = now;
  master->unsettled = 0;
  try {
    master->conn.receive_available();
    while (std::optional<ReceivedFrame> f = master->conn.take_buffered_frame(settings().max_frame_bytes)) {
      if (!take_ack(*f)) {
        drop("a reply no request waits for: " + hex(f->cmd) + " seq " + std::to_string(f->seq));
        return;
      }
    }
  } catch (const ConnectionError& e) {
    drop(e.what());  // closed by the peer while idle, or bytes that are not a frame
  }
}

void Call::ready(bool awaits_reply) {
  settle(awaits_reply);
  if (master->link == Link::ready) return;
  const auto now = Clock::now();
  if (master->link == Link::backing_off && now < master->retry_at) {
    const auto left = std::chrono::ceil<milliseconds>(master->retry_at - now).count();
    fail("connect", "not retried for another " + std::to_string(left) + " ms after: " + master->last_failure);
  }
  const char* phase = "connect";
  std::string cause;
  try {
    master->conn.connect(master->addresses, earliest(deadline, Deadline(settings().connect)), waiter);
    phase = "handshake";
    handshake();
    move_to(Link::ready);
    return;
  } catch (const ConnectionError& e) {
    cause = e.what();
  } catch (const ProtocolFault& f) {
    cause = f.cause;
  } catch (const Refusal& r) {
    cause = "the master refused: " + r.reason;
  } catch (const rows::SchemaError& e) {
    cause = std::string("DataDef catalog load: ") + e.what();
  }
  move_to(Link::backing_off, std::string(phase) + ": " + cause);
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
  master->set_catalog(std::make_shared<const rows::IndexSchemaCatalog>(rows::load_schema(wire::as_bytes(schema.body))));
}

// ---- reads and writes ---------------------------------------------------------------------------------------

namespace {

// The body of a read, built in one pass: each market gets the same symbols, and a market named twice keeps its
// first place.
std::string encode_read(Call& call, const ReadRequest& rq, ResolvedRead resolved, std::uint32_t seq,
                        std::uint64_t offset) {
  msg::NetRequest req;
  req.head.base.seq = static_cast<std::int32_t>(seq);
  req.head.request_id = seq;
  req.meta_id = resolved.meta_id;
  req.namespace_id = resolved.ns;
  req.granularity = rq.granularity;
  req.begin_time = clamp_time(rq.from_tm);
  req.end_time = clamp_time(rq.to_tm);
  req.offset = offset;
  req.field_ids = std::move(resolved.field_ids);
  req.symbols.reserve(rq.markets.size());
  std::unordered_set<std::string_view> seen;
  seen.reserve(rq.markets.size());
  for (const std::string& market : rq.markets) {
    call.pace("read", "building the request");
    if (seen.insert(market).second) req.symbols.push_back({market, rq.symbols});
  }
  call.look("read", "building the request");
  return msg::encode(req);
}

std::vector<rows::StructValue> read_on(Call& call, const ReadRequest& rq) QEL_REQUIRES(call.master->busy) {
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
    const rows::CatalogSnapshot catalog = call.master->read_catalog();
    ResolvedRead resolved;
    try {
      resolved = resolve_read(*catalog, rq);
    } catch (const Error& e) {
      call.fail("resolve", e.what());
    }
    const std::uint32_t seq = call.next_seq();
    const std::string request = encode_read(call, rq, std::move(resolved), seq, offset);
    try {
      call.send(hcmd::kRead, seq, wire::as_bytes(request), call.deadline);
      for (;;) {
        const ReceivedFrame f = call.expect(hcmd::kReadReply, seq, call.deadline);
        msg::NetResponse page;
        try {
          msg::decode_history_page(page, wire::as_bytes(f.body), catalog);
        } catch (const Error& e) {
          throw ProtocolFault{std::string("page does not decode: ") + e.what()};
        }
        if (page.has_more && page.next_offset <= offset) {
          throw ProtocolFault{"page does not advance past offset " + std::to_string(offset)};
        }
        call.look("read", "decoding pages");
        std::vector<rows::StructValue> taken = page.rows.take();
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
      call.drop(e.what());
      // A slow master is as slow on a fresh connection: no retry.
      call.fail("read", cause(e.what()));
    } catch (const ConnectionError& e) {
      call.drop(e.what());
      if (retried || call.deadline.expired()) call.fail("read", cause(e.what()));
      first_cause = e.what();
    } catch (const ProtocolFault& f) {
      call.drop(f.cause);
      if (retried || call.deadline.expired()) call.fail("read", cause(f.cause));
      first_cause = f.cause;
    }
    retried = true;  // once, on a fresh connection, from the rows already read
  }
}

// Texts of a write that failed after its frame left whole (the master may have stored it) or in part.
constexpr const char* kMayBeStored = "; the write may have been stored and was not resent";
constexpr const char* kNotResent = "; the write was not resent";

void write_on(Call& call, rows::RowRefs rows, bool wait_ack) QEL_REQUIRES(call.master->busy) {
  for (bool retried = false;; retried = true) {
    call.ready(wait_ack);
    msg::BinaryPush push;
    push.realtime = 1;
    push.catalog = call.master->read_catalog();
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
      const bool none_left = call.master->conn.bytes_sent() == 0;
      call.drop(e.what());
      // A frame of which nothing left may go once more, on a fresh connection; any byte sent forbids it.
      if (none_left && !retried && !call.deadline.expired()) continue;
      call.fail("write", e.what() + std::string(kNotResent));
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
      call.drop(e.what());
      call.fail("acknowledgement", e.what() + std::string(kMayBeStored));
    } catch (const ProtocolFault& f) {
      call.fail("acknowledgement", f.cause + kMayBeStored);
    }
  }
}

}  // namespace

// ---- the pool -----------------------------------------------------------------------------------------------

Pool::Pool() = default;
Pool::~Pool() = default;

void Pool::initialize(std::vector<std::pair<std::string, std::uint16_t>> masters, PoolSettings settings) {
  for (std::size_t i = 0; i < masters.size(); ++i) {
    if (masters[i].first.find('\0') != std::string::npos) {
      throw PoolError("master " + std::to_string(i) + ": the host name holds a NUL byte");
    }
  }
  MutexLock lock(state_);
  if (running_) throw PoolError("the pool is started; stop() it first");
  configured_ = std::move(masters);
  settings_ = settings;
}

void Pool::stop() noexcept {
  std::shared_ptr<Running> ending;
  {
    MutexLock lock(state_);
    ending = std::move(running_);
    epoch_.fetch_add(1);
  }
  // Connections no call is using close here, outside the lock; the others with their last call.
}

void Pool::start(const Waiter& outer) {
  std::uint64_t epoch = 0;
  auto running = std::make_shared<Running>();
  running->notices = notices_;
  std::vector<std::pair<std::string, std::uint16_t>> endpoints;  // the labels' own, whatever initialize does next
  {
    MutexLock lock(state_);
    if (running_) throw PoolError("the pool is already started; stop() it first");
    if (configured_.empty()) throw PoolError("no master configured");
    epoch = epoch_.load();
    running->settings = settings_;
    running->generation = fork_generation();
    endpoints = configured_;
  }
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    auto m = std::make_unique<Master>();
    m->index = i;
    m->label = "master " + std::to_string(i) + " (" + endpoints[i].first + ":" + std::to_string(endpoints[i].second) + ")";
    running->masters.push_back(std::move(m));
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
    Call call(running, m.get(), deadline, waiter);
    const MasterHold hold(call);
    call.ready();
  }
  MutexLock lock(state_);
  if (epoch_.load() != epoch) throw PoolStopped();
  if (running_) throw PoolError("the pool is already started; stop() it first");
  running_ = std::move(running);
}

// In a forked child only, which has one thread: the inherited masters' locks may be held by threads that do not
// exist here, and are not taken.
static void adopt_after_fork(Running& fresh, const Running& inherited) QEL_NO_THREAD_SAFETY_ANALYSIS {
  for (const auto& m : inherited.masters) {
    m->conn.forked();  // drops the inherited descriptor, so the parent's close still ends its stream
    auto copy = std::make_unique<Master>();
    copy->index = m->index;
    copy->label = m->label;
    copy->addresses = m->addresses;
    copy->catalog = m->catalog;
    fresh.masters.push_back(std::move(copy));
  }
}

std::shared_ptr<Running> Pool::current() const {
  MutexLock lock(state_);
  if (!running_) throw PoolError("the pool is not started");
  if (running_->generation == fork_generation()) return running_;
  // The child takes fresh masters with the same addresses and catalogs and leaks the old ones, whose locks may be
  // held (destroying a held mutex is undefined) and whose unacknowledged writes are the parent's to report.
  auto fresh = std::make_shared<Running>();
  fresh->settings = running_->settings;
  fresh->generation = fork_generation();
  fresh->notices = notices_;
  adopt_after_fork(*fresh, *running_);
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
  return running->masters[index]->read_catalog();
}

Call Pool::begin(std::size_t index, const Waiter& outer) const {
  const std::uint64_t epoch = epoch_.load();
  std::shared_ptr<Running> running = current();
  if (index >= running->masters.size()) {
    throw PoolError("slave_index " + std::to_string(index) + " out of range (" +
                    std::to_string(running->masters.size()) + " masters)");
  }
  Master* master = running->masters[index].get();
  const Deadline deadline(running->settings.call);
  return Call(std::move(running), master, deadline, [this, epoch, &outer] {
    if (epoch_.load() != epoch) throw PoolStopped();
    if (outer) outer();
  });
}

std::vector<rows::StructValue> Pool::read(std::size_t index, const ReadRequest& request, const Waiter& waiter) {
  Call call = begin(index, waiter);
  const MasterHold hold(call);
  return read_on(call, request);
}

void Pool::write(std::size_t index, rows::RowRefs rows, bool wait_ack, const Waiter& waiter) {
  Call call = begin(index, waiter);
  const MasterHold hold(call);
  write_on(call, rows, wait_ack);
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
