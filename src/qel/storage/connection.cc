// One TCP connection to a storage master: non-blocking socket, poll() in slices, frames cut by the wire core.
#include "qel/storage/connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "qel/wire/frame.h"

namespace qel::storage {
namespace {

using std::chrono::milliseconds;

// A read asks for at least this much, so a stream of small frames costs few system calls.
constexpr std::size_t kReadChunk = 64 * 1024;
// A buffer grown past this by a large frame is given back once it holds little.
constexpr std::size_t kKeepBuffer = 1024 * 1024;

std::string errno_text(int err) {
  char buf[256];
  // The GNU strerror_r returns the text, not always in buf.
  return strerror_r(err, buf, sizeof buf);
}

std::string timeout_text(const Deadline& deadline) {
  return "timed out after " + std::to_string(deadline.budget().count()) + " ms";
}

std::string closed_text(std::size_t pending) {
  if (pending == 0) return "peer closed the connection";
  return "peer closed the connection inside a frame, after " + std::to_string(pending) + " bytes";
}

// The cause of a failure inside one call; the Connection adds phase and peer, and closes.
struct Failure {
  std::string cause;
  bool timeout = false;
};

// Waits until `fd` reports `events` (or an error or hangup, which the next call on it then reports).
void wait_ready(int fd, short events, const Deadline& deadline, const Waiter& waiter) {
  for (;;) {
    const milliseconds left = deadline.remaining();
    if (left.count() == 0) throw Failure{timeout_text(deadline), true};
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min(left, kWaitSlice).count()));
    if (n > 0) return;
    if (n < 0 && errno != EINTR) throw Failure{errno_text(errno)};
    if (waiter) waiter();
  }
}

std::string address_text(const sockaddr* sa, socklen_t size) {
  char host[NI_MAXHOST];
  char port[NI_MAXSERV];
  if (::getnameinfo(sa, size, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  std::string out = sa->sa_family == AF_INET6 ? std::string("[").append(host).append("]") : std::string(host);
  return out.append(":").append(port);
}

void set_option(int fd, int level, int name) {
  const int on = 1;
  if (::setsockopt(fd, level, name, &on, sizeof on) != 0) throw Failure{errno_text(errno)};
}

// Opens a socket and connects it to `a`; returns the descriptor, or throws Failure with the socket closed.
int connect_one(const Address& a, const Deadline& deadline, const Waiter& waiter) {
  const int fd = ::socket(a.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) throw Failure{errno_text(errno)};
  try {
    set_option(fd, IPPROTO_TCP, TCP_NODELAY);
    set_option(fd, SOL_SOCKET, SO_KEEPALIVE);
    // EINTR leaves a non-blocking connect running, as EINPROGRESS does.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.size) != 0) {
      if (errno != EINPROGRESS && errno != EINTR) throw Failure{errno_text(errno)};
      wait_ready(fd, POLLOUT, deadline, waiter);
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) throw Failure{errno_text(err)};
    }
  } catch (...) {
    ::close(fd);
    throw;
  }
  return fd;
}

}  // namespace

milliseconds Deadline::remaining() const noexcept {
  const auto left = at_ - Clock::now();
  if (left <= Clock::duration::zero()) return milliseconds(0);
  // Rounded up, so a wait of the remaining time never ends before the deadline.
  return std::chrono::ceil<milliseconds>(left);
}

std::vector<Address> resolve(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
    const std::string cause = rc == EAI_SYSTEM ? errno_text(errno) : ::gai_strerror(rc);
    throw ConnectionError("resolve " + host + ":" + service + ": " + cause);
  }
  std::vector<Address> out;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Address a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.size = ai->ai_addrlen;
    a.text = address_text(ai->ai_addr, ai->ai_addrlen);
    out.push_back(std::move(a));
  }
  ::freeaddrinfo(list);
  if (out.empty()) throw ConnectionError("resolve " + host + ":" + service + ": no address");
  return out;
}

Connection::Connection(Connection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      generation_(other.generation_),
      peer_(std::move(other.peer_)),
      sent_(other.sent_),
      buf_(std::move(other.buf_)),
      begin_(std::exchange(other.begin_, 0)),
      end_(std::exchange(other.end_, 0)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    generation_ = other.generation_;
    peer_ = std::move(other.peer_);
    sent_ = other.sent_;
    buf_ = std::move(other.buf_);
    begin_ = std::exchange(other.begin_, 0);
    end_ = std::exchange(other.end_, 0);
  }
  return *this;
}

void Connection::close() noexcept {
  // A plain close: no shutdown(), which would end the stream for a parent still sharing it after fork().
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  begin_ = end_ = 0;
  if (buf_.size() > kKeepBuffer) std::vector<std::uint8_t>().swap(buf_);
}

bool Connection::forked() noexcept {
  if (fd_ < 0 || generation_ == fork_generation()) return false;
  close();
  return true;
}

void Connection::fail(const char* phase, const std::string& cause, bool timeout) {
  close();
  std::string text = std::string(phase) + " " + peer_ + ": " + cause;
  if (timeout) throw ConnectionTimeout(text);
  throw ConnectionError(text);
}

void Connection::require_open(const char* phase) {
  if (!connected()) fail(phase, "not connected");
}

void Connection::connect(const std::vector<Address>& addresses, Deadline deadline, const Waiter& waiter) {
  close();
  peer_.clear();
  if (addresses.empty()) throw ConnectionError("connect to: no address");
  std::string causes;  // "<address>: <cause>; ..." when there are several
  for (const Address& a : addresses) {
    peer_ = a.text;
    try {
      fd_ = connect_one(a, deadline, waiter);
      generation_ = fork_generation();
      return;
    } catch (const Failure& f) {
      // The deadline is shared: once it has passed, the remaining addresses get no turn.
      if (addresses.size() == 1 || deadline.expired()) fail("connect to", f.cause, f.timeout);
      if (!causes.empty()) causes += "; ";
      causes.append(a.text).append(": ").append(f.cause);
    }
  }
  throw ConnectionError("connect: " + causes);
}

std::size_t Connection::send_all(wire::Bytes data, Deadline deadline, const Waiter& waiter) {
  sent_ = 0;
  require_open("send to");
  try {
    while (sent_ < data.size()) {
      // MSG_NOSIGNAL: a peer gone is an error here, not a SIGPIPE for the whole process.
      const ssize_t n = ::send(fd_, data.data() + sent_, data.size() - sent_, MSG_NOSIGNAL);
      if (n >= 0) {
        sent_ += static_cast<std::size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_ready(fd_, POLLOUT, deadline, waiter);
      } else if (errno != EINTR) {
        throw Failure{errno_text(errno)};
      }
    }
  } catch (const Failure& f) {
    fail("send to", f.cause, f.timeout);
  } catch (...) {
    close();
    throw;
  }
  return sent_;
}

bool Connection::receive_into_buffer(std::size_t want, int flags) {
  if (buf_.size() - end_ < want) {
    // Move the pending bytes to the front (they are fewer than a frame) before growing.
    if (begin_ > 0) {
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (buf_.size() - end_ < want) buf_.resize(end_ + want);
  }
  for (;;) {
    const ssize_t n = ::recv(fd_, buf_.data() + end_, buf_.size() - end_, flags);
    if (n > 0) {
      end_ += static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) throw Failure{closed_text(end_ - begin_)};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    if (errno != EINTR) throw Failure{errno_text(errno)};
  }
}

void Connection::receive_some(std::size_t want, Deadline deadline, const Waiter& waiter) {
  while (!receive_into_buffer(std::max(want, kReadChunk), 0)) wait_ready(fd_, POLLIN, deadline, waiter);
}

bool Connection::cut_frame(ReceivedFrame& out, std::size_t max_frame_bytes, std::size_t& missing) {
  const wire::Bytes pending(buf_.data() + begin_, end_ - begin_);
  // Checks magic and length as soon as the envelope is in; `need` is then the whole frame's size.
  const wire::FrameParse p = wire::parse_frame(pending);
  if (p.have >= wire::kEnvelopeSize && p.need > max_frame_bytes) {
    throw Failure{"frame of " + std::to_string(p.need) + " bytes above the bound of " +
                  std::to_string(max_frame_bytes)};
  }
  if (!p.complete) {
    missing = p.need - p.have;
    return false;
  }
  out = ReceivedFrame{p.frame.header.cmd, p.frame.header.seq, std::string(p.frame.body.begin(), p.frame.body.end())};
  begin_ += p.frame.size();
  if (begin_ == end_) begin_ = end_ = 0;
  if (buf_.size() > kKeepBuffer && end_ - begin_ < kReadChunk) {
    std::vector<std::uint8_t> rest(buf_.begin() + begin_, buf_.begin() + end_);
    buf_ = std::move(rest);
    end_ -= begin_;
    begin_ = 0;
  }
  return true;
}

ReceivedFrame Connection::read_frame(Deadline deadline, const Waiter& waiter, std::size_t max_frame_bytes,
                                     milliseconds quiet) {
  require_open("receive from");
  try {
    ReceivedFrame out;
    std::size_t missing = 0;
    while (!cut_frame(out, max_frame_bytes, missing)) {
      // Each receive brings at least one byte, so a fresh quiet deadline per receive bounds the silence.
      receive_some(missing, quiet.count() > 0 ? earliest(deadline, Deadline(quiet)) : deadline, waiter);
    }
    return out;
  } catch (const Failure& f) {
    fail("receive from", f.cause, f.timeout);
  } catch (const wire::FrameError& e) {
    fail("receive from", e.what());
  } catch (...) {
    close();
    throw;
  }
}

bool Connection::receive_available() {
  require_open("receive from");
  try {
    return receive_into_buffer(kReadChunk, MSG_DONTWAIT);
  } catch (const Failure& f) {
    fail("receive from", f.cause, f.timeout);
  }
}

std::optional<ReceivedFrame> Connection::take_buffered_frame(std::size_t max_frame_bytes) {
  require_open("receive from");
  try {
    ReceivedFrame out;
    std::size_t missing = 0;
    if (cut_frame(out, max_frame_bytes, missing)) return out;
    return std::nullopt;
  } catch (const Failure& f) {
    fail("receive from", f.cause, f.timeout);
  } catch (const wire::FrameError& e) {
    fail("receive from", e.what());
  }
}

namespace {

std::atomic<std::uint64_t> g_fork_generation{0};

}  // namespace

std::uint64_t fork_generation() noexcept {
  static const bool registered = [] {
    ::pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1, std::memory_order_relaxed); });
    return true;
  }();
  (void)registered;
  return g_fork_generation.load(std::memory_order_relaxed);
}

}  // namespace qel::storage
