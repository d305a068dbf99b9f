#include "service/syslog_message.h"

#include <array>

#include "platform/text.h"
#include "platform/wall_clock.h"

namespace wl {
namespace {

// "Lookout     +W " before the text of a line, and the 32 characters of the
// service's stamp ("12/04 10:34:55.123", twelve blanks, ": ").
constexpr std::size_t kLineHeadBytes = kSourceNameWidth + 3;
constexpr std::size_t kServiceStampBytes = 32;

// A client text begins with "MM/DD hh:mm:ss.mmm ppppp-ttttt: ".
constexpr std::size_t kClientStampTimeBytes = 18;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

struct ClientStamp {
  std::string_view process;
  std::string_view thread;
  std::size_t length = 0;  // 0: the text has no client stamp
};

ClientStamp ParseClientStamp(std::string_view text) {
  static constexpr std::string_view kShape = "00/00 00:00:00.000 ";
  ClientStamp stamp;
  if (text.size() < kShape.size()) return stamp;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == '0' ? !IsDigit(text[i]) : text[i] != kShape[i]) return stamp;
  }
  std::size_t at = kClientStampTimeBytes + 1;
  std::size_t processStart = at;
  while (at < text.size() && IsHexDigit(text[at])) ++at;
  if (at == processStart || at >= text.size() || text[at] != '-') return stamp;
  std::size_t threadStart = ++at;
  while (at < text.size() && IsHexDigit(text[at])) ++at;
  if (at == threadStart || at + 1 >= text.size() || text[at] != ':' || text[at + 1] != ' ') return stamp;
  stamp.process = text.substr(processStart, threadStart - 1 - processStart);
  stamp.thread = text.substr(threadStart, at - threadStart);
  stamp.length = at + 2;
  return stamp;
}

// A header field: printable US-ASCII without blanks, at most maxLength, "-"
// when empty.
void AppendHeaderField(std::string& out, std::string_view value, std::size_t maxLength) {
  if (value.empty()) {
    out.push_back('-');
    return;
  }
  std::size_t count = 0;
  for (char c : value) {
    if (count++ == maxLength) break;
    auto code = static_cast<unsigned char>(c);
    out.push_back(code > 32 && code < 127 ? c : '_');
  }
}

void AppendTimestamp(std::string& out, std::int64_t microseconds) {
  platform::CivilTime time = platform::LocalCivilTime(microseconds);
  platform::AppendDecimal(out, static_cast<std::uint64_t>(time.year), 4);
  out.push_back('-');
  platform::AppendDecimal(out, static_cast<std::uint64_t>(time.month), 2);
  out.push_back('-');
  platform::AppendDecimal(out, static_cast<std::uint64_t>(time.day), 2);
  out.push_back('T');
  platform::AppendDecimal(out, static_cast<std::uint64_t>(time.hour), 2);
  out.push_back(':');
  platform::AppendDecimal(out, static_cast<std::uint64_t>(time.minute), 2);
  out.push_back(':');
  platform::AppendDecimal(out, static_cast<std::uint64_t>(time.second), 2);
  out.push_back('.');
  platform::AppendDecimal(out, static_cast<std::uint64_t>(time.microsecond), 6);
  int offset = time.offsetMinutes;
  out.push_back(offset < 0 ? '-' : '+');
  if (offset < 0) offset = -offset;
  platform::AppendDecimal(out, static_cast<std::uint64_t>(offset / 60), 2);
  out.push_back(':');
  platform::AppendDecimal(out, static_cast<std::uint64_t>(offset % 60), 2);
}

// At most `bytes` of text, never ending inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return text.substr(0, bytes);
}

}  // namespace

std::uint32_t SyslogSeverity(LevelNumber level) {
  static constexpr std::array<std::uint32_t, kLevelCount> kSeverity{5, 2, 3, 4, 6, 7, 7};
  return level < kLevelCount ? kSeverity[level] : 7;
}

void AppendSyslogMessage(std::string& out, const SyslogInput& input, std::string_view hostName) {
  std::size_t start = out.size();
  out.push_back('<');
  platform::AppendDecimal(out, (input.facility & 31u) * 8 + SyslogSeverity(input.level));
  out.append(">1 ");
  AppendTimestamp(out, input.acceptedMicroseconds);
  out.push_back(' ');
  AppendHeaderField(out, hostName, 255);
  out.push_back(' ');
  AppendHeaderField(out, platform::Utf8FromWide(LookupSourceName(input.source)), 48);
  out.push_back(' ');
  ClientStamp stamp = ParseClientStamp(input.text);
  AppendHeaderField(out, stamp.process, 128);
  out.push_back(' ');
  AppendHeaderField(out, platform::Utf8FromWide(LogFileBaseName(FileIndexForSource(input.source))), 32);
  out.append(" [");
  out.append(kSyslogSdId);
  out.append(" source=\"");
  platform::AppendDecimal(out, input.source);
  out.append("\" level=\"");
  platform::AppendDecimal(out, input.level);
  out.push_back('"');
  if (!stamp.thread.empty()) {
    out.append(" thread=\"");
    out.append(stamp.thread);
    out.push_back('"');
  }
  static constexpr std::string_view kBeforeText = "] \xEF\xBB\xBF";
  std::string_view text = input.text.substr(stamp.length);
  std::size_t whole = out.size() - start + kBeforeText.size() + text.size();
  if (input.maxBytes != 0 && whole > input.maxBytes) {
    out.append(" cut=\"");
    platform::AppendDecimal(out, whole);
    out.push_back('"');
    out.append(kBeforeText);
    std::size_t used = out.size() - start;
    std::size_t room = used < input.maxBytes ? input.maxBytes - used : 0;
    text = CutUtf8(text, room);
  } else {
    out.append(kBeforeText);
  }
  out.append(text);
}

void AppendOctetCountedFrame(std::string& out, std::string_view message) {
  platform::AppendDecimal(out, message.size());
  out.push_back(' ');
  out.append(message);
}

std::string TextOfLogLine(std::string_view line, bool serviceStamped) {
  std::size_t start = kLineHeadBytes + (serviceStamped ? kServiceStampBytes : 0);
  if (line.size() < start + 2) return {};
  std::string_view body = line.substr(start, line.size() - start - 2);
  std::string text;
  text.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
    text.push_back(body[i]);
  }
  return text;
}

}  // namespace wl
