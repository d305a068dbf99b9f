// Flushes log files to the disk on a thread of its own. The size check of a
// file asks for a flush of its data every 500 writes; waiting for the device
// there would hold the writer thread for milliseconds each time and cut its
// rate several times over, while the lines are already safe from a crash of
// the service once written. The committer takes the flush off the writer:
// a request returns at once, and the file is flushed soon after.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace wl {

class LogFileInfo;

class FileCommitter {
 public:
  // Starts the thread; throws std::system_error when it cannot.
  FileCommitter();
  // Flushes what is still requested, then ends the thread.
  ~FileCommitter();
  FileCommitter(const FileCommitter&) = delete;
  FileCommitter& operator=(const FileCommitter&) = delete;

  // Asks for a flush of the record's open file; a record already waiting is
  // not queued twice. The record must outlive the committer. Any thread.
  void Request(LogFileInfo* record);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<LogFileInfo*> pending_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace wl
