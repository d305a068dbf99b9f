#include "bench/syslog_message.h"

#include <time.h>

#include <cctype>

namespace wl::bench {

std::string MessageText(long number, std::size_t size) {
  std::string text = "bench " + std::to_string(number) + " ";
  if (text.size() < size) text.append(size - text.size(), 'x');
  return text;
}

long MessageNumber(std::string_view line) {
  constexpr std::string_view kMarker = "bench ";
  for (std::size_t at = line.find(kMarker); at != std::string_view::npos; at = line.find(kMarker, at + 1)) {
    // The marker starts a word, and is followed by digits, a blank and x.
    if (at > 0 && (std::isalnum(static_cast<unsigned char>(line[at - 1])) || line[at - 1] == '_')) continue;
    std::size_t digits = at + kMarker.size(), end = digits;
    while (end < line.size() && end - digits < 12 && line[end] >= '0' && line[end] <= '9') ++end;
    if (end == digits || end + 1 >= line.size() || line[end] != ' ' || line[end + 1] != 'x') continue;
    return std::stol(std::string(line.substr(digits, end - digits)));
  }
  return -1;
}

SyslogFormatter::SyslogFormatter(std::string_view tag, long processId, std::size_t size)
    : tag_(std::string(tag) + "[" + std::to_string(processId) + "]: "), size_(size) {}

const std::string& SyslogFormatter::Format(long number, std::time_t now) {
  if (now != second_) {
    second_ = now;
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    stamp_.assign(stamp, std::strftime(stamp, sizeof stamp, "%h %e %T ", &local));
  }
  message_.assign("<14>").append(stamp_).append(tag_);
  header_ = message_.size();
  message_ += MessageText(number, size_ > header_ ? size_ - header_ : 0);
  return message_;
}

std::size_t SyslogFormatter::TextSize(std::time_t now) {
  (void)Format(0, now);
  return size_ > header_ ? size_ - header_ : 0;
}

}  // namespace wl::bench
