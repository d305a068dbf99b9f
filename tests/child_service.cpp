// Child commands of the log service tests.
#include <string>
#include <vector>

#include "diagnostics/singleton.h"
#include "logclient/file_logger.h"
#include "platform/text_file.h"
#include "service/trace_log_manager.h"
#include "tests/test_support.h"

namespace wl::test {
namespace {

// write-past-size-limit: logs under a process file-size limit of 4096 bytes
// until writes fail, resets the logs and logs once more. Exits with 77 where
// the system has no such limit.
int WritePastSizeLimit(const std::vector<std::wstring>&) {
  if (!platform::SetFileSizeLimit(4096)) return 77;
  SetFileOutput(true);
  {
    TraceLogManager manager;
    manager.FinalConstruct();
    for (int i = 0; i < 45; ++i) {
      manager.QueueMessage(1, 1, L"a line of fifty characters, give or take a few...");
    }
    manager.WaitUntilWritten();
    manager.ResetLogs();
    manager.QueueMessage(1, 1, L"after reset");
    manager.WaitUntilWritten();
    manager.FinalRelease();
  }
  // Lets the FileLogger write out the diagnostic lines before the exit.
  LifetimeTracker::Instance().DestroyAll();
  return 0;
}

ChildCommand writePastSizeLimit(L"write-past-size-limit", WritePastSizeLimit);

}  // namespace
}  // namespace wl::test
