// Child commands of the log service tests.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diagnostics/format.h"
#include "diagnostics/singleton.h"
#include "logclient/file_logger.h"
#include "diagnostics/path_data.h"
#include "platform/text_file.h"
#include "service/trace_log_manager.h"
#include "tests/test_support.h"

namespace wl::test {
namespace {

// Writes out the FileLogger's queue (by ending the singletons) and switches
// file output on again for the next one.
void FlushFileLogger() {
  LifetimeTracker::Instance().DestroyAll();
  SetFileOutput(true);
}

// Logs "after" through the service writer and the fallback file once the
// condition that made writes fail is gone, and stops both.
void LogAfterAndStop(TraceLogManager& manager) {
  (void)manager.QueueMessage(1, 1, L"after");
  FileLog(L"after\n");
  manager.WaitUntilWritten();
  manager.FinalRelease();
  FlushFileLogger();
}

// write-on-full-volume: the machine root lies on a small file system. Logs
// one line through the service writer and the fallback file, fills the file
// system, logs long lines that fail part-way, frees the space and logs
// "after" through both. Exits with 3 when the file system could not be
// filled.
int WriteOnFullVolume(const std::vector<std::wstring>&) {
  SetFileOutput(true);
  TraceLogManager manager;
  if (manager.FinalConstruct() != kSOk) return 4;
  (void)manager.QueueMessage(1, 1, L"before");
  FileLog(L"before\n");
  manager.WaitUntilWritten();
  FlushFileLogger();

  std::filesystem::path filler = std::filesystem::path(GetDataFolder()) / L"filler.bin";
  {
    std::ofstream out(filler, std::ios::binary);
    const std::string chunk(4096, 'f');
    for (std::size_t size : {std::size_t{4096}, std::size_t{512}, std::size_t{1}}) {
      while (out.write(chunk.data(), static_cast<std::streamsize>(size)) && out.flush()) {
      }
      out.clear();
    }
  }
  std::error_code error;
  if (std::filesystem::file_size(filler, error) == 0) return 3;
  std::wstring longText(10'000, L'L');
  for (int i = 0; i < 5; ++i) {
    (void)manager.QueueMessage(1, 1, longText);
    FileLog(longText + L"\n");
  }
  manager.WaitUntilWritten();
  FlushFileLogger();
  std::filesystem::remove(filler, error);
  LogAfterAndStop(manager);
  return 0;
}

ChildCommand writeOnFullVolume(L"write-on-full-volume", WriteOnFullVolume);

}  // namespace
}  // namespace wl::test
