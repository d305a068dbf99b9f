// Child commands of the platform tests.
#include <string>

#include "platform/text.h"
#include "platform/text_file.h"
#include "tests/test_support.h"

namespace wl::test {
namespace {

using namespace wl::platform;

constexpr int kAppendUtf8 = kOWronly | kOAppend | kOCreat | kOText | kOU8Text;

// exit-with CODE: ends with that exit code.
int ExitWith(const std::vector<std::wstring>& arguments) {
  return arguments.empty() ? 2 : std::stoi(arguments[0]);
}

// hold-file PATH READY RELEASE: opens PATH as the log service does (appending
// UTF-8 text, denying writers), writes one line, creates READY and keeps the
// file open until RELEASE exists. Exit code 0, or 100 + the open's error
// number, or 1 when RELEASE never came.
int HoldFile(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3) return 2;
  int descriptor = -1;
  int opened = OpenFile(&descriptor, arguments[0], kAppendUtf8, kShDenyWr, kSIRead | kSIWrite);
  if (opened != 0) return 100 + opened;
  int error = 0;
  WriteText(descriptor, L"held\n", &error);
  WriteFileBytes(arguments[1], {});
  bool released = WaitForPath(arguments[2]);
  CloseFile(descriptor, &error);
  return released ? 0 : 1;
}

// write-past-limit PATH: limits file sizes to 4096 bytes and writes 8000
// characters into a new file. Exit code: the write's error number (0 when it
// succeeded), or 200 when the system has no such limit.
int WritePastLimit(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 1 || !SetFileSizeLimit(4096)) return 200;
  int descriptor = -1;
  if (OpenFile(&descriptor, arguments[0], kAppendUtf8, kShDenyWr, kSIRead | kSIWrite) != 0) return 201;
  int writeError = 0;
  int written = WriteText(descriptor, std::wstring(8000, L'x'), &writeError);
  int closeError = 0;
  CloseFile(descriptor, &closeError);
  return written < 0 ? writeError : 0;
}

ChildCommand exitWith(L"exit-with", ExitWith);
ChildCommand holdFile(L"hold-file", HoldFile);
ChildCommand writePastLimit(L"write-past-limit", WritePastLimit);

}  // namespace
}  // namespace wl::test
