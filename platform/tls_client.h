// TLS (1.2 or later) over a connected TCP socket, client side, for
// forwarding to a collector: the collector's certificate is checked against
// a CA file and then by name or by fingerprint; an optional certificate and
// key of our own serve collectors that ask for one. Built on GnuTLS on
// Linux and on the system's own TLS provider on Windows, which shows no
// certificate of ours (one in the settings is refused).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tcp_socket.h"
#include "platform/types.h"

namespace wl::platform {

enum class TlsAuthMode {
  // The certificate must name the target's host, or one of the peers.
  Name,
  // Its SHA-256 or SHA-1 fingerprint must be one of the peers.
  Fingerprint,
  // A chain to the CA is enough (any certificate of the CA passes).
  CertValid,
};

struct TlsSettings {
  std::string caFile;
  // Both or neither.
  std::string certFile;
  std::string keyFile;
  TlsAuthMode mode = TlsAuthMode::Name;
  // Names, or fingerprints written "SHA256:AB:CD:..." / "SHA1:AB:..".
  std::vector<std::string> peers;

  bool operator==(const TlsSettings&) const = default;
};

// "name", "fingerprint", "certvalid" (any case); false for anything else.
bool ParseTlsAuthMode(std::string_view text, TlsAuthMode* mode);
std::string_view TlsAuthModeName(TlsAuthMode mode);

// Checks the settings' files as the service checks what it reads (trusted
// owner, folders no other user may change; the key also readable by its
// owner alone): empty when they pass, otherwise why not, in words. Files
// that a library opens itself by name are checked with this first.
std::string TlsFilesRefusal(const TlsSettings& settings);

// The reason in words when the collector's certificate names neither the
// host nor (when there are any) a permitted peer: one text for both builds.
std::string NotNamedReason(const std::string& host, const TlsSettings& settings);

class TlsClient {
 public:
  TlsClient();
  ~TlsClient();  // closes
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Takes over the connected socket (closed by Close, also after a failed
  // handshake), loads the files, and completes a handshake within timeoutMs,
  // checking the collector's certificate for host. 0, or a Win32 code with
  // the reason in words in *why. Nothing of ours goes out before the
  // certificate checked out.
  [[nodiscard]] Win32Error Handshake(SocketHandle socket, const std::string& host, const TlsSettings& settings,
                                     std::uint32_t timeoutMs, std::string* why);

  // As TcpSend: the count of plain bytes taken, 0 when the time ran out,
  // -1 when the session failed. A call after 0 must pass the same bytes
  // again (at least those of the first call).
  long Send(const void* data, std::size_t size, std::uint32_t timeoutMs);

  // As TcpReceive: the count of plain bytes received, 0 at the end of the
  // session, -1 when it failed, -2 when the time ran out.
  long Receive(void* data, std::size_t size, std::uint32_t timeoutMs);

  // As TcpPeerGone: a collector sends nothing but session housekeeping,
  // which is taken here; an end of the session or an error means it is gone.
  bool PeerGone();

  // Ends the session (without waiting) and closes the socket.
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One loop for both builds, on Receive.
inline bool TlsClient::PeerGone() {
  // Session housekeeping (tickets) is taken by Receive; data is ignored (a
  // collector has nothing to say); the end or an error means it is gone.
  char buffer[512];
  for (int round = 0; round < 64; ++round) {
    long got = Receive(buffer, sizeof buffer, 0);
    if (got == -2) return false;
    if (got <= 0) return true;
  }
  return false;
}

}  // namespace wl::platform
