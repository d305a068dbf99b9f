#include "bench/measure.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
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

std::string LoadAverage() {
  std::string text;
  std::getline(std::ifstream("/proc/loadavg"), text);
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

CsvFigures::CsvFigures(int& argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) != "--csv") continue;
    file_ = std::fopen(argv[i + 1], "w");
    if (file_ == nullptr) {
      std::perror(argv[i + 1]);
      std::exit(2);
    }
    for (int j = i; j + 2 < argc; ++j) argv[j] = argv[j + 2];
    argc -= 2;
    std::fprintf(file_, "chart,figure,unit,value,yardstick,yardstick_value\n");
    char date[32] = "";
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    Note(std::string("run at ") + date + "; load average before: " + LoadAverage());
    return;
  }
}

CsvFigures::~CsvFigures() {
  if (file_ == nullptr) return;
  Note("load average after: " + LoadAverage());
  std::fclose(file_);
}

void CsvFigures::Note(std::string_view text) {
  if (file_ != nullptr) std::fprintf(file_, "# %.*s\n", static_cast<int>(text.size()), text.data());
}

void CsvFigures::Add(std::string_view chart, std::string_view figure, std::string_view unit, double value,
                     std::string_view yardstick, double yardstickValue) {
  if (file_ == nullptr) return;
  std::fprintf(file_, "%.*s,%.*s,%.*s,%.10g,%.*s,", static_cast<int>(chart.size()), chart.data(),
               static_cast<int>(figure.size()), figure.data(), static_cast<int>(unit.size()), unit.data(), value,
               static_cast<int>(yardstick.size()), yardstick.data());
  if (!yardstick.empty()) std::fprintf(file_, "%.10g", yardstickValue);
  std::fprintf(file_, "\n");
}

}  // namespace wl::bench
