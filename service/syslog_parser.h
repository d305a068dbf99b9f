// Syslog messages as local programs send them to a syslog socket, taken
// apart: RFC 3164 ("<PRI>Mmm dd hh:mm:ss TAG[PID]: text", what syslog(3)
// sends, with or without a host name after the time) and RFC 5424
// ("<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID SD MSG"). Anything
// else is kept whole as a message of its own. And the frames of a stream
// socket (RFC 6587): octet counting ("LEN SP MSG") and LF-terminated.
//
// Everything here works on bytes as they came: no character set is assumed
// and no byte is changed. Nothing allocates per message; the framer keeps
// one buffer of at most maxFrameBytes for frames that span reads, and every
// view points into the caller's bytes or into that buffer. Time and
// memory are linear in the input, whatever the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace wl {

enum class SyslogFormat { Rfc3164, Rfc5424, Unparsed };

// user.notice: what a message without a valid PRI counts as.
inline constexpr std::uint32_t kSyslogDefaultFacility = 1;
inline constexpr std::uint32_t kSyslogDefaultSeverity = 5;

// The longest RFC 3164 TAG taken as one; a longer word stays in the text.
inline constexpr std::size_t kSyslogMaxTagBytes = 48;

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

// Takes any bytes; never fails. The views of the record point into message.
//
// PRI is "<" 1 to 3 digits ">" with a value of at most 191 and no leading
// zero ("<0>" is valid). After it, "1 " and a well-formed RFC 5424 header
// make an Rfc5424 record. Otherwise the message is Rfc3164 when it has the
// RFC 3164 time, or no time but a tag right after the PRI (what a sender
// without a clock writes, "<14>name: text"); with neither it is Unparsed.
// A tag is 1 to kSyslogMaxTagBytes bytes without blanks, control bytes,
// '[', ']' or ':', followed by an optional "[PID]" and then ":" and a
// blank or the end. A word that a blank ends is no tag: after the time it
// may be a host name when a tag follows it, else it stays in the text.
SyslogRecord ParseSyslogMessage(std::string_view message);

// Splits the bytes of one stream connection into frames. A frame that
// starts with a digit from 1 to 9 is octet-counted ("LEN SP MSG", LEN at
// most 9 digits, exactly one SP); when anything else follows the digits,
// the frame, digits included, ends at LF like any other frame (a NUL also
// ends it, as some senders use). Empty LF frames are skipped. A frame
// longer than maxFrameBytes is delivered cut to that length (cut = true)
// and the rest of it is skipped (the counted bytes, or up to the LF), so
// that an endless frame costs bounded memory and never the frames after
// it.
//
// A frame that lies whole in the bytes of one Feed is delivered as a view
// of them, without a copy; the bytes of a frame that spans Feeds are held
// in one buffer, grown as such frames need up to maxFrameBytes and kept.
// One connection, one framer; not for use by two threads at once.
class SyslogStreamFramer {
 public:
  // maxFrameBytes is at least 1 (0 counts as 1).
  explicit SyslogStreamFramer(std::size_t maxFrameBytes);

  // Takes the next bytes of the stream and calls onFrame(std::string_view
  // frame, bool cut) for each frame completed by them, in order. The view
  // is valid only during the call.
  template <typename OnFrame>
  void Feed(std::string_view bytes, OnFrame&& onFrame) {
    Frame frame;
    while (NextFrame(bytes, frame)) onFrame(frame.bytes, frame.cut);
  }

  // The end of the stream: delivers an unfinished LF frame, and an
  // unfinished octet-counted frame that has bytes, with cut = true (the
  // sender's end cut it). The framer then starts afresh.
  template <typename OnFrame>
  void Finish(OnFrame&& onFrame) {
    Frame frame;
    if (TakeUnfinished(frame)) onFrame(frame.bytes, frame.cut);
  }

  // The bytes held for an unfinished frame (at most maxFrameBytes).
  [[nodiscard]] std::size_t HeldBytes() const { return releaseHeld_ ? 0 : heldBytes_; }

 private:
  struct Frame {
    std::string_view bytes;
    bool cut = false;
  };
  enum class State { kStart, kLength, kCounted, kLine, kSkipCounted, kSkipLine };

  // Takes bytes from the front of bytes until a frame is complete and
  // returns it, or returns false when every byte is taken without one.
  bool NextFrame(std::string_view& bytes, Frame& frame);
  bool TakeUnfinished(Frame& frame);
  void Hold(std::string_view bytes);
  // The frame of the held bytes and those of the current Feed from start
  // to end; a view of the latter when nothing is held.
  Frame Complete(std::string_view bytes, std::size_t start, std::size_t end, bool cut);

  std::size_t maxFrameBytes_;
  State state_ = State::kStart;
  std::uint32_t length_ = 0;      // kLength: the digits so far
  std::size_t lengthDigits_ = 0;  // kLength: how many
  std::size_t countedKeep_ = 0;   // kCounted: bytes still to deliver
  std::size_t countedSkip_ = 0;   // kCounted, kSkipCounted: bytes to skip after them
  std::unique_ptr<char[]> held_;
  std::size_t heldCapacity_ = 0;  // at most maxFrameBytes_
  std::size_t heldBytes_ = 0;
  bool releaseHeld_ = false;  // the held bytes went out in the last frame
};

}  // namespace wl
