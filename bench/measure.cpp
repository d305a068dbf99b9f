#include "bench/measure.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/text.h"

namespace wl::bench {

std::int64_t PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stoll(line.substr(6)) * 1024;  // in kB
  }
  return -1;
}

bool ResetPeakResidentBytes() {
  // Writing 5 to clear_refs resets the peak (VmHWM) to the current size.
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

int OpenRawAppendFile(std::wstring_view path) {
  return ::open(platform::Utf8FromWide(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

bool WriteRaw(int handle, std::string_view bytes) {
  return ::write(handle, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void CloseRaw(int handle) { ::close(handle); }

bool FlushRaw(int handle) { return ::fdatasync(handle) == 0; }

}  // namespace wl::bench
