#include "bench/measure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

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

FollowedFile::FollowedFile(std::filesystem::path path, OnLine onLine)
    : path_(std::move(path)), onLine_(std::move(onLine)) {}

FollowedFile::~FollowedFile() {
  if (handle_ >= 0) ::close(handle_);
}

std::size_t FollowedFile::Poll() {
  auto open = [this] {
    handle_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    inode_ = handle_ >= 0 && ::fstat(handle_, &info) == 0 ? info.st_ino : 0;
    return handle_ >= 0;
  };
  if (handle_ < 0 && !open()) return 0;
  std::size_t lines = ReadToEnd();
  struct stat now {};
  if (::stat(path_.c_str(), &now) == 0 && now.st_ino == inode_) return lines;
  // The name holds another file, or none: what the followed file got after
  // the read above, then the whole generations that were rotated past it
  // since, then the new file.
  lines += ReadToEnd();
  if (!partial_.empty()) lines += Take("\n");
  static constexpr const char* kGenerations[] = {"_old", "_older", "_oldest"};
  std::vector<std::filesystem::path> passed;
  for (const char* generation : kGenerations) {
    std::filesystem::path candidate =
        path_.parent_path() / (path_.stem().string() + generation + path_.extension().string());
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && info.st_ino == inode_) {
      for (const auto& whole : passed) lines += ReadWhole(whole);
      break;
    }
    passed.push_back(candidate);
  }
  ::close(handle_);
  handle_ = -1;
  if (open()) lines += ReadToEnd();
  return lines;
}

std::size_t FollowedFile::ReadToEnd() {
  std::size_t lines = 0;
  char buffer[1 << 16];
  for (;;) {
    ssize_t got = ::read(handle_, buffer, sizeof buffer);
    if (got <= 0) return lines;
    lines += Take({buffer, static_cast<std::size_t>(got)});
  }
}

std::size_t FollowedFile::ReadWhole(const std::filesystem::path& path) {
  int followed = handle_;
  handle_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::size_t lines = 0;
  if (handle_ >= 0) {
    lines = ReadToEnd();
    if (!partial_.empty()) lines += Take("\n");
    ::close(handle_);
  }
  handle_ = followed;
  return lines;
}

std::size_t FollowedFile::Take(std::string_view bytes) {
  std::size_t lines = 0;
  for (std::size_t end; (end = bytes.find('\n')) != std::string_view::npos; bytes.remove_prefix(end + 1)) {
    std::string_view line = bytes.substr(0, end);
    if (!partial_.empty()) {
      partial_.append(line);
      line = partial_;
    }
    if (line.ends_with('\r')) line.remove_suffix(1);
    onLine_(line);
    partial_.clear();
    ++lines;
  }
  partial_.append(bytes);
  return lines;
}

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
