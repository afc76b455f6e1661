// The pool under threads against an in-process master: calls on shared masters, writes with and without waiting,
// stop() and start() racing them. Its worth is in the ThreadSanitizer build, where any unguarded access fails it.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qel/constants.h"
#include "qel/msg/history.h"
#include "qel/rows/schema.h"
#include "qel/storage/pool.h"
#include "qel/wire/frame.h"

namespace qel::storage {
namespace {

using namespace std::chrono_literals;

rows::IndexSchemaCatalog catalog() {
  rows::IndexSchemaCatalog cat;
  rows::IndexMeta& m = cat.metas[{1, 5}];
  m.name = "bar";
  m.id = 5;
  m.namespace_ = 1;
  m.fields.push_back({"n", 0, 0, 0, {constants::index_field_type_integer}, 0});
  return cat;
}

// Answers the handshake, acknowledges every push and refuses every read, one thread per connection.
class FakeMaster {
 public:
  FakeMaster() : schema_(rows::save_schema(catalog())) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error(std::strerror(errno));
    }
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~FakeMaster() {
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    std::lock_guard lock(mu_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    for (std::thread& t : workers_) t.join();
    for (int fd : fds_) ::close(fd);
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }
  std::size_t acks() const { return acks_.load(); }

 private:
  void accept_loop() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard lock(mu_);
      fds_.push_back(fd);
      workers_.emplace_back([this, fd] { serve(fd); });
    }
  }
  void reply(int fd, std::uint16_t cmd, std::uint32_t seq, std::string_view body) {
    const std::string f = wire::encode_raw_frame(cmd, seq, wire::as_bytes(body));
    for (std::size_t off = 0; off < f.size();) {
      const ssize_t n = ::send(fd, f.data() + off, f.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<std::size_t>(n);
    }
  }
  void serve(int fd) {
    std::string buf;
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buf.append(chunk, static_cast<std::size_t>(n));
      std::size_t used = 0;
      wire::FrameView f;
      while (wire::try_cut_frame(wire::as_bytes(std::string_view(buf).substr(used)), f)) {
        used += f.size();
        const std::uint16_t cmd = f.header.cmd;
        if (cmd == constants::net_cmd_vask_route_datadef) {
          reply(fd, cmd, f.header.seq, schema_);
        } else if (cmd == msg::history_cmd::kRead) {
          reply(fd, msg::history_cmd::kError, f.header.seq, {});
        } else {
          if (cmd == constants::cmd_td_push) acks_.fetch_add(1);
          reply(fd, cmd, f.header.seq, {});
        }
      }
      buf.erase(0, used);
    }
  }

  std::string schema_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<int> fds_;
  std::vector<std::thread> workers_;
  std::atomic<std::size_t> acks_{0};
};

TEST(PoolThreads, CallsStopAndStartRaceWithoutHarm) {
  FakeMaster master;
  Pool pool;
  PoolSettings s;
  s.call = 2000ms;
  s.backoff = 1ms;
  s.backoff_max = 2ms;
  pool.initialize({{"127.0.0.1", master.port()}, {"127.0.0.1", master.port()}}, s);
  pool.start({});

  rows::StructValue row;
  row.namespace_ = 1;
  row.meta_id = 5;
  row.fields.emplace_back(std::int32_t{7});
  const rows::StructValue* refs[] = {&row};
  ReadRequest rq;
  rq.ns = 1;
  rq.meta_name = "bar";
  rq.markets = {"SH", "SZ"};

  std::atomic<bool> done{false};
  std::atomic<std::size_t> calls{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        try {
          switch ((i + t) % 4) {
            case 0: pool.write(t % 2, refs, true, {}); break;
            case 1: pool.write(t % 2, refs, false, {}); break;
            case 2: pool.read(t % 2, rq, {}); break;
            default: pool.catalog(t % 2); break;
          }
        } catch (const PoolError&) {
          // refused reads, and calls that met a stop()
        }
        calls.fetch_add(1);
      }
    });
  }
  std::thread restarter([&] {
    while (!done.load()) {
      std::this_thread::sleep_for(3ms);
      pool.stop();
      try {
        pool.start({});
      } catch (const PoolError&) {
      }
    }
  });
  for (std::thread& t : callers) t.join();
  done = true;
  restarter.join();
  pool.stop();
  EXPECT_EQ(calls.load(), 1200u);
  EXPECT_GT(master.acks(), 0u);
  for (const std::string& n : pool.take_notices()) {
    EXPECT_NE(n.find(" write: "), std::string::npos) << n;
  }
}

}  // namespace
}  // namespace qel::storage
