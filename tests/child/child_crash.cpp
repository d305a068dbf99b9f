// Commands of the child program that the crash-handling tests start. Each
// ends the process with a fault; the exit code 99 says the fault did not.
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crash/crash.h"
#include "diagnostics/crash_handler.h"
#include "diagnostics/write_log.h"
#include "logclient/logger.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "tests/support/test_support.h"

namespace wl::test {
namespace {

// Not the undefined-behaviour sanitizer's to report: the fault is the point.
[[gnu::noinline]] __attribute__((no_sanitize("undefined"))) void CrashByNullWrite() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

volatile bool keepRecursing = true;

[[gnu::noinline]] int OverflowTheStack(int depth) {
  if (!keepRecursing) return 0;
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return OverflowTheStack(depth + 1) + frame[0];
}

// crash KIND HANDLERS [linked]: KIND is null-write, null-write-threads (with
// three more threads), abort, stack-overflow,
// invalid-parameter (a close of a descriptor that is not open),
// invalid-parameter-texts, invalid-parameter-null (the handler called as a
// runtime would) or raise (RaiseException(0xE0000001)); HANDLERS "on"
// installs the crash handlers first; "linked" has the process's Logger
// reach the log service first (with a line of its own), so that the
// reports of the handlers go out in the time they leave.
int Crash(const std::vector<std::wstring>& arguments) {
  if (arguments.size() < 2) return 2;
  const std::wstring& kind = arguments[0];
  if (arguments.size() > 2 && arguments[2] == L"linked") {
    WriteLog(kDefaultLogSource, kLevelGlobal, L"crash child linked");
    if (auto logger = GetLogger()) logger->WaitUntilSent();
  }
  std::optional<CrashHandlerScope> handlers;
  if (arguments[1] == L"on") handlers.emplace();
  int error = 0;
  // Threads that wait while another one faults: the dump holds them all.
  std::vector<std::thread> waiting;
  if (kind == L"null-write-threads") {
    for (int i = 0; i < 3; ++i) waiting.emplace_back([] { platform::SleepMilliseconds(60'000); });
    platform::SleepMilliseconds(100);
  }
  if (kind == L"null-write" || kind == L"null-write-threads") CrashByNullWrite();
  if (kind == L"abort") std::abort();
  if (kind == L"stack-overflow") return OverflowTheStack(0);
  if (kind == L"invalid-parameter") (void)platform::CloseFile(-1, &error);
  if (kind == L"invalid-parameter-texts") InvalidParameterHandler(L"descriptor >= 0", L"_close", L"close.cpp", 42, 0);
  if (kind == L"invalid-parameter-null") InvalidParameterHandler(nullptr, nullptr, nullptr, 0, 0);
  if (kind == L"raise") platform::RaiseException(kInvalidParameterExceptionCode);
  // A signal that a sanitizer holds back arrives at its next call.
  for (int i = 0; i < 100; ++i) platform::SleepMilliseconds(100);
  return 99;
}

const ChildCommand crash(L"crash", Crash);

}  // namespace
}  // namespace wl::test
