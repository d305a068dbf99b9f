#include "service/file_committer.h"

#include <algorithm>

#include "platform/system.h"
#include "service/log_file_info.h"

namespace wl {

FileCommitter::FileCommitter() : thread_(&FileCommitter::Run, this) {}

FileCommitter::~FileCommitter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  thread_.join();
}

void FileCommitter::Request(LogFileInfo* record) {
  {
    std::lock_guard lock(mutex_);
    if (std::find(pending_.begin(), pending_.end(), record) != pending_.end()) return;
    pending_.push_back(record);
  }
  ready_.notify_one();
}

void FileCommitter::Run() {
  // The flush is background work: its wake-ups (one per finished step of a
  // flush) must not take the processor from the writer thread.
  platform::SetCurrentThreadBackground();
  std::vector<LogFileInfo*> batch;
  std::unique_lock lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return !pending_.empty() || stopping_; });
    if (pending_.empty()) return;
    batch.swap(pending_);
    lock.unlock();
    for (LogFileInfo* record : batch) record->Commit();
    batch.clear();
    lock.lock();
  }
}

}  // namespace wl
