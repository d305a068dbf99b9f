// A client of the Reliable Event Logging Protocol: every message is
// acknowledged by the collector, and after a broken connection the messages
// not yet acknowledged are sent again on the new one. Written on the TCP and
// TLS clients of this layer, so both builds have it. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/tls_client.h"
#include "platform/types.h"

namespace wl::platform {

// One frame of the protocol: "TXNR COMMAND DATALEN[ DATA]\n".
struct RelpFrame {
  std::uint32_t txnr = 0;
  std::string_view command;
  std::string_view data;
};

// Reads the frame at the start of bytes: 1 and *used when it is whole, 0
// when more bytes are needed, -1 when the bytes are not a frame (or one too
// long for an answer to a client).
int ParseRelpFrame(std::string_view bytes, RelpFrame* frame, std::size_t* used);

class RelpClient {
 public:
  RelpClient();
  ~RelpClient();  // closes, waiting a bounded time for the last acknowledgements
  RelpClient(const RelpClient&) = delete;
  RelpClient& operator=(const RelpClient&) = delete;

  // Opens a session with host:port, over TLS when tls is given (the
  // collector's certificate checked as TlsClient checks it). 0 or a Win32
  // code; LastError says why in words when it can.
  [[nodiscard]] Win32Error Connect(std::string_view host, std::uint16_t port, std::uint32_t timeoutSeconds,
                                   const TlsSettings* tls = nullptr);
  // Hands one syslog message (unframed) to the session: 0 when it was taken
  // (it is sent again after a reconnect until acknowledged), otherwise the
  // session is broken and the message was not taken. Messages are gathered
  // and written in bulk; Flush writes what is gathered.
  [[nodiscard]] Win32Error Send(std::string_view message);
  // Writes the messages taken so far and takes the acknowledgements that
  // came. 0, or the session is broken.
  [[nodiscard]] Win32Error Flush();
  // Opens the session again and sends what was not acknowledged. 0 or a
  // Win32 code.
  [[nodiscard]] Win32Error Reconnect();
  // Ends the session (waiting a bounded time for acknowledgements).
  void Close();
  [[nodiscard]] bool Connected() const;
  // Why the last Connect or Reconnect failed, in words; empty when unknown.
  [[nodiscard]] std::string LastError() const;
  // Messages taken and not yet acknowledged.
  [[nodiscard]] std::size_t Unacknowledged() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace wl::platform
