// The sockets of the syslog intake: where local programs send syslog
// messages, as they send them to /dev/log. A datagram socket takes one
// message per datagram; a stream socket takes connections that carry framed
// messages. The system vouches for each sender's process, user and group
// (credentials passed with every datagram, the peer's at a connection), so
// that no text can claim another process's identity.
//
// Linux only: on Windows the event log plays this part, and Supported() is
// false.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace wl::platform {

struct SenderCredentials {
  std::uint32_t pid = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  // False when the system gave none (the fields are 0 then).
  bool known = false;
};

// What Receive hands over, on the receiving thread.
class SyslogSink {
 public:
  // One datagram; cut when it was longer than kMaxSyslogDatagramBytes and
  // only its start was kept.
  virtual void Datagram(std::string_view bytes, bool cut, const SenderCredentials& sender) = 0;
  // The next bytes of a stream connection (numbered from 1, never reused).
  virtual void StreamBytes(std::uint64_t connection, std::string_view bytes, const SenderCredentials& sender) = 0;
  // The connection has ended (or was closed for misbehaving).
  virtual void StreamEnded(std::uint64_t connection, const SenderCredentials& sender) = 0;

 protected:
  ~SyslogSink() = default;
};

// The longest datagram kept whole.
inline constexpr std::size_t kMaxSyslogDatagramBytes = 64 * 1024;
// Stream connections served at once; a connection beyond them is closed at
// once, so that one local user cannot hold the intake's descriptors.
inline constexpr std::size_t kMaxSyslogConnections = 256;

class SyslogReceiver {
 public:
  static bool Supported();

  SyslogReceiver();
  ~SyslogReceiver();
  SyslogReceiver(const SyslogReceiver&) = delete;
  SyslogReceiver& operator=(const SyslogReceiver&) = delete;

  // Each returns an empty text when the socket is open, else why it is not
  // (with the path). OpenDatagram and OpenStream take the socket that
  // systemd passed for the path when there is one, else bind it themselves:
  // in a folder that only trusted accounts may change (made 0755 when
  // missing), replacing a socket left there but nothing else, mode 0666 (any
  // local user may send, as to /dev/log). TakeDatagram takes only a socket
  // that systemd passed (journald's forwarding socket belongs to the system,
  // not to this process).
  std::wstring OpenDatagram(const std::wstring& path);
  std::wstring OpenStream(const std::wstring& path);
  std::wstring TakeDatagram(const std::wstring& path);

  // Whether any socket is open.
  [[nodiscard]] bool Open() const;

  // Waits at most timeoutMs for something to arrive, then hands over what
  // has (a bounded amount per call). Returns early after Wake.
  void Receive(std::uint32_t timeoutMs, SyslogSink& sink);

  // Ends a Receive in progress (or the next one) early; any thread.
  void Wake();

  // Closes every socket and connection; the socket files it bound itself
  // are removed (those systemd passed are left to systemd).
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace wl::platform
