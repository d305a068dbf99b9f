// A client of the Reliable Event Logging Protocol: every message is
// acknowledged by the collector, and after a broken connection the messages
// not yet acknowledged are sent again on the new one. Built on librelp on
// Linux; the Windows build has no RELP (every call gives 50, not supported).
// One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/tls_client.h"
#include "platform/types.h"

namespace wl::platform {

class RelpClient {
 public:
  RelpClient();
  ~RelpClient();  // closes, waiting a bounded time for the last acknowledgements
  RelpClient(const RelpClient&) = delete;
  RelpClient& operator=(const RelpClient&) = delete;

  // False where the system has no RELP.
  static bool Supported();

  // Opens a session with host:port, over TLS when tls is given (librelp
  // opens the files itself, by name, after they passed TlsFilesRefusal). 0
  // or a Win32 code; LastError says why in words when it can.
  [[nodiscard]] Win32Error Connect(std::string_view host, std::uint16_t port, std::uint32_t timeoutSeconds,
                                   const TlsSettings* tls = nullptr);
  // Hands one syslog message (unframed) to the session: 0 when it was taken
  // (it is sent again after a reconnect until acknowledged), otherwise the
  // session is broken and the message was not taken.
  [[nodiscard]] Win32Error Send(std::string_view message);
  // Opens the session again and sends what was not acknowledged. 0 or a
  // Win32 code.
  [[nodiscard]] Win32Error Reconnect();
  // Ends the session (waiting a bounded time for acknowledgements).
  void Close();
  [[nodiscard]] bool Connected() const;
  // Why the last Connect or Reconnect failed, in words; empty when unknown.
  [[nodiscard]] std::string LastError() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace wl::platform
