// The daily fallback file: finished diagnostic lines appended, under the
// cross-process mutex "TesselFileLogger", to
// <folder>/<program>_YYYY-MM-DD.log, in the data folder for the system
// account and in the user's own for anyone else (GetOwnFilesFolder), so
// that no user writes where the service does (UTF-8 with a byte-order mark, CR LF
// line ends), each run framed by "Begin Log - <module>" and "End Log -
// <module>". Callers only queue; one writer thread per process writes. Lines
// reach the file only while file output is switched on; it starts off unless
// the registry value CurrentInstall\FileOutput is non-zero.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "diagnostics/background_worker.h"
#include "platform/named_mutex.h"

namespace wl {

// Held by Singleton<FileLogger>; use FileLog and SetFileOutput.
class FileLogger {
 public:
  // Opens the named mutex, takes the data folder and the module name, reads
  // the FileOutput switch. Writes nothing and starts no thread.
  FileLogger();
  // Queues the end marker (when the writer was started), lets the writer
  // write everything queued, and joins it.
  virtual ~FileLogger();
  FileLogger(const FileLogger&) = delete;
  FileLogger& operator=(const FileLogger&) = delete;

  // Copies a finished line into the queue; the first call starts the writer
  // after queuing the run's begin marker. Never blocks on the disk, never
  // fails visibly. Any thread.
  void Log(std::wstring_view line);

  // Switches writing to the file on or off; while off, the writer drops the
  // lines it takes. Any thread.
  void SetFileOutput(bool on) { fileOutput_.store(on); }
  [[nodiscard]] bool FileOutput() const { return fileOutput_.load(); }

 private:
  void Start();
  void Enqueue(std::wstring line);
  // Moves to the file of the current local day. Before the writer runs the
  // markers are queued; in the writer they are written at once, so that the
  // previous day's file still gets its end marker.
  void CheckDay(bool inWriter);
  void WriteLine(const std::wstring& line);
  // Opens, writes and closes the file; reports an open failure on the debug
  // output. Returns false when the file could not be opened.
  bool AppendToFile(const std::wstring& path, std::wstring_view text);

  std::wstring folder_;
  std::wstring filePath_;
  std::wstring baseName_;
  std::wstring moduleName_;
  std::uint16_t day_ = 0;
  // The current file got a line from this run, so it is owed an end marker.
  bool wroteCurrentFile_ = false;
  bool started_ = false;
  std::once_flag startOnce_;
  std::atomic<bool> fileOutput_{false};
  std::unique_ptr<platform::NamedMutex> fileMutex_;
  // Writes everything queued before it is stopped.
  BackgroundWorker<std::deque<std::wstring>> writer_{[this](std::deque<std::wstring>& batch) {
                                                       for (const std::wstring& line : batch) WriteLine(line);
                                                       batch.clear();
                                                     },
                                                     {.stopMode = StopMode::Drain}};
};

// Queues one finished line for the process's FileLogger; dropped when the
// singleton is gone. Any thread.
void FileLog(std::wstring_view line);

// Makes the process's FileLogger now. A thread that asks for it while
// another creates it gets none and its line is lost, so a server makes it
// before its threads begin to report. Writes nothing.
void MakeFileLogger();

// The file-output switch of the process's FileLogger (created if needed).
void SetFileOutput(bool on);

}  // namespace wl
