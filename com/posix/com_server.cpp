// The server side of the Linux COM transport. Each class registered for
// local clients listens on {CLSID}.sock in the class folder of the
// process's user (class_folders.h: the machine's <root>/run/com for SYSTEM;
// any root length, see socket_address.h). A fixed pool of
// threads waits on one epoll set; every connection is armed one-shot, so one
// thread at a time serves it and its calls are answered in order, while
// different connections are served at the same time. A thread reads as many
// frames as one read brings, answers them all, and writes the replies with
// one write; a client that does not read its replies is not read from until
// they are out. A client that streams calls keeps its thread while the next
// part comes within a few tens of microseconds, for a turn of at most
// kTurnBytes, so that the thread is not put to sleep and woken per part.
//
// What clients may take of the server is bounded (ComServerLimits): the
// connections in all and per user, checked as each comes, and the bytes
// held for them (frames not fully arrived, replies not taken), checked
// after each turn: past the limit the connection that holds the most is
// shut down, and its serving thread closes it.
#include "com/posix/com_server.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "com/com_frame.h"
#include "com/posix/class_folders.h"
#include "com/posix/runtime.h"
#include "com/posix/type_info.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/posix/socket_address.h"
#include "platform/posix/trust.h"
#include "platform/text.h"

namespace wl::platform {
namespace posix {
namespace {

using comframe::Frame;
using comframe::FrameKind;
using comframe::ReadStatus;

constexpr int kServerThreads = 4;
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
// Interfaces one connection may hold; a client asking for more gets
// E_OUTOFMEMORY.
constexpr std::size_t kMaxFaces = 64;
// Descriptors kept from the connections when their limit comes from
// RLIMIT_NOFILE: the log files, their rotation, the hives, the forwarder,
// the daily file and the rest of the process.
constexpr std::size_t kDescriptorHeadroom = 64;
// Refusals at the limits are reported at most once per period each, with
// the count so far.
constexpr auto kLimitReportPeriod = std::chrono::seconds(10);

struct Endpoint {
  bool isListener;
};

struct Listener : Endpoint {
  int fd = -1;
  CLSID clsid{};
  std::string path;
  // Bound here (not inherited): the socket file is removed through it.
  SocketAddress address;
  bool open = true;
  // Handed over by systemd's socket activation: the socket file is the
  // socket unit's and stays when this process stops listening.
  bool inherited = false;
};

// The listening socket for path among those that systemd passed to this
// process (sd_listen_fds: $LISTEN_PID names this process, $LISTEN_FDS counts
// the descriptors from 3 on); -1 when none is. systemd binds a socket unit's
// path itself and takes only paths that fit in a socket address (107 bytes,
// which the package's root leaves room for); under a longer root the server
// binds its socket itself.
int InheritedListener(const std::string& path) {
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || std::strtol(pid, nullptr, 10) != getpid()) return -1;
  long fds = std::strtol(count, nullptr, 10);
  for (int fd = 3; fd < 3 + fds && fd < 3 + 64; ++fd) {
    sockaddr_un address{};
    socklen_t length = sizeof(address);
    int listening = 0;
    socklen_t size = sizeof(listening);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sun_family != AF_UNIX ||
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) {
      continue;
    }
    std::size_t pathLength = length > offsetof(sockaddr_un, sun_path) ? length - offsetof(sockaddr_un, sun_path) : 0;
    std::string bound(address.sun_path, strnlen(address.sun_path, pathLength));
    if (bound != path) continue;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
  }
  return -1;
}

struct Connection;

// The connection whose call the thread is making, for GetComCaller.
thread_local const Connection* servingCall = nullptr;

struct Connection : Endpoint {
  // Held by the thread that serves the connection. The one-shot arming
  // already gives the connection to one thread at a time; the lock makes
  // that hand-over visible to the memory model (and to ThreadSanitizer).
  std::mutex serving;
  int fd = -1;
  CLSID clsid{};
  // The client's credentials, taken by the system when it connected.
  std::wstring peer;
  unsigned uid = 0;
  std::uint32_t pid = 0;
  bool system = false;
  // The bytes held for the client after its last turn (read by the memory
  // limit's check under the server's lock), and whether that check shut
  // the connection down.
  std::atomic<std::size_t> held{0};
  std::atomic<bool> evicted{false};
  std::vector<IUnknown*> faces;
  std::vector<const InterfaceDescription*> descriptions;
  std::vector<std::uint8_t> input;
  std::size_t inputUsed = 0;
  comframe::FrameBuffer output;
  std::size_t outputSent = 0;
  bool activated = false;
  // The values of the call being made, kept here so that a call does not
  // clear a whole array of them.
  CallValue values[kMaxCallParams];
};

class Server {
 public:
  static Server& Instance() {
    static Server server;
    return server;
  }

  HRESULT Listen(const CLSID& clsid) {
    std::lock_guard lock(mutex_);
    for (const auto& listener : listeners_) {
      if (listener->open && listener->clsid == clsid) return S_OK;
    }
    if (HRESULT result = StartLocked(); FAILED(result)) return result;
    // Frame buffers of a megabyte and more get pages of their own, given
    // back to the system when freed: otherwise the allocator's moving
    // threshold keeps them in its heap, and the memory of the connections
    // closed at the limit stays with the process.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // Fixing one threshold fixes the other at its small default, and a heap
    // trimmed at every free costs the streaming calls most of their speed.
    mallopt(M_TRIM_THRESHOLD, 32 << 20);
    limits_ = EffectiveLimits();
    heldLimit_ = limits_.heldBytes;
    ComFolder folder = OwnComFolder();
    auto listener = std::make_unique<Listener>();
    listener->isListener = true;
    listener->clsid = clsid;
    listener->path = ClassSocketPath(folder, clsid);
    if (int fd = InheritedListener(listener->path); fd >= 0) {
      listener->fd = fd;
      listener->inherited = true;
      return Watch(std::move(listener));
    }
    std::wstring reason;
    if (int failure = PrepareComFolder(folder, &reason); failure != 0) {
      ReportCom(ComReport::kError, L"Cannot listen for class " + GuidText(clsid) + L": " + reason);
      return HResultFromWin32(Win32FromErrno(failure));
    }
    if (int error = listener->address.Set(listener->path); error != 0) {
      return CannotListen(listener->path, clsid, error);
    }
    listener->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener->fd < 0) return HResultFromWin32(Win32FromErrno(errno));
    // A socket file left by a server that is gone would refuse the bind.
    unlink(listener->address.Path());
    // Every local user may connect to the machine's class (the methods are
    // for everyone, as on Windows); a user's own server is that user's.
    if (bind(listener->fd, listener->address.Get(), listener->address.Size()) != 0 ||
        chmod(listener->address.Path(), folder.machine ? 0666 : 0600) != 0 || listen(listener->fd, SOMAXCONN) != 0) {
      HRESULT result = HResultFromWin32(Win32FromErrno(errno));
      close(listener->fd);
      return result;
    }
    return Watch(std::move(listener));
  }

  // A class socket that the system cannot make where it belongs: the
  // report names the path and what it broke.
  static HRESULT CannotListen(const std::string& path, const CLSID& clsid, int error) {
    ReportCom(ComReport::kError,
              L"Cannot listen for class " + GuidText(clsid) + L": " + SocketAddressError(path, error));
    return HResultFromWin32(Win32FromErrno(error));
  }

  HRESULT Watch(std::unique_ptr<Listener> listener) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.ptr = static_cast<Endpoint*>(listener.get());
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listener->fd, &event);
    listeners_.push_back(std::move(listener));
    return S_OK;
  }

  void StopListening(const CLSID& clsid) {
    std::wstring summary;
    {
      std::lock_guard lock(mutex_);
      for (const auto& listener : listeners_) {
        if (!listener->open || listener->clsid != clsid) continue;
        // The object stays until the server stops: a thread may still hold
        // an event for it, and finds it closed.
        listener->open = false;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, listener->fd, nullptr);
        close(listener->fd);
        if (!listener->inherited) unlink(listener->address.Path());
        listener->address = SocketAddress();
      }
      summary = TakeSummaryLocked();
    }
    if (!summary.empty()) ReportCom(ComReport::kError, summary);
  }

  void Stop() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      if (epoll_ < 0) return;
      std::uint64_t one = 1;
      if (write(wake_, &one, sizeof(one)) < 0) {
        // The event stays readable once written; a failure leaves nothing to do.
      }
      threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
    std::set<Connection*> connections;
    {
      std::lock_guard lock(mutex_);
      connections.swap(connections_);
      for (const auto& listener : listeners_) {
        if (!listener->open) continue;
        close(listener->fd);
        if (!listener->inherited) unlink(listener->address.Path());
      }
      listeners_.clear();
      close(wake_);
      close(epoll_);
      epoll_ = wake_ = -1;
    }
    for (Connection* connection : connections) Destroy(connection);
    std::wstring summary;
    {
      std::lock_guard lock(mutex_);
      perUser_.clear();
      heldTotal_ = 0;
      summary = TakeSummaryLocked();
      refused_ = {};
      evicted_ = {};
    }
    if (!summary.empty()) ReportCom(ComReport::kError, summary);
  }

 private:
  HRESULT StartLocked() {
    if (epoll_ >= 0) return S_OK;
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0) {
      HRESULT result = HResultFromWin32(Win32FromErrno(errno));
      if (epoll_ >= 0) close(epoll_);
      if (wake_ >= 0) close(wake_);
      epoll_ = wake_ = -1;
      return result;
    }
    // Level-triggered and never disarmed: once written, it wakes every
    // thread.
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    try {
      for (int i = 0; i < kServerThreads; ++i) threads_.emplace_back([this, epoll = epoll_] { Run(epoll); });
    } catch (const std::system_error&) {
      if (threads_.empty()) return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  void Run(int epoll) {
    epoll_event events[8];
    for (;;) {
      int count = epoll_wait(epoll, events, 8, -1);
      if (count < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (int i = 0; i < count; ++i) {
        auto* endpoint = static_cast<Endpoint*>(events[i].data.ptr);
        if (endpoint == nullptr) return;
        if (endpoint->isListener) {
          Accept(static_cast<Listener*>(endpoint));
          continue;
        }
        auto* connection = static_cast<Connection*>(endpoint);
        Next next;
        {
          // Armed again before the lock goes, so that the next thread to
          // serve it finds everything this one did, its close too. (A
          // streaming client keeps its thread while its calls come, so the
          // next thread seldom has to wait for this lock.)
          std::lock_guard lock(connection->serving);
          next = Serve(connection, events[i].events);
          if (next != Next::kClose) {
            Account(connection);
            Arm(connection, EPOLL_CTL_MOD, next == Next::kRead ? EPOLLIN : EPOLLOUT);
          }
        }
        if (next == Next::kClose) Close(connection);
      }
    }
  }

  void Accept(Listener* listener) {
    std::vector<std::wstring> peers, refusals;
    bool exhausted = false;
    std::size_t open = 0;
    {
      std::lock_guard lock(mutex_);
      if (!listener->open || epoll_ < 0) return;
      for (;;) {
        int fd = accept4(listener->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
          if (errno == EINTR || errno == ECONNABORTED) continue;
          exhausted = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
          open = connections_.size();
          break;
        }
        auto connection = std::make_unique<Connection>();
        connection->isListener = false;
        connection->fd = fd;
        connection->clsid = listener->clsid;
        ucred credentials{};
        socklen_t size = sizeof(credentials);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
          connection->uid = credentials.uid;
          connection->pid = static_cast<std::uint32_t>(credentials.pid);
          connection->system = IsSystemAccount(credentials.uid);
          connection->peer = L"process " + std::to_wstring(credentials.pid) + L", user " +
                             std::to_wstring(credentials.uid) + L", group " + std::to_wstring(credentials.gid);
        } else {
          // Counted as a user of its own that is not SYSTEM.
          connection->uid = static_cast<unsigned>(-1);
          connection->peer = L"unknown process";
        }
        std::size_t& mine = perUser_[connection->uid];
        bool overall = connections_.size() >= limits_.connections;
        if (overall || (!connection->system && mine >= limits_.connectionsPerUser)) {
          if (mine == 0) perUser_.erase(connection->uid);
          close(fd);
          if (refused_.Due()) {
            refusals.push_back(L"Refused a COM client connection (" + connection->peer + L"): " +
                               std::to_wstring(connections_.size()) + L" connections are open, at most " +
                               std::to_wstring(limits_.connections) + L" in all and " +
                               std::to_wstring(limits_.connectionsPerUser) + L" for a user other than SYSTEM; " +
                               L"refused so far: " + std::to_wstring(refused_.count));
          }
          continue;
        }
        ++mine;
        peers.push_back(connection->peer);
        Arm(connection.get(), EPOLL_CTL_ADD, EPOLLIN);
        connections_.insert(connection.release());
      }
    }
    for (const std::wstring& peer : peers) {
      ReportCom(ComReport::kDebug, L"COM client connected to " + GuidText(listener->clsid) + L": " + peer);
    }
    for (const std::wstring& refusal : refusals) ReportCom(ComReport::kError, refusal);
    // Out of descriptors, the waiting connections stay queued; a pause keeps
    // the listener, still readable, from spinning a thread meanwhile.
    if (exhausted) {
      ReportCom(ComReport::kError,
                L"COM server cannot take more connections for now: " + std::to_wstring(open) + L" are open");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::lock_guard lock(mutex_);
    if (!listener->open || epoll_ < 0) return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.ptr = static_cast<Endpoint*>(listener);
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener->fd, &event);
  }

  // The limits in force: those set, with the counts left at 0 taken from
  // the descriptor limit.
  static ComServerLimits EffectiveLimits() {
    ComServerLimits limits = CurrentComServerLimits();
    if (limits.connections == 0) {
      rlimit descriptors{};
      std::size_t most = getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY
                             ? static_cast<std::size_t>(descriptors.rlim_cur)
                             : 1024;
      limits.connections = most > 2 * kDescriptorHeadroom ? most - kDescriptorHeadroom : most / 2;
    }
    if (limits.connectionsPerUser == 0) limits.connectionsPerUser = std::max<std::size_t>(limits.connections / 8, 1);
    return limits;
  }

  // After a turn: counts what the connection holds for its client (a frame
  // not fully arrived, replies it has not taken) and, past the limit over
  // all connections, shuts down those that hold the most. A buffer that
  // reads grew is given back once it holds nothing, so that an idle
  // connection keeps at most the first read's size.
  void Account(Connection* connection) {
    if (connection->inputUsed == 0 && connection->input.size() > kFirstRead) {
      std::vector<std::uint8_t>().swap(connection->input);
    }
    connection->output.Trim(kFirstRead);
    // What the buffer takes, not what it holds: reads double it, so a frame
    // may take twice its bytes.
    std::size_t held = (connection->inputUsed != 0 ? connection->input.size() : 0) +
                       (connection->output.size() - connection->outputSent);
    std::size_t before = connection->held.exchange(held);
    if (held == before) return;
    if (held < before) {
      heldTotal_ -= before - held;
      return;
    }
    heldTotal_ += held - before;
    if (heldTotal_ <= heldLimit_.load()) return;
    std::vector<std::wstring> reports;
    {
      std::lock_guard lock(mutex_);
      std::size_t total = 0;
      for (Connection* each : connections_) {
        if (!each->evicted) total += each->held;
      }
      while (total > limits_.heldBytes) {
        Connection* most = nullptr;
        for (Connection* each : connections_) {
          if (!each->evicted && (most == nullptr || each->held > most->held)) most = each;
        }
        if (most == nullptr) break;
        // Its serving thread finds the connection ended and closes it.
        most->evicted = true;
        (void)shutdown(most->fd, SHUT_RDWR);
        if (evicted_.Due()) {
          reports.push_back(L"Closed a COM client connection (" + most->peer + L"): it held " +
                            std::to_wstring(most->held.load()) + L" bytes, the most, while the connections held " +
                            std::to_wstring(total) + L" in all, more than the limit of " +
                            std::to_wstring(limits_.heldBytes) + L"; closed so far for the limit: " +
                            std::to_wstring(evicted_.count));
        }
        total -= most->held;
      }
    }
    for (const std::wstring& report : reports) ReportCom(ComReport::kError, report);
  }

  // The counts of the refusals at the limits when some were not reported
  // yet (a class stops taking connections, the server stops); empty
  // otherwise.
  std::wstring TakeSummaryLocked() {
    if (!refused_.Unreported() && !evicted_.Unreported()) return {};
    refused_.reported = refused_.count;
    evicted_.reported = evicted_.count;
    return L"COM server: " + std::to_wstring(refused_.count) + L" connections refused at the connection limits, " +
           std::to_wstring(evicted_.count) + L" closed at the memory limit, since it started";
  }

  void Arm(Connection* connection, int operation, std::uint32_t events) {
    epoll_event event{};
    event.events = events | EPOLLRDHUP | EPOLLONESHOT;
    event.data.ptr = static_cast<Endpoint*>(connection);
    epoll_ctl(epoll_, operation, connection->fd, &event);
  }

  enum class Next { kRead, kWrite, kClose };

  // Serves one connection until it has nothing more to read or cannot take
  // more replies, and says what to wait for next.
  Next Serve(Connection* connection, std::uint32_t events) {
    if ((events & (EPOLLERR | EPOLLHUP)) != 0 && (events & EPOLLIN) == 0) return Next::kClose;
    if (connection->outputSent < connection->output.size()) {
      if (!Flush(connection)) return Next::kClose;
      if (connection->outputSent < connection->output.size()) return Next::kWrite;
    }
    bool filled = false;
    for (std::size_t turn = 0; turn < kTurnBytes;) {
      std::size_t size = connection->input.size();
      if (size - connection->inputUsed < kFirstRead / 4 || (filled && size < kLargestRead)) {
        connection->input.resize(std::max(size * 2, connection->inputUsed + kFirstRead));
      }
      std::size_t room = connection->input.size() - connection->inputUsed;
      ssize_t got = recv(connection->fd, connection->input.data() + connection->inputUsed, room, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (got <= 0) return Next::kClose;
      connection->inputUsed += static_cast<std::size_t>(got);
      turn += static_cast<std::size_t>(got);
      std::wstring error;
      if (!HandleFrames(connection, &error)) {
        ReportCom(ComReport::kError, L"Closed a COM client connection (" + connection->peer + L"): " + error);
        connection->inputUsed = 0;
        return Next::kClose;
      }
      if (connection->outputSent < connection->output.size()) {
        if (!Flush(connection)) return Next::kClose;
        if (connection->outputSent < connection->output.size()) return Next::kWrite;
      }
      // A read that did not fill the room found everything there was.
      if (static_cast<std::size_t>(got) < room) {
        if (static_cast<std::size_t>(got) < kStreamingRead || !AwaitReadable(connection->fd)) break;
        continue;
      }
      filled = true;
    }
    return Next::kRead;
  }

  // Answers every whole frame in the input; false (with the reason) for a
  // frame that breaks the rules.
  bool HandleFrames(Connection* connection, std::wstring* error) {
    std::size_t offset = 0;
    Frame frame;
    for (;;) {
      std::size_t size = 0;
      auto input = std::span<const std::uint8_t>(connection->input.data() + offset, connection->inputUsed - offset);
      ReadStatus status = comframe::ReadFrame(input, &frame, &size, error);
      if (status == ReadStatus::kInvalid) return false;
      // The buffer grows with the bytes that come, not with what a header
      // announces, so a client cannot make the server reserve memory for
      // frames it never sends.
      if (status == ReadStatus::kIncomplete) break;
      if (!Handle(connection, frame, error)) return false;
      offset += size;
    }
    if (offset != 0) {
      std::memmove(connection->input.data(), connection->input.data() + offset, connection->inputUsed - offset);
      connection->inputUsed -= offset;
    }
    return true;
  }

  bool Handle(Connection* connection, const Frame& frame, std::wstring* error) {
    switch (frame.kind) {
      case FrameKind::kActivate:
      case FrameKind::kQuery: {
        if (frame.count != 1 || frame.values[0].tag != comframe::kTagGuid) {
          *error = L"interface request without an interface identifier";
          return false;
        }
        bool activate = frame.kind == FrameKind::kActivate;
        if (activate == connection->activated) {
          *error = activate ? L"second activation" : L"interface request before the activation";
          return false;
        }
        const IID& iid = frame.values[0].guid;
        IUnknown* object = nullptr;
        HRESULT result = E_OUTOFMEMORY;
        if (connection->faces.size() < kMaxFaces) {
          result = activate ? CreateInstance(connection->clsid, iid, &object)
                            : connection->faces[0]->QueryInterface(iid, reinterpret_cast<void**>(&object));
        }
        auto face = static_cast<std::uint16_t>(connection->faces.size());
        if (SUCCEEDED(result) && object != nullptr) {
          connection->faces.push_back(object);
          connection->descriptions.push_back(FindBuiltInInterface(iid));
          connection->activated = true;
        }
        comframe::AppendFaceReply(connection->output, result, face);
        return true;
      }
      case FrameKind::kCall: {
        if (frame.face >= connection->faces.size() || connection->descriptions[frame.face] == nullptr) {
          *error = L"call on unknown interface " + std::to_wstring(frame.face);
          return false;
        }
        const MethodDescription* method = FindMethodBySlot(*connection->descriptions[frame.face], frame.method);
        if (method == nullptr) {
          *error = L"call of unknown method " + std::to_wstring(frame.method);
          return false;
        }
        if (!comframe::CheckCallValues(frame, *method, error)) return false;
        Call(connection, frame, *method);
        return true;
      }
      case FrameKind::kReply:
        *error = L"reply frame from a client";
        return false;
    }
    return false;
  }

  static HRESULT CreateInstance(const CLSID& clsid, const IID& iid, IUnknown** object) {
    IUnknown* classObject = FindLocalClassObject(clsid);
    if (classObject == nullptr) return CO_E_SERVER_EXEC_FAILURE;
    IClassFactory* factory = nullptr;
    HRESULT result = classObject->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
    classObject->Release();
    if (FAILED(result)) return result;
    result = factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(object));
    factory->Release();
    return result;
  }

  // A BSTR argument lives in a buffer of the serving thread, laid out as
  // SysAllocStringLen lays it out (the callee only reads it and never
  // frees it), so that a call costs no allocation.
  static BSTR ThreadBstr(int index, const comframe::FrameValue& value) {
    thread_local std::vector<std::uint32_t> buffers[kMaxCallParams];
    std::vector<std::uint32_t>& buffer = buffers[index];
    std::size_t bytes = 2 * static_cast<std::size_t>(value.textLength);
    buffer.resize(1 + (bytes + 2 + 3) / 4);
    buffer[0] = static_cast<std::uint32_t>(bytes);
    BSTR text = reinterpret_cast<BSTR>(buffer.data() + 1);
    // The wire's UTF-16LE is the memory order of this machine.
    if (bytes != 0) std::memcpy(text, value.text, bytes);
    text[value.textLength] = 0;
    return text;
  }

  static void Call(Connection* connection, const Frame& frame, const MethodDescription& method) {
    CallValue* values = connection->values;
    int index = 0;
    for (std::size_t i = 0; i < method.params.size(); ++i) {
      values[i] = CallValue{};
      if (method.params[i].out) continue;
      const comframe::FrameValue& value = frame.values[index++];
      if (method.params[i].type != VT_BSTR) {
        values[i].number = value.number;
      } else if (!value.nullText) {
        values[i].text = ThreadBstr(static_cast<int>(i), value);
      }
    }
    servingCall = connection;
    HRESULT result = method.call(connection->faces[frame.face], values);
    servingCall = nullptr;
    comframe::AppendReply(connection->output, result, &method, values);
  }

  // Writes what it can of the replies; false when the connection is broken.
  static bool Flush(Connection* connection) {
    while (connection->outputSent < connection->output.size()) {
      ssize_t sent = send(connection->fd, connection->output.data() + connection->outputSent,
                          connection->output.size() - connection->outputSent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      connection->outputSent += static_cast<std::size_t>(sent);
    }
    connection->output.clear();
    connection->outputSent = 0;
    return true;
  }

  void Close(Connection* connection) {
    if (connection->inputUsed != 0 && !connection->evicted) {
      ReportCom(ComReport::kError,
                L"Closed a COM client connection (" + connection->peer + L"): the stream ended inside a frame");
    }
    {
      std::lock_guard lock(mutex_);
      if (connections_.erase(connection) == 0) return;
      if (epoll_ >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, connection->fd, nullptr);
      if (auto user = perUser_.find(connection->uid); user != perUser_.end() && --user->second == 0) {
        perUser_.erase(user);
      }
    }
    heldTotal_ -= connection->held;
    Destroy(connection);
  }

  // Releases the client's references outside the lock: the last one may
  // end the server's life (its module lock), which suspends the listeners.
  static void Destroy(Connection* connection) {
    close(connection->fd);
    for (IUnknown* face : connection->faces) face->Release();
    delete connection;
  }

  // A count of refusals, reported when the first comes and then at most
  // once per period (each report gives the count so far).
  struct Tally {
    std::uint64_t count = 0;
    std::uint64_t reported = 0;
    std::chrono::steady_clock::time_point last{};
    // Counts one; true when it is to be reported.
    bool Due() {
      ++count;
      auto now = std::chrono::steady_clock::now();
      if (reported != 0 && now - last < kLimitReportPeriod) return false;
      reported = count;
      last = now;
      return true;
    }
    [[nodiscard]] bool Unreported() const { return count != reported; }
  };

  std::mutex mutex_;
  ComServerLimits limits_;
  // limits_.heldBytes, for the check after each turn without the lock.
  std::atomic<std::size_t> heldLimit_{0};
  std::map<unsigned, std::size_t> perUser_;
  std::atomic<std::size_t> heldTotal_{0};
  Tally refused_;
  Tally evicted_;
  int epoll_ = -1;
  int wake_ = -1;
  std::vector<std::thread> threads_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::set<Connection*> connections_;
};

}  // namespace

HRESULT ListenForClass(const CLSID& clsid) { return Server::Instance().Listen(clsid); }

void StopListeningForClass(const CLSID& clsid) { Server::Instance().StopListening(clsid); }

void StopComServer() { Server::Instance().Stop(); }

}  // namespace posix

ComCaller GetComCaller() {
  if (const posix::Connection* connection = posix::servingCall) {
    return {connection->system, posix::UserSidString(connection->uid), connection->pid};
  }
  return {posix::ProcessIsSystem(), posix::ProcessUserSidString(), static_cast<std::uint32_t>(getpid())};
}

}  // namespace wl::platform
