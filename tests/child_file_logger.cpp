// Child commands of the FileLogger tests. Each returns normally, so the
// process ends in an orderly way and its singletons are destroyed at exit.
#include <string>
#include <vector>

#include "diagnostics/format.h"
#include "logclient/file_logger.h"
#include "tests/library_test_support.h"

namespace wl::test {
namespace {

// "file-logger-lines TAG COUNT": COUNT lines "TAG nnnnn <filler>" through the
// process's FileLogger with file output on.
int FileLoggerLines(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 2) return 2;
  const std::wstring& tag = arguments[0];
  int count = std::stoi(arguments[1]);
  SetFileOutput(true);
  for (int i = 0; i < count; ++i) FileLog(Format(L"{} {:05} {}\n", tag, i, kFileLoggerFiller));
  return 0;
}

const ChildCommand fileLoggerLines(L"file-logger-lines", FileLoggerLines);

}  // namespace
}  // namespace wl::test
