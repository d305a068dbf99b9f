#include "service/file_committer.h"

#include <algorithm>

#include "service/log_file_info.h"

namespace wl {

FileCommitter::FileCommitter()
    : worker_(
          [](std::vector<LogFileInfo*>& batch) {
            for (LogFileInfo* record : batch) record->Commit();
            batch.clear();
          },
          {.stopMode = StopMode::Drain, .background = true}) {
  worker_.Start();
}

void FileCommitter::Request(LogFileInfo* record) {
  worker_.Post([record](std::vector<LogFileInfo*>& pending) {
    if (std::find(pending.begin(), pending.end(), record) == pending.end()) pending.push_back(record);
  });
}

}  // namespace wl
