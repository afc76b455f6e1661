// One TCP connection to a storage master: connect, send, and read whole frames, each wait bounded by a deadline.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qel/error.h"
#include "qel/wire/codec.h"

namespace qel::storage {

// A failed connect, send or receive. The text names the phase and the peer, then the cause:
// "receive from 127.0.0.1:9000: timed out after 200 ms".
class ConnectionError : public Error {
 public:
  using Error::Error;
};

// A wait that reached its deadline; the peer may only be slow, so retrying elsewhere is not obviously better.
class ConnectionTimeout : public ConnectionError {
 public:
  using ConnectionError::ConnectionError;
};

// The instant a whole operation must finish by, on the steady clock. It keeps its budget so that a
// timeout can say how long the caller was prepared to wait.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(std::chrono::milliseconds budget) : at_(Clock::now() + budget), budget_(budget) {}
  // A deadline that never expires.
  static Deadline never() { return Deadline(); }

  std::chrono::milliseconds budget() const noexcept { return budget_; }
  // Zero once expired.
  std::chrono::milliseconds remaining() const noexcept;
  bool expired() const noexcept { return remaining().count() == 0; }

 private:
  Deadline() : at_(Clock::time_point::max()), budget_(std::chrono::milliseconds::max()) {}
  Clock::time_point at_;
  std::chrono::milliseconds budget_;
};

// The one of two deadlines that expires first.
inline Deadline earliest(const Deadline& a, const Deadline& b) noexcept {
  return a.remaining() <= b.remaining() ? a : b;
}

// Runs between the slices of a wait (and after a wait interrupted by a signal). It may throw to abort
// the wait: the exception propagates unchanged and the connection is closed. The binding runs the
// interpreter's signal handlers here, with the interpreter lock taken back for the call.
using Waiter = std::function<void()>;
// Short enough that stop() from another thread, seen between slices, ends a call well within 100 ms; a
// signal interrupts the wait at once.
inline constexpr std::chrono::milliseconds kWaitSlice{20};

// How many fork()s lie between the first process that asked and this one: a value that changes in a forked
// child, read without a system call (getpid() is one).
std::uint64_t fork_generation() noexcept;

// One resolved socket address.
struct Address {
  sockaddr_storage storage{};
  socklen_t size = 0;
  std::string text;  // numeric "host:port", "[v6]:port"; for error texts
};

// The addresses of host:port for a TCP stream, in resolver order. Blocks in the resolver; meant to run
// once, when a pool starts. Throws ConnectionError "resolve <host>:<port>: <resolver text>".
std::vector<Address> resolve(const std::string& host, std::uint16_t port);

// One frame as the peer sent it; the body is owned.
struct ReceivedFrame {
  std::uint16_t cmd = 0;
  std::uint32_t seq = 0;
  std::string body;
};

// A non-blocking socket driven by poll() in slices of at most kWaitSlice; it owns no thread. Every
// failure throws ConnectionError (or the Waiter's exception) and leaves the connection closed, so a
// caller never goes on reading a stream cut at an unknown point.
//
// After fork() the child must not touch the parent's stream: there the connection drops its
// descriptor with a plain close() (the parent's socket stays open, nothing is sent) and reports itself
// as not connected.
class Connection {
 public:
  Connection() = default;
  ~Connection() { close(); }
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Tries `addresses` in order until one accepts, all sharing `deadline`. A connection that is open
  // is closed first. The socket gets TCP_NODELAY and SO_KEEPALIVE.
  void connect(const std::vector<Address>& addresses, Deadline deadline, const Waiter& waiter = {});

  // Writes all of `data`. bytes_sent() counts what left, also when this throws; a pool must know
  // whether any byte of a request reached the peer before it may send the request elsewhere.
  std::size_t send_all(wire::Bytes data, Deadline deadline, const Waiter& waiter = {});
  std::size_t bytes_sent() const noexcept { return sent_; }

  // Reads exactly one frame; bytes that follow it stay buffered for the next call. With `quiet` above zero,
  // a silence that long while the frame is awaited also ends the wait, however far `deadline` is. A frame larger
  // than `max_frame_bytes` (counting its 16-byte envelope and header) is refused as soon as its
  // envelope arrives, before its body is read. A peer close mid-frame is an error.
  ReceivedFrame read_frame(Deadline deadline, const Waiter& waiter, std::size_t max_frame_bytes,
                           std::chrono::milliseconds quiet = std::chrono::milliseconds(0));
  // One receive of what has arrived, without waiting; false when nothing had. A peer close throws as
  // read_frame does.
  bool receive_available();
  // A whole frame from what has been received, or nothing (a partial one stays buffered). A malformed
  // frame throws as read_frame does.
  std::optional<ReceivedFrame> take_buffered_frame(std::size_t max_frame_bytes);

  // Open, and opened by this process. Drops the descriptor of a connection inherited through fork().
  bool connected() noexcept { return fd_ >= 0 && !forked(); }
  // True, dropping the descriptor, when the connection was opened by another process (the parent of a
  // fork). A closed connection is not forked.
  bool forked() noexcept;
  // Bytes received past the last frame read.
  std::size_t buffered() const noexcept { return end_ - begin_; }
  // The socket, for readiness polling across connections; -1 when closed.
  int native_handle() const noexcept { return fd_; }
  const std::string& peer() const noexcept { return peer_; }

  void close() noexcept;

 private:
  // The connection, usable in this process, or ConnectionError "<phase> <peer>: not connected".
  void require_open(const char* phase);
  // Makes room for `want` bytes after the buffered ones, then receives what the socket holds (recv `flags`); false
  // when it holds nothing yet. Throws Failure on a closed or failed socket.
  bool receive_into_buffer(std::size_t want, int flags);
  // Receives at least one byte into the buffer, asking for at least `want` when the socket has them.
  void receive_some(std::size_t want, Deadline deadline, const Waiter& waiter);
  // Cuts a complete frame from the buffer into `out`; otherwise false, with the bytes still `missing`.
  bool cut_frame(ReceivedFrame& out, std::size_t max_frame_bytes, std::size_t& missing);
  [[noreturn]] void fail(const char* phase, const std::string& cause, bool timeout = false);

  int fd_ = -1;
  std::uint64_t generation_ = 0;  // fork_generation() of the process that opened it
  std::string peer_;
  std::size_t sent_ = 0;
  // Received bytes not yet returned: buf_[begin_, end_).
  std::vector<std::uint8_t> buf_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace qel::storage
