// Fuzzes the syslog intake's parsing: the bytes as one datagram
// (ParseSyslogMessage) and as the stream of one connection
// (SyslogStreamFramer with a frame limit taken from the first byte).
// Besides crashes and undefined behaviour it checks that every view of a
// record lies inside the message and its text runs to the message's end
// without a trailing LF, CR or NUL; that the stream gives the same frames
// fed whole, one byte at a time and split at a few points; that frames fed
// whole are views of the bytes; and that no frame and no held remainder is
// longer than the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/syslog_parser.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool Inside(std::string_view view, std::string_view whole) {
  return view.empty() || (view.data() >= whole.data() && view.data() + view.size() <= whole.data() + whole.size());
}

void CheckRecord(std::string_view message) {
  wl::SyslogRecord record = wl::ParseSyslogMessage(message);
  Check(record.facility <= 23 && record.severity <= 7);
  Check(Inside(record.tag, message) && Inside(record.processId, message) && Inside(record.text, message));
  Check(record.tag.size() <= wl::kSyslogMaxTagBytes);
  std::string_view trimmed = message;
  while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r' || trimmed.back() == '\0')) {
    trimmed.remove_suffix(1);
  }
  Check(record.text.size() <= trimmed.size() &&
        (record.text.empty() || record.text.data() + record.text.size() == trimmed.data() + trimmed.size()));
  if (record.format == wl::SyslogFormat::Unparsed && !message.starts_with('<')) Check(record.text == trimmed);
}

using Frames = std::vector<std::pair<std::string, bool>>;

// The frames of the stream fed in pieces that end at the given offsets.
Frames Split(std::string_view stream, std::size_t maxFrameBytes, const std::vector<std::size_t>& ends,
             bool checkViews) {
  wl::SyslogStreamFramer framer(maxFrameBytes);
  Frames frames;
  auto keep = [&](std::string_view frame, bool cut) {
    Check(!frame.empty() && frame.size() <= maxFrameBytes);
    frames.emplace_back(frame, cut);
  };
  std::size_t start = 0;
  for (std::size_t end : ends) {
    std::string_view piece = stream.substr(start, end - start);
    framer.Feed(piece, [&](std::string_view frame, bool cut) {
      if (checkViews) Check(Inside(frame, piece));
      if (cut) Check(frame.size() == maxFrameBytes);
      keep(frame, cut);
    });
    Check(framer.HeldBytes() <= maxFrameBytes);
    start = end;
  }
  framer.Finish(keep);
  Check(framer.HeldBytes() == 0);
  return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckRecord(bytes);
  if (bytes.empty()) return 0;

  // 1 to 64 bytes, times 1, 8, 64 or 512: small limits cut often, large
  // ones make the held bytes grow several times.
  auto first = static_cast<unsigned char>(bytes[0]);
  std::size_t maxFrameBytes = std::size_t{1u + first % 64u} << (first / 64u * 3u);
  std::string_view stream = bytes.substr(1);
  Frames whole = Split(stream, maxFrameBytes, {stream.size()}, true);
  for (const auto& frame : whole) CheckRecord(frame.first);

  std::vector<std::size_t> everyByte;
  for (std::size_t end = 1; end <= stream.size(); ++end) everyByte.push_back(end);
  Check(Split(stream, maxFrameBytes, everyByte, false) == whole);

  std::vector<std::size_t> points;
  for (std::size_t divisor : {7, 3, 2}) points.push_back(stream.size() / divisor);
  points.push_back(stream.size());
  Check(Split(stream, maxFrameBytes, points, false) == whole);
  return 0;
}
