// The messages of syslog_bench: numbered texts, sent as syslog(3) formats
// them for /dev/log, and found again in a receiver's file.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace wl::bench {

// The text of message `number`: "bench NUMBER " and x up to `size` bytes
// (longer when the number does not fit).
std::string MessageText(long number, std::size_t size);

// The number of a line (of any receiver's file) that holds a message's
// text; -1 for any other line.
long MessageNumber(std::string_view line);

// Messages as syslog(3) sends them to /dev/log after openlog(tag, LOG_PID,
// LOG_USER), for syslog(LOG_INFO, ...): "<14>", the local time as
// "%h %e %T ", "TAG[PID]: ", the text, no line end. Each message has the
// given size. The time is formatted again only when its second changes.
class SyslogFormatter {
 public:
  SyslogFormatter(std::string_view tag, long processId, std::size_t size);
  // The message with the text of `number`, sent at `now`; valid until the
  // next call.
  const std::string& Format(long number, std::time_t now);
  // The size of the texts, after the header.
  [[nodiscard]] std::size_t TextSize(std::time_t now);

 private:
  std::string tag_;
  std::size_t size_;
  std::time_t second_ = -1;
  std::string stamp_;
  std::size_t header_ = 0;
  std::string message_;
};

}  // namespace wl::bench
