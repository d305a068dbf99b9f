#include "com/posix/server_connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "com/posix/runtime.h"

namespace wl::platform::posix {
namespace {

// A connection's input buffer starts small and doubles while reads fill it,
// up to the largest read (more only for a larger frame).
constexpr std::size_t kFirstRead = 16 * 1024;
constexpr std::size_t kLargestRead = 256 * 1024;
// After a read of this size, the client is streaming calls: its next part
// is looked for a while before the thread goes back to wait.
constexpr std::size_t kStreamingRead = 16 * 1024;
// A thread serves one connection for at most this many bytes in a turn,
// then lets the other connections have theirs.
constexpr std::size_t kTurnBytes = 4 << 20;
// Refusals at the limits are reported at most once per period each, with
// the count so far.
constexpr auto kLimitReportPeriod = std::chrono::seconds(10);

}  // namespace

bool LimitTally::Due() {
  ++count;
  auto now = std::chrono::steady_clock::now();
  if (reported != 0 && now - last < kLimitReportPeriod) return false;
  reported = count;
  last = now;
  return true;
}

ServerConnection::~ServerConnection() { close(fd_); }

ServerConnection::Next ServerConnection::Serve(std::uint32_t events) {
  if ((events & (EPOLLERR | EPOLLHUP)) != 0 && (events & EPOLLIN) == 0) return Next::kClose;
  if (outputSent_ < output_.size()) {
    if (!Flush()) return Next::kClose;
    if (outputSent_ < output_.size()) return Next::kWrite;
  }
  bool filled = false;
  for (std::size_t turn = 0; turn < kTurnBytes;) {
    std::size_t size = input_.size();
    if (size - inputUsed_ < kFirstRead / 4 || (filled && size < kLargestRead)) {
      input_.resize(std::max(size * 2, inputUsed_ + kFirstRead));
    }
    std::size_t room = input_.size() - inputUsed_;
    ssize_t got = recv(fd_, input_.data() + inputUsed_, room, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (got <= 0) return Next::kClose;
    inputUsed_ += static_cast<std::size_t>(got);
    turn += static_cast<std::size_t>(got);
    std::wstring error;
    std::size_t used = 0;
    if (!dispatcher_.Answer({input_.data(), inputUsed_}, output_, &used, &error)) {
      ReportCom(ComReport::kError, L"Closed a COM client connection (" + description_ + L"): " + error);
      inputUsed_ = 0;
      return Next::kClose;
    }
    if (used != 0) {
      std::memmove(input_.data(), input_.data() + used, inputUsed_ - used);
      inputUsed_ -= used;
    }
    if (outputSent_ < output_.size()) {
      if (!Flush()) return Next::kClose;
      if (outputSent_ < output_.size()) return Next::kWrite;
    }
    // A read that did not fill the room found everything there was.
    if (static_cast<std::size_t>(got) < room) {
      if (static_cast<std::size_t>(got) < kStreamingRead || !AwaitReadable(fd_)) break;
      continue;
    }
    filled = true;
  }
  return Next::kRead;
}

void ServerConnection::ReportEnd() const {
  if (inputUsed_ != 0 && !evicted_) {
    ReportCom(ComReport::kError,
              L"Closed a COM client connection (" + description_ + L"): the stream ended inside a frame");
  }
}

bool ServerConnection::Flush() {
  while (outputSent_ < output_.size()) {
    ssize_t sent = send(fd_, output_.data() + outputSent_, output_.size() - outputSent_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    outputSent_ += static_cast<std::size_t>(sent);
  }
  output_.clear();
  outputSent_ = 0;
  return true;
}

std::size_t ServerConnection::Settle() {
  if (inputUsed_ == 0 && input_.size() > kFirstRead) std::vector<std::uint8_t>().swap(input_);
  output_.Trim(kFirstRead);
  // What the buffer takes, not what it holds: reads double it, so a frame
  // may take twice its bytes.
  std::size_t held = (inputUsed_ != 0 ? input_.size() : 0) + (output_.size() - outputSent_);
  return held_.exchange(held);
}

bool HeldMemory::Update(ServerConnection& connection) {
  std::size_t before = connection.Settle();
  std::size_t held = connection.held_;
  if (held == before) return false;
  if (held < before) {
    total_ -= before - held;
    return false;
  }
  total_ += held - before;
  return total_ > limit_.load();
}

void HeldMemory::EvictLocked(const std::set<ServerConnection*>& connections, std::vector<std::wstring>* reports) {
  const std::size_t limit = limit_;
  std::size_t total = 0;
  for (ServerConnection* each : connections) {
    if (!each->evicted_) total += each->held_;
  }
  while (total > limit) {
    ServerConnection* most = nullptr;
    for (ServerConnection* each : connections) {
      if (!each->evicted_ && (most == nullptr || each->held_ > most->held_)) most = each;
    }
    if (most == nullptr) break;
    // Its serving thread finds the connection ended and closes it.
    most->evicted_ = true;
    (void)shutdown(most->fd_, SHUT_RDWR);
    if (evicted.Due()) {
      reports->push_back(L"Closed a COM client connection (" + most->description_ + L"): it held " +
                         std::to_wstring(most->held_.load()) + L" bytes, the most, while the connections held " +
                         std::to_wstring(total) + L" in all, more than the limit of " + std::to_wstring(limit) +
                         L"; closed so far for the limit: " + std::to_wstring(evicted.count));
    }
    total -= most->held_;
  }
}

}  // namespace wl::platform::posix
