// Facts and plain operations for the benchmarks (never used by the product):
// the process's peak memory, the load average, an append-only file that takes
// each buffer with exactly one system write and no conversion, as the
// yardstick for the writer's rate, a log file read line by line as it grows,
// and the figures as CSV for bench/plot. The benchmarks are built for Linux
// only, so only the POSIX layer implements these.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace wl::bench {

// The peak resident memory of this process in bytes; -1 when unknown.
std::int64_t PeakResidentBytes();

// Starts a new peak at the current resident size; false when the system
// cannot.
bool ResetPeakResidentBytes();

// Opens (creating, truncating) a file for appending; -1 on failure.
int OpenRawAppendFile(std::wstring_view path);
// One system write of the bytes; false when it fails or writes less.
bool WriteRaw(int handle, std::string_view bytes);
void CloseRaw(int handle);
// Flushes the file's data (and the size needed to read it back) to the disk,
// as the log files' commit does; false when it fails.
bool FlushRaw(int handle);

// Reads a log file while it grows, line by line, and follows it across the
// service's rotation: B.log is renamed to B_old.log (the older generations
// shift to B_older.log and B_oldest.log) and a new B.log starts. Each line
// is seen once, without its CR LF; a line still being written is held back
// until its line feed arrives. A file that was rotated more than once
// between two polls is caught up from the generations it passed, as long
// as it is still among them.
class FollowedFile {
 public:
  using OnLine = std::function<void(std::string_view line)>;
  FollowedFile(std::filesystem::path path, OnLine onLine);
  ~FollowedFile();
  FollowedFile(const FollowedFile&) = delete;
  FollowedFile& operator=(const FollowedFile&) = delete;

  // Reads what was added since the last call (nothing while the file does
  // not exist yet). Returns the number of lines it handed on.
  std::size_t Poll();

 private:
  std::size_t ReadToEnd();
  std::size_t ReadWhole(const std::filesystem::path& path);
  std::size_t Take(std::string_view bytes);

  std::filesystem::path path_;
  OnLine onLine_;
  int handle_ = -1;
  std::uint64_t inode_ = 0;
  std::string partial_;
};

// The three load averages of /proc/loadavg ("0.42 0.61 0.70"); empty when
// unknown.
std::string LoadAverage();

// The figures of one run as CSV, one row per figure, for bench/plot:
//   chart,figure,unit,value,yardstick,yardstick_value
// A chart groups figures of one unit; the yardstick is what the figure is
// held against (a raw ceiling, another program, or a goal), empty when it
// stands alone. Lines starting with # say what was run and under which load.
// Texts must not hold commas or quotes.
class CsvFigures {
 public:
  // Takes "--csv FILE" out of the arguments, so that the others keep their
  // places; without it the object writes nothing.
  CsvFigures(int& argc, char** argv);
  ~CsvFigures();
  CsvFigures(const CsvFigures&) = delete;
  CsvFigures& operator=(const CsvFigures&) = delete;

  void Note(std::string_view text);
  void Add(std::string_view chart, std::string_view figure, std::string_view unit, double value,
           std::string_view yardstick = {}, double yardstickValue = 0);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace wl::bench
