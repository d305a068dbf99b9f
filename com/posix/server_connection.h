// One client's connection to a local server: its socket, the bytes read of
// its calls and the replies not yet taken, what it holds of the server's
// memory, and its end.
//
// The server's event loop arms a connection one-shot, so one thread at a
// time serves it (holding `serving`); Serve reads the calls that came,
// answers them through the connection's Dispatcher and writes the replies,
// and says what to wait for next. HeldMemory counts the bytes all
// connections hold and shuts down the one that holds the most past the
// limit; the thread serving it then finds it ended and closes it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/com_frame.h"
#include "com/posix/server_dispatch.h"

namespace wl::platform::posix {

// What the server's epoll set carries: a listener or a connection.
struct Endpoint {
  bool isListener;
};

// A count of refusals at a limit, reported when the first comes and then at
// most once per period (each report gives the count so far).
struct LimitTally {
  std::uint64_t count = 0;
  std::uint64_t reported = 0;
  std::chrono::steady_clock::time_point last{};
  // Counts one; true when it is to be reported.
  bool Due();
  [[nodiscard]] bool Unreported() const { return count != reported; }
};

class ServerConnection : public Endpoint {
 public:
  // Takes the accepted socket; description names the peer in reports.
  ServerConnection(int fd, const CLSID& clsid, const ComPeer& peer, std::wstring description)
      : Endpoint{false}, fd_(fd), dispatcher_(clsid, peer), description_(std::move(description)) {}
  // Closes the socket, then releases the client's references (outside any
  // server lock: the last one may end the server's life).
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  enum class Next { kRead, kWrite, kClose };

  // Serves the connection (epoll's events for it) until it has nothing more
  // to read or cannot take more replies, and says what to wait for next. A
  // frame that breaks the rules is reported and ends the connection.
  Next Serve(std::uint32_t events);

  // Reports a stream that ended inside a frame (unless the memory limit
  // ended it); called when the connection is closed.
  void ReportEnd() const;

  [[nodiscard]] int Fd() const { return fd_; }
  [[nodiscard]] const ComPeer& Peer() const { return dispatcher_.Peer(); }
  [[nodiscard]] const std::wstring& Description() const { return description_; }

  // Held by the thread that serves the connection. The one-shot arming
  // already gives the connection to one thread at a time; the lock makes
  // that hand-over visible to the memory model (and to ThreadSanitizer).
  std::mutex serving;

 private:
  friend class HeldMemory;

  // Writes what it can of the replies; false when the connection is broken.
  bool Flush();
  // Gives back a buffer that reads grew once it holds nothing, so that an
  // idle connection keeps at most the first read's size, and stores (and
  // returns) what the buffers take now.
  std::size_t Settle();

  const int fd_;
  Dispatcher dispatcher_;
  const std::wstring description_;
  std::vector<std::uint8_t> input_;
  std::size_t inputUsed_ = 0;
  comframe::FrameBuffer output_;
  std::size_t outputSent_ = 0;
  // The bytes held for the client after its last turn (read by the memory
  // limit's check under the server's lock), and whether that check shut
  // the connection down.
  std::atomic<std::size_t> held_{0};
  std::atomic<bool> evicted_{false};
};

// The bytes that all connections hold for their clients (frames not fully
// arrived, replies not taken), against ComServerLimits::heldBytes.
class HeldMemory {
 public:
  void SetLimit(std::size_t bytes) { limit_ = bytes; }
  // After a turn of the connection (by its serving thread): settles its
  // buffers and counts what it holds now. True when all connections
  // together hold more than the limit: EvictLocked is due.
  bool Update(ServerConnection& connection);
  // Under the server's lock, with every open connection: shuts down those
  // that hold the most until the others are within the limit; the reports
  // (at most one per period) into *reports.
  void EvictLocked(const std::set<ServerConnection*>& connections, std::vector<std::wstring>* reports);
  // A connection closed: what it held is no longer held.
  void Remove(const ServerConnection& connection) { total_ -= connection.held_; }
  // The server stopped: nothing is held.
  void Reset() { total_ = 0; }

  LimitTally evicted;

 private:
  std::atomic<std::size_t> total_{0};
  std::atomic<std::size_t> limit_{0};
};

}  // namespace wl::platform::posix
