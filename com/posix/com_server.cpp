// The event loop of a local server on Linux. A fixed pool of threads waits
// on one epoll set that holds the class listeners (server_listener.h) and
// the client connections (server_connection.h); every one is armed
// one-shot, so one thread at a time serves it and a connection's calls are
// answered in order, while different connections are served at the same
// time. A thread reads as many frames as one read brings, answers them all
// (server_dispatch.h), and writes the replies with one write; a client that
// does not read its replies is not read from until they are out. A client
// that streams calls keeps its thread while the next part comes within a
// few tens of microseconds, for a turn of a few megabytes, so that the
// thread is not put to sleep and woken per part.
//
// What clients may take of the server is bounded (ComServerLimits): the
// connections in all and per user, checked as each comes, and the bytes
// held for them (frames not fully arrived, replies not taken), checked
// after each turn: past the limit the connection that holds the most is
// shut down, and its serving thread closes it.
#include "com/posix/com_server.h"

#include <malloc.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "com/posix/runtime.h"
#include "com/posix/server_connection.h"
#include "com/posix/server_listener.h"
#include "platform/posix/errors.h"
#include "platform/text.h"

namespace wl::platform::posix {
namespace {

constexpr int kServerThreads = 4;

class Server {
 public:
  static Server& Instance() {
    static Server server;
    return server;
  }

  HRESULT Listen(const CLSID& clsid) {
    std::lock_guard lock(mutex_);
    for (const auto& listener : listeners_) {
      if (listener->IsOpen() && listener->Clsid() == clsid) return S_OK;
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
    ComServerLimits limits = EffectiveComServerLimits();
    caps_.SetLimits(limits);
    held_.SetLimit(limits.heldBytes);
    std::unique_ptr<ClassListener> listener;
    if (HRESULT result = ClassListener::Open(clsid, &listener); FAILED(result)) return result;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.ptr = static_cast<Endpoint*>(listener.get());
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listener->Fd(), &event);
    listeners_.push_back(std::move(listener));
    return S_OK;
  }

  void StopListening(const CLSID& clsid) {
    std::wstring summary;
    {
      std::lock_guard lock(mutex_);
      for (const auto& listener : listeners_) {
        if (!listener->IsOpen() || listener->Clsid() != clsid) continue;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, listener->Fd(), nullptr);
        listener->Close();
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
    std::set<ServerConnection*> connections;
    {
      std::lock_guard lock(mutex_);
      connections.swap(connections_);
      for (const auto& listener : listeners_) listener->Close();
      listeners_.clear();
      close(wake_);
      close(epoll_);
      epoll_ = wake_ = -1;
    }
    for (ServerConnection* connection : connections) delete connection;
    std::wstring summary;
    {
      std::lock_guard lock(mutex_);
      caps_.Reset();
      held_.Reset();
      summary = TakeSummaryLocked();
      caps_.refused = {};
      held_.evicted = {};
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
          Accept(static_cast<ClassListener*>(endpoint));
          continue;
        }
        auto* connection = static_cast<ServerConnection*>(endpoint);
        ServerConnection::Next next;
        {
          // Armed again before the lock goes, so that the next thread to
          // serve it finds everything this one did, its close too. (A
          // streaming client keeps its thread while its calls come, so the
          // next thread seldom has to wait for this lock.)
          std::lock_guard lock(connection->serving);
          next = connection->Serve(events[i].events);
          if (next != ServerConnection::Next::kClose) {
            if (held_.Update(*connection)) EvictOverLimit();
            Arm(connection, EPOLL_CTL_MOD, next == ServerConnection::Next::kRead ? EPOLLIN : EPOLLOUT);
          }
        }
        if (next == ServerConnection::Next::kClose) Close(connection);
      }
    }
  }

  void Accept(ClassListener* listener) {
    std::vector<std::wstring> peers, refusals;
    bool exhausted = false;
    std::size_t open = 0;
    {
      std::lock_guard lock(mutex_);
      if (!listener->IsOpen() || epoll_ < 0) return;
      for (;;) {
        int error = 0;
        std::unique_ptr<ServerConnection> connection = listener->Accept(&error);
        if (connection == nullptr) {
          exhausted = error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
          open = connections_.size();
          break;
        }
        if (!caps_.Admit(*connection, connections_.size(), &refusals)) continue;
        peers.push_back(connection->Description());
        Arm(connection.get(), EPOLL_CTL_ADD, EPOLLIN);
        connections_.insert(connection.release());
      }
    }
    for (const std::wstring& peer : peers) {
      ReportCom(ComReport::kDebug, L"COM client connected to " + GuidText(listener->Clsid()) + L": " + peer);
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
    if (!listener->IsOpen() || epoll_ < 0) return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.ptr = static_cast<Endpoint*>(listener);
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener->Fd(), &event);
  }

  // Past the memory limit over all connections: shuts down those that hold
  // the most.
  void EvictOverLimit() {
    std::vector<std::wstring> reports;
    {
      std::lock_guard lock(mutex_);
      held_.EvictLocked(connections_, &reports);
    }
    for (const std::wstring& report : reports) ReportCom(ComReport::kError, report);
  }

  // The counts of the refusals at the limits when some were not reported
  // yet (a class stops taking connections, the server stops); empty
  // otherwise.
  std::wstring TakeSummaryLocked() {
    LimitTally& refused = caps_.refused;
    LimitTally& evicted = held_.evicted;
    if (!refused.Unreported() && !evicted.Unreported()) return {};
    refused.reported = refused.count;
    evicted.reported = evicted.count;
    return L"COM server: " + std::to_wstring(refused.count) + L" connections refused at the connection limits, " +
           std::to_wstring(evicted.count) + L" closed at the memory limit, since it started";
  }

  void Arm(ServerConnection* connection, int operation, std::uint32_t events) {
    epoll_event event{};
    event.events = events | EPOLLRDHUP | EPOLLONESHOT;
    event.data.ptr = static_cast<Endpoint*>(connection);
    epoll_ctl(epoll_, operation, connection->Fd(), &event);
  }

  void Close(ServerConnection* connection) {
    connection->ReportEnd();
    {
      std::lock_guard lock(mutex_);
      if (connections_.erase(connection) == 0) return;
      if (epoll_ >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, connection->Fd(), nullptr);
      caps_.Leave(*connection);
    }
    held_.Remove(*connection);
    // Outside the lock: the client's last reference may end the server's
    // life (its module lock), which suspends the listeners.
    delete connection;
  }

  std::mutex mutex_;
  ConnectionCaps caps_;
  HeldMemory held_;
  int epoll_ = -1;
  int wake_ = -1;
  std::vector<std::thread> threads_;
  std::vector<std::unique_ptr<ClassListener>> listeners_;
  std::set<ServerConnection*> connections_;
};

}  // namespace

HRESULT ListenForClass(const CLSID& clsid) { return Server::Instance().Listen(clsid); }

void StopListeningForClass(const CLSID& clsid) { Server::Instance().StopListening(clsid); }

void StopComServer() { Server::Instance().Stop(); }

}  // namespace wl::platform::posix
