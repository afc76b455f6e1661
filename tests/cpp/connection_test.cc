// Connection over loopback: connect failures, frame cutting from a real stream, deadlines, the Waiter, fork.
#include <gtest/gtest.h>

#include "error_text.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qel/storage/connection.h"
#include "qel/wire/frame.h"

namespace qel::storage {
namespace {

using namespace std::chrono_literals;
using test_support::error_text;
using Clock = std::chrono::steady_clock;

// A socket closed at scope end.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {
    if (fd < 0) throw std::runtime_error(std::strerror(errno));
  }
  ~Fd() { ::close(fd); }
};

// A TCP socket bound to 127.0.0.1 with a kernel-chosen port; listening unless backlog < 0.
struct Listener {
  Fd sock{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  std::uint16_t port = 0;
  explicit Listener(int backlog = 16) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(sock.fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || (backlog >= 0 && ::listen(sock.fd, backlog)) ||
        ::getsockname(sock.fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error(std::strerror(errno));
    }
    port = ntohs(a.sin_port);
  }
  std::vector<Address> addresses() const { return resolve("127.0.0.1", port); }
  std::string prefix(const char* phase) const {
    return std::string(phase) + " 127.0.0.1:" + std::to_string(port) + ": ";
  }
  int accept() const { return ::accept4(sock.fd, nullptr, nullptr, SOCK_CLOEXEC); }
};

std::string frame(std::uint16_t cmd, std::uint32_t seq, std::string_view body) {
  return wire::encode_raw_frame(cmd, seq, wire::as_bytes(body));
}

void write_all(int fd, std::string_view s) {
  for (std::size_t off = 0; off < s.size();) {
    const ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error(std::strerror(errno));
    off += static_cast<std::size_t>(n);
  }
}

int option(int fd, int level, int name) {
  int v = 0;
  socklen_t len = sizeof v;
  ::getsockopt(fd, level, name, &v, &len);
  return v;
}

struct Linked {
  Listener listener;
  Connection conn;
  std::unique_ptr<Fd> peer;
  Linked() {
    conn.connect(listener.addresses(), Deadline(2000ms));
    peer = std::make_unique<Fd>(listener.accept());
  }
};

constexpr std::size_t kBound = 1 << 20;

TEST(Connection, ConnectsToALoopbackListenerWithNoDelayAndKeepAlive) {
  Linked l;
  ASSERT_TRUE(l.conn.connected());
  EXPECT_EQ(l.conn.peer(), "127.0.0.1:" + std::to_string(l.listener.port));
  EXPECT_NE(option(l.conn.native_handle(), IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_NE(option(l.conn.native_handle(), SOL_SOCKET, SO_KEEPALIVE), 0);
  l.conn.close();
  EXPECT_FALSE(l.conn.connected());
  EXPECT_EQ(l.conn.native_handle(), -1);
}

TEST(Connection, ConnectRefusedNamesThePhaseAndTheCause) {
  const Listener bound_only(-1);  // holds the port, accepts nothing
  Connection c;
  EXPECT_EQ(error_text<ConnectionError>([&] { c.connect(bound_only.addresses(), Deadline(2000ms)); }),
            bound_only.prefix("connect to") + std::strerror(ECONNREFUSED));
  EXPECT_FALSE(c.connected());
}

TEST(Connection, ConnectTimesOutAgainstAFullBacklog) {
  const Listener full(0);
  // Fill the accept queue until a handshake stalls: further SYNs are then dropped.
  std::vector<std::unique_ptr<Fd>> fillers;
  const Address a = full.addresses().front();
  bool stalled = false;
  for (int i = 0; i < 8 && !stalled; ++i) {
    fillers.push_back(std::make_unique<Fd>(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)));
    ::connect(fillers.back()->fd, reinterpret_cast<const sockaddr*>(&a.storage), a.size);
    pollfd p{fillers.back()->fd, POLLOUT, 0};
    stalled = ::poll(&p, 1, 200) == 0;
  }
  if (!stalled) GTEST_SKIP() << "this kernel completes handshakes past the backlog";
  Connection c;
  const auto start = Clock::now();
  EXPECT_EQ(error_text<ConnectionError>([&] { c.connect(full.addresses(), Deadline(300ms)); }),
            full.prefix("connect to") + "timed out after 300 ms");
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, 2s);
}

TEST(Connection, FrameSentOneByteAtATime) {
  Linked l;
  const std::string bytes = frame(7, 42, "one byte at a time");
  std::jthread writer([&] {
    for (char b : bytes) {
      write_all(l.peer->fd, std::string_view(&b, 1));
      std::this_thread::sleep_for(1ms);
    }
  });
  const ReceivedFrame f = l.conn.read_frame(Deadline(5000ms), {}, kBound);
  EXPECT_EQ(f.cmd, 7);
  EXPECT_EQ(f.seq, 42u);
  EXPECT_EQ(f.body, "one byte at a time");
  EXPECT_EQ(l.conn.buffered(), 0u);
}

TEST(Connection, TwoFramesInOnePacketAreReadOneByOne) {
  Linked l;
  const std::string second = frame(2, 0xFFFFFFFF, "second");
  write_all(l.peer->fd, frame(1, 1, "") + second);
  l.peer.reset();  // the second frame must come from the buffer, not the socket
  const ReceivedFrame a = l.conn.read_frame(Deadline(2000ms), {}, kBound);
  EXPECT_EQ(a.cmd, 1);
  EXPECT_EQ(a.body, "");
  EXPECT_EQ(l.conn.buffered(), second.size());
  const ReceivedFrame b = l.conn.read_frame(Deadline(2000ms), {}, kBound);
  EXPECT_EQ(b.cmd, 2);
  EXPECT_EQ(b.seq, 0xFFFFFFFFu);
  EXPECT_EQ(b.body, "second");
  EXPECT_EQ(error_text<ConnectionError>([&] { l.conn.read_frame(Deadline(2000ms), {}, kBound); }),
            l.listener.prefix("receive from") + "peer closed the connection");
  EXPECT_FALSE(l.conn.connected());
}

TEST(Connection, ReceiveAvailableNeverWaits) {
  Linked l;
  EXPECT_FALSE(l.conn.receive_available());  // nothing sent: no wait, no failure
  EXPECT_FALSE(l.conn.take_buffered_frame(kBound).has_value());
  const std::string f = frame(7, 8, "polled");
  write_all(l.peer->fd, f.substr(0, 10));
  pollfd p{l.conn.native_handle(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  EXPECT_TRUE(l.conn.receive_available());
  EXPECT_FALSE(l.conn.take_buffered_frame(kBound).has_value());  // a partial frame stays buffered
  EXPECT_EQ(l.conn.buffered(), 10u);
  write_all(l.peer->fd, f.substr(10) + f);
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  EXPECT_TRUE(l.conn.receive_available());
  for (int i = 0; i < 2; ++i) {
    const std::optional<ReceivedFrame> got = l.conn.take_buffered_frame(kBound);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->cmd, 7);
    EXPECT_EQ(got->body, "polled");
  }
  l.peer.reset();
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  EXPECT_EQ(error_text<ConnectionError>([&] { l.conn.receive_available(); }),
            l.listener.prefix("receive from") + "peer closed the connection");
  EXPECT_FALSE(l.conn.connected());
}

// The peer sends `bytes` then closes; the first read either fails with `error` or returns a frame.
struct StreamCase {
  const char* name;
  std::string bytes;
  std::size_t bound;
  std::string error;
};

TEST(Connection, BadStreamsFailAndClose) {
  const std::string body(100, 'x');  // a 116-byte frame
  const std::string whole = frame(3, 9, body);
  const StreamCase cases[] = {
      {"frame at the bound", whole, 116, ""},
      {"frame above the bound", whole, 115, "frame of 116 bytes above the bound of 115"},
      {"close mid-body", whole.substr(0, 58), kBound, "peer closed the connection inside a frame, after 58 bytes"},
      {"close mid-envelope", whole.substr(0, 3), kBound, "peer closed the connection inside a frame, after 3 bytes"},
      {"bad magic", std::string(16, '\0'), kBound, "bad magic 0x00000000 (expected 0x75f4c465)"},
  };
  for (const StreamCase& c : cases) {
    SCOPED_TRACE(c.name);
    Linked l;
    write_all(l.peer->fd, c.bytes);
    l.peer.reset();
    if (c.error.empty()) {
      EXPECT_EQ(l.conn.read_frame(Deadline(2000ms), {}, c.bound).body, body);
      continue;
    }
    EXPECT_EQ(error_text<ConnectionError>([&] { l.conn.read_frame(Deadline(2000ms), {}, c.bound); }),
              l.listener.prefix("receive from") + c.error);
    EXPECT_FALSE(l.conn.connected());
    EXPECT_EQ(l.conn.buffered(), 0u);
  }
}

TEST(Connection, ReadTimesOutOnASilentPeer) {
  Linked l;
  const auto start = Clock::now();
  EXPECT_EQ(error_text<ConnectionTimeout>([&] { l.conn.read_frame(Deadline(200ms), {}, kBound); }),
            l.listener.prefix("receive from") + "timed out after 200 ms");
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 150ms);
  EXPECT_LT(took, 2s);
  EXPECT_FALSE(l.conn.connected());
}

TEST(Connection, ThrowingWaiterAbortsTheWaitAndCloses) {
  struct Interrupted {};
  Linked l;
  int calls = 0;
  const auto start = Clock::now();
  EXPECT_THROW(l.conn.read_frame(Deadline(30000ms), [&] { if (++calls == 3) throw Interrupted{}; }, kBound),
               Interrupted);
  EXPECT_EQ(calls, 3);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_FALSE(l.conn.connected());
}

TEST(Connection, SendAllCountsTheBytesThatLeft) {
  Linked l;
  const std::string small(1000, 's');
  EXPECT_EQ(l.conn.send_all(wire::as_bytes(small), Deadline(2000ms)), small.size());
  EXPECT_EQ(l.conn.bytes_sent(), small.size());

  // The peer reads nothing: the socket buffers fill, and the deadline ends the send part way.
  const std::string big(64 << 20, 'b');
  EXPECT_EQ(error_text<ConnectionError>([&] { l.conn.send_all(wire::as_bytes(big), Deadline(300ms)); }),
            l.listener.prefix("send to") + "timed out after 300 ms");
  const std::size_t sent = l.conn.bytes_sent();
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, big.size());
  EXPECT_FALSE(l.conn.connected());
  // Exactly the counted bytes reach the peer, then the end of the stream.
  std::size_t got = 0;
  std::vector<char> chunk(1 << 16);
  for (ssize_t n; (n = ::recv(l.peer->fd, chunk.data(), chunk.size(), 0)) > 0;) got += static_cast<std::size_t>(n);
  EXPECT_EQ(got, small.size() + sent);
}

TEST(Connection, SendToAResetPeerSendsNothing) {
  Linked l;
  const linger abort_on_close{1, 0};
  ::setsockopt(l.peer->fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  l.peer.reset();
  pollfd p{l.conn.native_handle(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);  // the reset has arrived
  EXPECT_EQ(error_text<ConnectionError>([&] { l.conn.send_all(wire::as_bytes("abc"), Deadline(2000ms)); }),
            l.listener.prefix("send to") + std::strerror(ECONNRESET));
  EXPECT_EQ(l.conn.bytes_sent(), 0u);
}

TEST(Connection, ForkedChildDropsTheStreamWithoutEndingIt) {
  Linked l;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool forked = l.conn.forked();
    const bool dropped = !l.conn.connected() && l.conn.native_handle() == -1;
    const std::string e = error_text<ConnectionError>([&] { l.conn.send_all(wire::as_bytes("x"), Deadline(1000ms)); });
    ::_exit(forked && dropped && e == l.listener.prefix("send to") + "not connected" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The parent's stream is intact: no end of stream and no stray byte at the peer, and it still sends.
  pollfd p{l.peer->fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 100), 0);
  EXPECT_FALSE(l.conn.forked());
  const std::string f = frame(5, 6, "after fork");
  l.conn.send_all(wire::as_bytes(f), Deadline(2000ms));
  std::string got(f.size(), '\0');
  EXPECT_EQ(::recv(l.peer->fd, got.data(), got.size(), MSG_WAITALL), static_cast<ssize_t>(f.size()));
  EXPECT_EQ(got, f);
}

}  // namespace
}  // namespace qel::storage
