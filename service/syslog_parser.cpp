#include "service/syslog_parser.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

namespace wl {
namespace {

constexpr std::size_t kMaxPriDigits = 3;
constexpr std::uint32_t kMaxPri = 191;     // local7.debug
constexpr std::size_t kBsdTimeBytes = 15;  // "Mmm dd hh:mm:ss"
constexpr std::size_t kMaxHostBytes = 255;
constexpr std::size_t kMaxProcessIdBytes = 128;
constexpr std::size_t kMaxTimestampBytes = 32;  // "2026-12-08T01:02:03.123456+00:00"
constexpr std::size_t kMaxMessageIdBytes = 32;
constexpr std::size_t kMaxSdNameBytes = 32;
constexpr std::size_t kMaxLengthDigits = 9;
constexpr std::size_t kMinHeldBytes = 512;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Any byte but blanks and control bytes: names may be non-ASCII.
bool IsWordByte(char c) {
  auto code = static_cast<unsigned char>(c);
  return code > 0x20 && code != 0x7F;
}

bool IsTagByte(char c) { return IsWordByte(c) && c != '[' && c != ']' && c != ':'; }
bool IsProcessIdByte(char c) { return IsWordByte(c) && c != '[' && c != ']'; }

// The characters of an RFC 5424 header field.
bool IsPrintAscii(char c) { return c >= 33 && c <= 126; }
bool IsSdNameByte(char c) { return IsPrintAscii(c) && c != '=' && c != ']' && c != '"'; }

bool IsFrameEnd(char c) { return c == '\n' || c == '\0'; }

// The length of the run of bytes at the start of s that pass, counted up to
// limit + 1 so that a run longer than limit shows as such.
template <typename Pass>
std::size_t Run(std::string_view s, std::size_t limit, Pass pass) {
  std::size_t at = 0;
  while (at < s.size() && at <= limit && pass(s[at])) ++at;
  return at;
}

std::string_view TrimEnd(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

struct Pri {
  std::uint32_t value = 0;
  std::size_t length = 0;  // 0: no valid PRI
};

Pri ParsePri(std::string_view s) {
  if (s.empty() || s[0] != '<') return {};
  std::size_t digits = Run(s.substr(1), kMaxPriDigits, IsDigit);
  if (digits == 0 || digits > kMaxPriDigits || digits + 1 >= s.size() || s[digits + 1] != '>') return {};
  if (digits > 1 && s[1] == '0') return {};
  std::uint32_t value = 0;
  for (std::size_t i = 1; i <= digits; ++i) value = value * 10 + static_cast<std::uint32_t>(s[i] - '0');
  if (value > kMaxPri) return {};
  return {value, digits + 2};
}

int TwoDigits(std::string_view s, std::size_t at) {
  if (!IsDigit(s[at]) || !IsDigit(s[at + 1])) return -1;
  return (s[at] - '0') * 10 + (s[at + 1] - '0');
}

// "Mmm dd hh:mm:ss" with an English month, the day space-padded ("Dec  8")
// or in two digits.
bool IsBsdTime(std::string_view s) {
  static constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (s.size() < kBsdTimeBytes) return false;
  std::size_t month = kMonths.find(s.substr(0, 3));
  if (month == std::string_view::npos || month % 3 != 0) return false;
  if (s[3] != ' ' || s[6] != ' ' || s[9] != ':' || s[12] != ':') return false;
  int day = s[4] == ' ' ? (IsDigit(s[5]) ? s[5] - '0' : -1) : TwoDigits(s, 4);
  int hour = TwoDigits(s, 7);
  int minute = TwoDigits(s, 10);
  int second = TwoDigits(s, 13);
  return day >= 1 && day <= 31 && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60;
}

struct Tag {
  std::string_view name;
  std::string_view processId;
  std::size_t length = 0;  // of "TAG[PID]: "; 0: s does not start with a tag
};

Tag ParseTag(std::string_view s) {
  std::size_t at = Run(s, kSyslogMaxTagBytes, IsTagByte);
  if (at == 0 || at > kSyslogMaxTagBytes || at == s.size()) return {};
  Tag tag;
  tag.name = s.substr(0, at);
  if (s[at] == '[') {
    std::size_t digits = Run(s.substr(at + 1), kMaxProcessIdBytes, IsProcessIdByte);
    if (digits == 0 || digits > kMaxProcessIdBytes || at + 1 + digits >= s.size() || s[at + 1 + digits] != ']') {
      return {};
    }
    tag.processId = s.substr(at + 1, digits);
    at += digits + 2;
  }
  // "name:" must be followed by a blank or nothing, so that "12:30" or a
  // URL at the start of a text is not taken for a tag.
  if (at >= s.size() || s[at] != ':') return {};
  ++at;
  if (at < s.size()) {
    if (s[at] != ' ') return {};
    ++at;
  }
  tag.length = at;
  return tag;
}

bool ParseRfc3164(std::string_view rest, SyslogRecord& record) {
  bool timed = IsBsdTime(rest) && (rest.size() == kBsdTimeBytes || rest[kBsdTimeBytes] == ' ');
  if (timed) rest.remove_prefix(std::min(rest.size(), kBsdTimeBytes + 1));
  Tag tag = ParseTag(rest);
  if (tag.length == 0 && timed) {
    // A relay puts its host name between the time and the tag.
    std::size_t host = Run(rest, kMaxHostBytes, IsWordByte);
    if (host != 0 && host <= kMaxHostBytes && host < rest.size() && rest[host] == ' ') {
      Tag afterHost = ParseTag(rest.substr(host + 1));
      if (afterHost.length != 0) {
        tag = afterHost;
        rest.remove_prefix(host + 1);
      }
    }
  }
  if (!timed && tag.length == 0) return false;
  record.format = SyslogFormat::Rfc3164;
  record.tag = tag.name;
  record.processId = tag.processId;
  record.text = rest.substr(tag.length);
  return true;
}

// Takes one header field and the blank after it: "-" (empty) or 1 to
// maxBytes printable US-ASCII characters.
bool TakeField(std::string_view& s, std::size_t maxBytes, std::string_view& field) {
  std::size_t length = Run(s, maxBytes, IsPrintAscii);
  if (length == 0 || length > maxBytes || length >= s.size() || s[length] != ' ') return false;
  field = s.substr(0, length);
  if (field == "-") field = {};
  s.remove_prefix(length + 1);
  return true;
}

// "YYYY-MM-DDT" and more; the rest of the time is not checked.
bool IsRfc5424Time(std::string_view s) {
  if (s.empty()) return true;
  static constexpr std::string_view kShape = "0000-00-00T";
  if (s.size() < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == '0' ? !IsDigit(s[i]) : s[i] != kShape[i]) return false;
  }
  return true;
}

// Takes "-" or one or more "[ID PARAM="VALUE" ...]" elements.
bool TakeStructuredData(std::string_view& s) {
  if (!s.empty() && s[0] == '-') {
    s.remove_prefix(1);
    return true;
  }
  if (s.empty() || s[0] != '[') return false;
  std::size_t at = 0;
  while (at < s.size() && s[at] == '[') {
    ++at;
    std::size_t id = Run(s.substr(at), kMaxSdNameBytes, IsSdNameByte);
    if (id == 0 || id > kMaxSdNameBytes) return false;
    at += id;
    for (;;) {
      if (at >= s.size()) return false;
      if (s[at] == ']') {
        ++at;
        break;
      }
      if (s[at] != ' ') return false;
      ++at;
      std::size_t name = Run(s.substr(at), kMaxSdNameBytes, IsSdNameByte);
      if (name == 0 || name > kMaxSdNameBytes) return false;
      at += name;
      if (at + 1 >= s.size() || s[at] != '=' || s[at + 1] != '"') return false;
      at += 2;
      // The value ends at the first quote that no backslash escapes.
      while (at < s.size() && s[at] != '"') at += s[at] == '\\' ? 2 : 1;
      if (at >= s.size()) return false;
      ++at;
    }
  }
  s.remove_prefix(at);
  return true;
}

bool ParseRfc5424(std::string_view rest, SyslogRecord& record) {
  if (rest.size() < 2 || rest[0] != '1' || rest[1] != ' ') return false;
  rest.remove_prefix(2);
  std::string_view time, host, appName, processId, messageId;
  if (!TakeField(rest, kMaxTimestampBytes, time) || !IsRfc5424Time(time) || !TakeField(rest, kMaxHostBytes, host) ||
      !TakeField(rest, kSyslogMaxTagBytes, appName) || !TakeField(rest, kMaxProcessIdBytes, processId) ||
      !TakeField(rest, kMaxMessageIdBytes, messageId) || !TakeStructuredData(rest)) {
    return false;
  }
  if (!rest.empty()) {
    if (rest[0] != ' ') return false;
    rest.remove_prefix(1);
    if (rest.starts_with(kByteOrderMark)) rest.remove_prefix(kByteOrderMark.size());
  }
  record.format = SyslogFormat::Rfc5424;
  record.tag = appName;
  record.processId = processId;
  record.text = rest;
  return true;
}

std::size_t FindFrameEnd(std::string_view bytes, std::size_t from, std::size_t to) {
  while (from < to && !IsFrameEnd(bytes[from])) ++from;
  return std::min(from, to);
}

}  // namespace

SyslogRecord ParseSyslogMessage(std::string_view message) {
  message = TrimEnd(message);
  SyslogRecord record;
  record.text = message;
  Pri pri = ParsePri(message);
  if (pri.length == 0) return record;
  record.facility = pri.value / 8;
  record.severity = pri.value % 8;
  std::string_view rest = message.substr(pri.length);
  record.text = rest;
  if (!ParseRfc5424(rest, record)) ParseRfc3164(rest, record);
  return record;
}

SyslogStreamFramer::SyslogStreamFramer(std::size_t maxFrameBytes)
    : maxFrameBytes_(std::max<std::size_t>(maxFrameBytes, 1)) {}

void SyslogStreamFramer::Hold(std::string_view bytes) {
  if (bytes.empty()) return;
  std::size_t needed = heldBytes_ + bytes.size();
  if (needed > heldCapacity_) {
    // Doubling, but never past the limit: a connection holds what its
    // longest spanning frame needed, at most maxFrameBytes.
    std::size_t capacity = std::min(maxFrameBytes_, std::max({needed, 2 * heldCapacity_, kMinHeldBytes}));
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (heldBytes_ != 0) std::memcpy(grown.get(), held_.get(), heldBytes_);
    held_ = std::move(grown);
    heldCapacity_ = capacity;
  }
  std::memcpy(held_.get() + heldBytes_, bytes.data(), bytes.size());
  heldBytes_ += bytes.size();
}

SyslogStreamFramer::Frame SyslogStreamFramer::Complete(std::string_view bytes, std::size_t start, std::size_t end,
                                                       bool cut) {
  if (heldBytes_ == 0) return {bytes.substr(start, end - start), cut};
  Hold(bytes.substr(start, end - start));
  releaseHeld_ = true;
  return {std::string_view(held_.get(), heldBytes_), cut};
}

bool SyslogStreamFramer::NextFrame(std::string_view& bytes, Frame& frame) {
  if (releaseHeld_) {
    heldBytes_ = 0;
    releaseHeld_ = false;
  }
  std::size_t at = 0;
  // Where the bytes of the current frame begin in this Feed's bytes.
  std::size_t start = 0;
  // Where the digits of a length began in them; npos: in an earlier Feed.
  std::size_t lengthStart = std::string_view::npos;
  auto deliver = [&](Frame complete, std::size_t next) {
    frame = complete;
    bytes.remove_prefix(next);
    return true;
  };
  while (at < bytes.size()) {
    switch (state_) {
      case State::kStart: {
        char c = bytes[at];
        if (IsFrameEnd(c)) {
          ++at;  // an empty frame
          break;
        }
        start = at;
        if (c >= '1' && c <= '9') {
          state_ = State::kLength;
          length_ = static_cast<std::uint32_t>(c - '0');
          lengthDigits_ = 1;
          lengthStart = at++;
        } else {
          state_ = State::kLine;
        }
        break;
      }
      case State::kLength: {
        char c = bytes[at];
        if (IsDigit(c) && lengthDigits_ < kMaxLengthDigits) {
          length_ = length_ * 10 + static_cast<std::uint32_t>(c - '0');
          ++lengthDigits_;
          ++at;
          break;
        }
        if (c == ' ') {
          countedKeep_ = std::min<std::size_t>(length_, maxFrameBytes_);
          countedSkip_ = length_ - countedKeep_;
          state_ = State::kCounted;
          start = ++at;
          break;
        }
        // Not a length after all: the digits begin an LF frame.
        state_ = State::kLine;
        if (lengthStart != std::string_view::npos) {
          start = lengthStart;
          break;
        }
        start = at;
        char digits[kMaxLengthDigits];
        std::size_t count =
            static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, length_).ptr - digits);
        if (count > maxFrameBytes_) {
          Hold({digits, maxFrameBytes_});
          state_ = State::kSkipLine;
          return deliver(Complete(bytes, at, at, true), at);
        }
        Hold({digits, count});
        break;
      }
      case State::kLine: {
        // The frame may take room more bytes from start; the byte after
        // them, when it is there, must end it.
        std::size_t room = maxFrameBytes_ - heldBytes_;
        bool over = bytes.size() - start > room;
        std::size_t searchEnd = over ? start + room + 1 : bytes.size();
        std::size_t end = FindFrameEnd(bytes, at, searchEnd);
        if (end < searchEnd) {
          state_ = State::kStart;
          return deliver(Complete(bytes, start, end, false), end + 1);
        }
        if (over) {
          state_ = State::kSkipLine;
          return deliver(Complete(bytes, start, start + room, true), start + room);
        }
        Hold(bytes.substr(start));
        at = bytes.size();
        break;
      }
      case State::kCounted: {
        std::size_t available = bytes.size() - at;
        if (available < countedKeep_) {
          Hold(bytes.substr(at));
          countedKeep_ -= available;
          at = bytes.size();
          break;
        }
        std::size_t end = at + countedKeep_;
        bool cut = countedSkip_ != 0;
        state_ = cut ? State::kSkipCounted : State::kStart;
        return deliver(Complete(bytes, at, end, cut), end);
      }
      case State::kSkipCounted: {
        std::size_t skip = std::min(countedSkip_, bytes.size() - at);
        countedSkip_ -= skip;
        at += skip;
        if (countedSkip_ == 0) state_ = State::kStart;
        break;
      }
      case State::kSkipLine: {
        std::size_t end = FindFrameEnd(bytes, at, bytes.size());
        if (end < bytes.size()) state_ = State::kStart;
        at = std::min(end + 1, bytes.size());
        break;
      }
    }
  }
  bytes = {};
  return false;
}

bool SyslogStreamFramer::TakeUnfinished(Frame& frame) {
  if (releaseHeld_) {
    heldBytes_ = 0;
    releaseHeld_ = false;
  }
  State state = state_;
  state_ = State::kStart;
  bool cut = false;
  switch (state) {
    case State::kLength: {
      // Digits that the end of the stream cut before any SP: the frame as
      // the sender left it.
      char digits[kMaxLengthDigits];
      auto count = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, length_).ptr - digits);
      cut = count > maxFrameBytes_;
      Hold({digits, std::min(count, maxFrameBytes_)});
      break;
    }
    case State::kLine:
      break;
    case State::kCounted:
      cut = true;
      break;
    default:
      heldBytes_ = 0;
      return false;
  }
  if (heldBytes_ == 0) return false;
  releaseHeld_ = true;
  frame = {std::string_view(held_.get(), heldBytes_), cut};
  return true;
}

}  // namespace wl
