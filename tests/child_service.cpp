// Child commands of the log service tests.
#include <filesystem>
#include <string>
#include <vector>

#include "diagnostics/singleton.h"
#include "logclient/file_logger.h"
#include "platform/system.h"
#include "platform/text_file.h"
#include "service/trace_log_manager.h"
#include "tests/test_support.h"

namespace wl::test {
namespace {

// hold-file PATH READY RELEASE: holds PATH open for writing with deny-write
// sharing, as another program that keeps a log file open would, creates
// READY, and lets go once RELEASE exists (or after a minute).
int HoldFile(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3) return 2;
  int descriptor = -1;
  if (platform::OpenFile(&descriptor, arguments[0], platform::kOWronly | platform::kOCreat | platform::kOBinary,
                         platform::kShDenyWr, platform::kSIRead | platform::kSIWrite) != 0) {
    return 3;
  }
  WriteFileBytes(std::filesystem::path(arguments[1]), {});
  for (int i = 0; i < 12000 && !std::filesystem::exists(std::filesystem::path(arguments[2])); ++i) {
    platform::SleepMilliseconds(5);
  }
  int error = 0;
  platform::CloseFile(descriptor, &error);
  return 0;
}

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

ChildCommand holdFile(L"hold-file", HoldFile);
ChildCommand writePastSizeLimit(L"write-past-size-limit", WritePastSizeLimit);

}  // namespace
}  // namespace wl::test
