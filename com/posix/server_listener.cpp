#include "com/posix/server_listener.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "com/posix/class_folders.h"
#include "com/posix/runtime.h"
#include "platform/posix/errors.h"
#include "platform/posix/inherited_socket.h"
#include "platform/posix/trust.h"
#include "platform/text.h"

namespace wl::platform::posix {
namespace {

// Descriptors kept from the connections when their limit comes from
// RLIMIT_NOFILE: the log files, their rotation, the hives, the forwarder,
// the daily file and the rest of the process.
constexpr std::size_t kDescriptorHeadroom = 64;

// A class socket that the system cannot make where it belongs: the report
// names the path and what it broke.
HRESULT CannotListen(const std::string& path, const CLSID& clsid, int error) {
  ReportCom(ComReport::kError, L"Cannot listen for class " + GuidText(clsid) + L": " + SocketAddressError(path, error));
  return HResultFromWin32(Win32FromErrno(error));
}

}  // namespace

HRESULT ClassListener::Open(const CLSID& clsid, std::unique_ptr<ClassListener>* made) {
  ComFolder folder = OwnComFolder();
  std::unique_ptr<ClassListener> listener(new ClassListener());
  listener->clsid_ = clsid;
  std::string path = ClassSocketPath(folder, clsid);
  if (int fd = InheritedSocket(path, SOCK_STREAM); fd >= 0) {
    listener->fd_ = fd;
    listener->inherited_ = true;
    *made = std::move(listener);
    return S_OK;
  }
  std::wstring reason;
  if (int failure = PrepareComFolder(folder, &reason); failure != 0) {
    ReportCom(ComReport::kError, L"Cannot listen for class " + GuidText(clsid) + L": " + reason);
    return HResultFromWin32(Win32FromErrno(failure));
  }
  SocketAddress& address = listener->address_;
  if (int error = address.Set(path); error != 0) return CannotListen(path, clsid, error);
  listener->fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener->fd_ < 0) return HResultFromWin32(Win32FromErrno(errno));
  // A socket file left by a server that is gone would refuse the bind.
  unlink(address.Path());
  // Every local user may connect to the machine's class (the methods are
  // for everyone, as on Windows); a user's own server is that user's.
  if (bind(listener->fd_, address.Get(), address.Size()) != 0 ||
      chmod(address.Path(), folder.machine ? 0666 : 0600) != 0 || listen(listener->fd_, SOMAXCONN) != 0) {
    HRESULT result = HResultFromWin32(Win32FromErrno(errno));
    close(listener->fd_);
    return result;
  }
  *made = std::move(listener);
  return S_OK;
}

std::unique_ptr<ServerConnection> ClassListener::Accept(int* error) {
  for (;;) {
    int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      *error = errno;
      return nullptr;
    }
    ComPeer peer;
    std::wstring description;
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
      peer.uid = credentials.uid;
      peer.pid = static_cast<std::uint32_t>(credentials.pid);
      peer.system = IsSystemAccount(credentials.uid);
      description = L"process " + std::to_wstring(credentials.pid) + L", user " + std::to_wstring(credentials.uid) +
                    L", group " + std::to_wstring(credentials.gid);
    } else {
      // Counted as a user of its own that is not SYSTEM.
      peer.uid = static_cast<unsigned>(-1);
      description = L"unknown process";
    }
    return std::make_unique<ServerConnection>(fd, clsid_, peer, std::move(description));
  }
}

void ClassListener::Close() {
  if (!open_) return;
  open_ = false;
  close(fd_);
  if (!inherited_) unlink(address_.Path());
  address_ = SocketAddress();
}

ComServerLimits EffectiveComServerLimits() {
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

bool ConnectionCaps::Admit(const ServerConnection& connection, std::size_t open, std::vector<std::wstring>* refusals) {
  const ComPeer& peer = connection.Peer();
  std::size_t& mine = perUser_[peer.uid];
  bool overall = open >= limits_.connections;
  if (overall || (!peer.system && mine >= limits_.connectionsPerUser)) {
    if (mine == 0) perUser_.erase(peer.uid);
    if (refused.Due()) {
      refusals->push_back(L"Refused a COM client connection (" + connection.Description() + L"): " +
                          std::to_wstring(open) + L" connections are open, at most " +
                          std::to_wstring(limits_.connections) + L" in all and " +
                          std::to_wstring(limits_.connectionsPerUser) + L" for a user other than SYSTEM; " +
                          L"refused so far: " + std::to_wstring(refused.count));
    }
    return false;
  }
  ++mine;
  return true;
}

void ConnectionCaps::Leave(const ServerConnection& connection) {
  if (auto user = perUser_.find(connection.Peer().uid); user != perUser_.end() && --user->second == 0) {
    perUser_.erase(user);
  }
}

}  // namespace wl::platform::posix
