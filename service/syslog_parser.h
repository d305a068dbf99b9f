// Syslog messages as local programs send them to a syslog socket, taken
// apart: RFC 3164 ("<PRI>Mmm dd hh:mm:ss TAG[PID]: text", what syslog(3)
// sends, with or without a host name after the time) and RFC 5424
// ("<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID SD MSG"). Anything
// else is kept whole as a message of its own. And the frames of a stream
// socket (RFC 6587): octet counting ("LEN SP MSG") and LF-terminated.
//
// Nothing here allocates per message except the framer's buffer for a frame
// that spans reads; every view points into the caller's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wl {

enum class SyslogFormat { Rfc3164, Rfc5424, Unparsed };

// user.notice: what a message without a valid PRI counts as.
inline constexpr std::uint32_t kSyslogDefaultFacility = 1;
inline constexpr std::uint32_t kSyslogDefaultSeverity = 5;

struct SyslogRecord {
  SyslogFormat format = SyslogFormat::Unparsed;
  std::uint32_t facility = kSyslogDefaultFacility;  // 0 to 23
  std::uint32_t severity = kSyslogDefaultSeverity;  // 0 to 7
  // RFC 3164 TAG or RFC 5424 APP-NAME; empty when the message has none ("-").
  std::string_view tag;
  // The process id as the text claims it (RFC 3164 "[PID]", RFC 5424
  // PROCID); empty when none. Only informational: the sender's process
  // comes from the socket.
  std::string_view processId;
  // The message text: after "TAG[PID]: " (RFC 3164), the MSG without its
  // byte-order mark (RFC 5424; structured data is left out), or for an
  // unparsed message everything after a valid PRI (the whole input when it
  // has none). Trailing line feeds, carriage returns and NULs are left out.
  std::string_view text;
};

// Takes any bytes; never fails.
SyslogRecord ParseSyslogMessage(std::string_view message);

// Splits the bytes of one stream connection into frames. A frame that
// starts with a digit is octet-counted ("LEN SP MSG", LEN at most 9
// digits); any other frame ends at LF (a NUL also ends it, as some senders
// use). A frame longer than maxFrameBytes is delivered cut to that length
// (cut = true) and the rest of it is skipped, so that an endless frame
// costs bounded memory and never the frames after it.
class SyslogStreamFramer {
 public:
  explicit SyslogStreamFramer(std::size_t maxFrameBytes);

  // Takes the next bytes of the stream and calls onFrame(std::string_view
  // frame, bool cut) for each frame completed by them, in order. The view
  // is valid only during the call.
  template <typename OnFrame>
  void Feed(std::string_view bytes, OnFrame&& onFrame);

  // The end of the stream: delivers an unfinished LF frame (not an
  // unfinished octet-counted one, which is cut by the sender's end and
  // delivered with cut = true when it has bytes).
  template <typename OnFrame>
  void Finish(OnFrame&& onFrame);

  // The bytes held for an unfinished frame (at most maxFrameBytes).
  [[nodiscard]] std::size_t HeldBytes() const { return held_.size(); }

 private:
  // Implementation-defined state; see syslog_parser.cpp.
  std::size_t maxFrameBytes_;
  std::string held_;
};

}  // namespace wl
