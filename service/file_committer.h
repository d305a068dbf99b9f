// Flushes log files to the disk on a thread of its own. The size check of a
// file asks for a flush of its data every 500 writes; waiting for the device
// there would hold the writer thread for milliseconds each time and cut its
// rate several times over, while the lines are already safe from a crash of
// the service once written. The committer takes the flush off the writer:
// a request returns at once, and the file is flushed soon after.
#pragma once

#include <vector>

#include "diagnostics/background_worker.h"

namespace wl {

class LogFileInfo;

class FileCommitter {
 public:
  // Starts the thread; throws std::system_error when it cannot.
  FileCommitter();
  // Flushes what is still requested, then ends the thread.
  ~FileCommitter() = default;
  FileCommitter(const FileCommitter&) = delete;
  FileCommitter& operator=(const FileCommitter&) = delete;

  // Asks for a flush of the record's open file; a record already waiting is
  // not queued twice. The record must outlive the committer. Any thread.
  void Request(LogFileInfo* record);

 private:
  // The flush is background work: its wake-ups (one per finished step of a
  // flush) must not take the processor from the writer thread.
  BackgroundWorker<std::vector<LogFileInfo*>> worker_;
};

}  // namespace wl
