#include "platform/syslog_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/checked_open.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/inherited_socket.h"
#include "platform/posix/socket_address.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

using posix::Descriptor;

// Datagrams taken per system call, each into a buffer of its own.
constexpr std::size_t kBatch = 32;
// Stream bytes read per connection and call.
constexpr std::size_t kStreamRead = 64 * 1024;

std::wstring Reason(const std::string& path, const std::wstring& text) {
  return L"the socket " + WideFromUtf8(path) + L" " + text;
}

struct BoundSocket {
  Descriptor socket;
  // Set when this process bound the file: its folder, name and inode, so
  // that Close removes that file and no other.
  Descriptor folder;
  std::string name;
  ino_t inode = 0;
};

struct Connection {
  Descriptor socket;
  std::uint64_t number = 0;
  SenderCredentials sender;
};

}  // namespace

struct SyslogReceiver::State {
  std::vector<BoundSocket> datagrams;
  BoundSocket listener;
  std::vector<Connection> connections;
  std::uint64_t lastConnection = 0;
  Descriptor wake{eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
  // The buffers of datagrams and of stream reads, made at first use.
  std::vector<char> datagramBuffers;
  std::vector<char> streamBuffer;
  std::vector<pollfd> polled;

  void ReadDatagrams(int fd, SyslogSink& sink);
  void Accept();
  // False when the connection has ended.
  bool ReadStream(Connection& connection, SyslogSink& sink);
};

namespace {

// Binds a socket of `type` at path: the folder must be one that only trusted
// accounts change (made 0755 when missing); a socket file already there is
// replaced, anything else is left alone and refused.
std::wstring Bind(const std::string& path, int type, BoundSocket* bound) {
  if (path.empty() || path[0] != '/') return Reason(path, L"is not an absolute path");
  std::string name = posix::NameOf(path);
  posix::CheckedOpen folder = posix::MakeFolder(posix::FolderOf(path), 0755);
  if (!folder.Ok()) {
    if (!folder.refusal.empty()) return Reason(path, L"cannot be made: " + WideFromUtf8(folder.refusal));
    return posix::SocketAddressError(path, folder.error);
  }
  struct stat there {};
  if (fstatat(folder.descriptor.Get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISSOCK(there.st_mode)) return Reason(path, L"cannot be made: something other than a socket is there");
    if (unlinkat(folder.descriptor.Get(), name.c_str(), 0) != 0) return posix::SocketAddressError(path, errno);
  }
  std::string reachable = "/proc/self/fd/" + std::to_string(folder.descriptor.Get()) + "/" + name;
  posix::SocketAddress address;
  if (int error = address.Set(reachable); error != 0) return posix::SocketAddressError(path, error);
  Descriptor socket{::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
  if (!socket.Valid()) return posix::SocketAddressError(path, errno);
  if (bind(socket.Get(), address.Get(), address.Size()) != 0) return posix::SocketAddressError(path, errno);
  // Any local user may send, as to /dev/log.
  if (fchmodat(folder.descriptor.Get(), name.c_str(), 0666, 0) != 0 ||
      fstatat(folder.descriptor.Get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      (type == SOCK_STREAM && listen(socket.Get(), SOMAXCONN) != 0)) {
    int error = errno;
    (void)unlinkat(folder.descriptor.Get(), name.c_str(), 0);
    return posix::SocketAddressError(path, error);
  }
  bound->socket = std::move(socket);
  bound->folder = std::move(folder.descriptor);
  bound->name = name;
  bound->inode = there.st_ino;
  return {};
}

// Asks the system to pass the sender's credentials with every datagram.
void PassCredentials(int fd) {
  int on = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

void Unbind(BoundSocket& bound) {
  if (bound.folder.Valid()) {
    struct stat there {};
    if (fstatat(bound.folder.Get(), bound.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(there.st_mode) &&
        there.st_ino == bound.inode) {
      (void)unlinkat(bound.folder.Get(), bound.name.c_str(), 0);
    }
  }
  bound = BoundSocket{};
}

}  // namespace

bool SyslogReceiver::Supported() { return true; }

SyslogReceiver::SyslogReceiver() : state_(std::make_unique<State>()) {}

SyslogReceiver::~SyslogReceiver() { Close(); }

namespace {

// The socket of `type` that systemd passed for path, else one bound here.
std::wstring TakeOrBind(const std::string& path, int type, BoundSocket* bound) {
  if (int fd = posix::InheritedSocket(path, type); fd >= 0) {
    bound->socket = Descriptor(fd);
    return {};
  }
  return Bind(path, type, bound);
}

}  // namespace

std::wstring SyslogReceiver::OpenDatagram(const std::wstring& path) {
  BoundSocket bound;
  if (std::wstring failed = TakeOrBind(Utf8FromWide(path), SOCK_DGRAM, &bound); !failed.empty()) return failed;
  PassCredentials(bound.socket.Get());
  state_->datagrams.push_back(std::move(bound));
  return {};
}

std::wstring SyslogReceiver::TakeDatagram(const std::wstring& path) {
  std::string local = Utf8FromWide(path);
  int fd = posix::InheritedSocket(local, SOCK_DGRAM);
  if (fd < 0) return Reason(local, L"was not passed to the service by systemd (see its socket unit)");
  PassCredentials(fd);
  BoundSocket bound;
  bound.socket = Descriptor(fd);
  state_->datagrams.push_back(std::move(bound));
  return {};
}

std::wstring SyslogReceiver::OpenStream(const std::wstring& path) {
  BoundSocket bound;
  if (std::wstring failed = TakeOrBind(Utf8FromWide(path), SOCK_STREAM, &bound); !failed.empty()) return failed;
  Unbind(state_->listener);
  state_->listener = std::move(bound);
  return {};
}

bool SyslogReceiver::Open() const { return !state_->datagrams.empty() || state_->listener.socket.Valid(); }

void SyslogReceiver::Wake() {
  std::uint64_t one = 1;
  (void)!write(state_->wake.Get(), &one, sizeof one);
}

void SyslogReceiver::Close() {
  if (!state_) return;
  for (BoundSocket& bound : state_->datagrams) Unbind(bound);
  state_->datagrams.clear();
  Unbind(state_->listener);
  state_->connections.clear();
}

void SyslogReceiver::Receive(std::uint32_t timeoutMs, SyslogSink& sink) {
  State& state = *state_;
  std::vector<pollfd>& polled = state.polled;
  polled.clear();
  polled.push_back({state.wake.Get(), POLLIN, 0});
  for (const BoundSocket& bound : state.datagrams) polled.push_back({bound.socket.Get(), POLLIN, 0});
  bool listening = state.listener.socket.Valid();
  if (listening) polled.push_back({state.listener.socket.Get(), POLLIN, 0});
  for (const Connection& connection : state.connections) polled.push_back({connection.socket.Get(), POLLIN, 0});
  int ready = poll(polled.data(), polled.size(), static_cast<int>(timeoutMs));
  if (ready <= 0) return;
  std::size_t at = 0;
  if (polled[at++].revents != 0) {
    std::uint64_t count = 0;
    (void)!read(state.wake.Get(), &count, sizeof count);
  }
  for (const BoundSocket& bound : state.datagrams) {
    if (polled[at++].revents != 0) state.ReadDatagrams(bound.socket.Get(), sink);
  }
  bool accept = listening && polled[at++].revents != 0;
  // Connections in the order polled; those that ended are removed after.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < state.connections.size(); ++i) {
    Connection& connection = state.connections[i];
    bool alive = polled[at + i].revents == 0 || state.ReadStream(connection, sink);
    if (!alive) {
      sink.StreamEnded(connection.number, connection.sender);
      continue;
    }
    if (kept != i) state.connections[kept] = std::move(connection);
    ++kept;
  }
  state.connections.resize(kept);
  if (accept) state.Accept();
}

void SyslogReceiver::State::ReadDatagrams(int fd, SyslogSink& sink) {
  constexpr std::size_t kControl = CMSG_SPACE(sizeof(ucred));
  if (datagramBuffers.empty()) datagramBuffers.resize(kBatch * (kMaxSyslogDatagramBytes + kControl));
  std::array<mmsghdr, kBatch> headers{};
  std::array<iovec, kBatch> vectors{};
  char* base = datagramBuffers.data();
  char* controls = base + kBatch * kMaxSyslogDatagramBytes;
  for (std::size_t i = 0; i < kBatch; ++i) {
    vectors[i] = {base + i * kMaxSyslogDatagramBytes, kMaxSyslogDatagramBytes};
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
    headers[i].msg_hdr.msg_control = controls + i * kControl;
    headers[i].msg_hdr.msg_controllen = kControl;
  }
  // A bounded number of rounds, so that a flood on one socket does not keep
  // the others (and the stop) waiting.
  for (int round = 0; round < 8; ++round) {
    int count = recvmmsg(fd, headers.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (count <= 0) return;
    for (int i = 0; i < count; ++i) {
      msghdr& header = headers[i].msg_hdr;
      SenderCredentials sender;
      for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr; control = CMSG_NXTHDR(&header, control)) {
        if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SCM_CREDENTIALS &&
            control->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
          ucred credentials{};
          std::memcpy(&credentials, CMSG_DATA(control), sizeof credentials);
          sender = {static_cast<std::uint32_t>(credentials.pid), credentials.uid, credentials.gid, true};
        }
      }
      std::size_t length = std::min<std::size_t>(headers[i].msg_len, kMaxSyslogDatagramBytes);
      sink.Datagram(std::string_view(static_cast<const char*>(vectors[i].iov_base), length),
                    (header.msg_flags & MSG_TRUNC) != 0, sender);
      header.msg_controllen = kControl;
      header.msg_flags = 0;
    }
    if (static_cast<std::size_t>(count) < kBatch) return;
  }
}

void SyslogReceiver::State::Accept() {
  for (int round = 0; round < 64; ++round) {
    Descriptor socket{accept4(listener.socket.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)};
    if (!socket.Valid()) return;
    // Past the limit a connection is closed at once: its sender sees the
    // end and may try again.
    if (connections.size() >= kMaxSyslogConnections) continue;
    Connection connection;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(socket.Get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
      connection.sender = {static_cast<std::uint32_t>(credentials.pid), credentials.uid, credentials.gid, true};
    }
    connection.socket = std::move(socket);
    connection.number = ++lastConnection;
    connections.push_back(std::move(connection));
  }
}

bool SyslogReceiver::State::ReadStream(Connection& connection, SyslogSink& sink) {
  if (streamBuffer.empty()) streamBuffer.resize(kStreamRead);
  // A bounded amount per call, so that one busy sender shares the thread.
  for (int round = 0; round < 4; ++round) {
    ssize_t got = recv(connection.socket.Get(), streamBuffer.data(), kStreamRead, MSG_DONTWAIT);
    if (got > 0) {
      sink.StreamBytes(connection.number, std::string_view(streamBuffer.data(), static_cast<std::size_t>(got)),
                       connection.sender);
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;
  }
  return true;
}

}  // namespace wl::platform
