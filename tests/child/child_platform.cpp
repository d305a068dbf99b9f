// Commands of the child program that the platform, registry and FileLogger
// tests start. Each returns normally, so the process ends in an orderly way
// and its singletons are destroyed at exit.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diagnostics/format.h"
#include "logclient/file_logger.h"
#include "platform/account.h"
#include "platform/debug_output.h"
#include "platform/file_system.h"
#include "platform/named_mutex.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "registry/registry.h"
#include "tests/support/library_test_support.h"

namespace wl::test {
namespace {

using namespace wl::platform;

constexpr int kAppendUtf8 = kOWronly | kOAppend | kOCreat | kOText | kOU8Text;

// exit-with CODE: ends with that exit code.
int ExitWith(const std::vector<std::wstring>& arguments) { return arguments.empty() ? 2 : std::stoi(arguments[0]); }

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
  (void)WriteText(descriptor, L"held\n", &error);
  WriteFileBytes(arguments[1], {});
  bool released = WaitForPath(arguments[2]);
  (void)CloseFile(descriptor, &error);
  return released ? 0 : 1;
}

// write-past-limit PATH: limits file sizes to 4096 bytes, appends a line of
// 3000 characters to a new file, then one of 8000 that fails part-way, lifts
// the limit and appends "after". Exit code: the failed write's error number
// (0 when it succeeded), or 200 when the system has no such limit.
int WritePastLimit(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 1 || !SetFileSizeLimit(4096)) return 200;
  int descriptor = -1;
  if (OpenFile(&descriptor, arguments[0], kAppendUtf8, kShDenyWr, kSIRead | kSIWrite) != 0) return 201;
  int error = 0;
  if (WriteText(descriptor, std::wstring(3000, L'a') + L"\n", &error) < 0) return 202;
  int writeError = 0;
  int written = WriteText(descriptor, std::wstring(8000, L'x') + L"\n", &writeError);
  SetFileSizeLimit(-1);
  if (WriteText(descriptor, L"after\n", &error) < 0) return 203;
  (void)CloseFile(descriptor, &error);
  return written < 0 ? writeError : 0;
}

// delete-self REPORT: deletes the program's own file, then writes to REPORT
// the executable's path, the library module's path and the process id, one
// a line. Exit code 77 when the file cannot be deleted while it runs.
int DeleteSelf(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 1) return 2;
  if (DeletePath(GetExecutableFileName()) != 0) return 77;
  std::ofstream(std::filesystem::path(arguments[0]), std::ios::binary)
      << Utf8FromWide(GetExecutableFileName()) << '\n'
      << Utf8FromWide(GetLibraryModuleFileName()) << '\n'
      << GetCurrentProcessId();
  return 0;
}

ChildCommand exitWith(L"exit-with", ExitWith);
ChildCommand deleteSelf(L"delete-self", DeleteSelf);
ChildCommand holdFile(L"hold-file", HoldFile);
ChildCommand writePastLimit(L"write-past-limit", WritePastLimit);

// write-arguments PATH ARGS...: writes each of ARGS to PATH in UTF-8, each
// followed by a null byte, so that the test sees exactly what arrived.
int WriteArguments(const std::vector<std::wstring>& arguments) {
  if (arguments.empty()) return 2;
  std::ofstream out(std::filesystem::path(arguments[0]), std::ios::binary);
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    out << Utf8FromWide(arguments[i]) << '\0';
  }
  return out.good() ? 0 : 1;
}

const ChildCommand writeArguments(L"write-arguments", WriteArguments);

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

// registry-write-many SUBKEY PREFIX COUNT: under HKCU\SUBKEY sets the
// REG_DWORD values PREFIX0 .. PREFIX<COUNT-1> to their index, one call each.
// Exits with the first failure's code.
int WriteMany(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3) return 100;
  HKey key = nullptr;
  if (Win32Error result = RegistryCreateKey(kHKeyCurrentUser, arguments[0], kKeyAllAccess, &key, nullptr)) {
    return static_cast<int>(result);
  }
  Win32Error result = 0;
  for (int i = 0; result == 0 && i < std::stoi(arguments[2]); ++i) {
    auto value = static_cast<std::uint32_t>(i);
    result = RegistrySetValue(key, arguments[1] + std::to_wstring(i), kRegDword, &value, sizeof value);
  }
  (void)RegistryCloseKey(key);
  return static_cast<int>(result);
}

// registry-set-dword SUBKEY NAME VALUE: one REG_DWORD under HKCU\SUBKEY.
int SetDword(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3) return 100;
  return static_cast<int>(SetNumber(kHKeyCurrentUser, arguments[0], arguments[1], std::stoul(arguments[2])));
}

// redirect INPUT OUTPUT PROGRAM ARGS...: runs the program with its standard
// input read from INPUT and its standard output written to OUTPUT, and
// exits with its exit code.
int Redirect(const std::vector<std::wstring>& arguments) {
  if (arguments.size() < 3) return 100;
  if (std::freopen(Utf8FromWide(arguments[0]).c_str(), "rb", stdin) == nullptr) return 101;
  if (std::freopen(Utf8FromWide(arguments[1]).c_str(), "wb", stdout) == nullptr) return 102;
  Win32Error error = 0;
  auto child = StartProcess(arguments[2], {arguments.begin() + 3, arguments.end()}, &error);
  return child ? child->Wait() : 103;
}

// redirect-errors ERRORS INPUT OUTPUT PROGRAM ARGS...: as redirect, with
// the program's standard error written to ERRORS.
int RedirectErrors(const std::vector<std::wstring>& arguments) {
  if (arguments.size() < 4) return 100;
  if (std::freopen(Utf8FromWide(arguments[0]).c_str(), "wb", stderr) == nullptr) return 104;
  return Redirect({arguments.begin() + 1, arguments.end()});
}

// debug-output OUTPUT TEXT: the text through the debug output, with
// standard error written to OUTPUT.
int DebugOutput(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 2) return 100;
  if (std::freopen(Utf8FromWide(arguments[0]).c_str(), "wb", stderr) == nullptr) return 101;
  OutputDebugText(arguments[1]);
  return 0;
}

// mutex-count NAME FILE COUNT: COUNT times, holding the named mutex, reads
// the number in FILE and writes it back plus one. Without exclusion two
// such children lose increments.
int MutexCount(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3) return 100;
  Win32Error error = 0;
  auto mutex = CreateNamedMutex(arguments[0], &error);
  if (!mutex) return static_cast<int>(error);
  std::filesystem::path file(arguments[1]);
  for (int i = 0; i < std::stoi(arguments[2]); ++i) {
    mutex->Lock();
    long number = std::stol(ReadFileText(file));
    std::ofstream(file, std::ios::trunc) << number + 1;
    mutex->Unlock();
  }
  return 0;
}

// second-user: run as another account beside the system account's files:
// takes the fallback file's mutex, logs a line to its daily file and writes
// TraceFlags 2 into its own hive. Exit code 0, 10 when the mutex cannot be
// had, 20 when the hive cannot be written.
int SecondUser(const std::vector<std::wstring>&) {
  Win32Error error = 0;
  if (!CreateNamedMutex(L"TesselFileLogger", &error)) return 10;
  SetFileOutput(true);
  FileLog(L"second user's line\n");
  LifetimeTracker::Instance().DestroyAll();
  error = SetNumber(kHKeyCurrentUser, kCurrentInstallKey, L"TraceFlags", 2);
  return error == 0 ? 0 : 20;
}

// registry-refusal SUBKEY OUTPUT: sets a REG_DWORD under HKCU\SUBKEY and
// writes to OUTPUT, in UTF-8, why the registry refused it (empty when it
// did not). Exit code: the result of the write.
int RegistryRefusal(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 2) return 100;
  Win32Error result = SetNumber(kHKeyCurrentUser, arguments[0], L"Value", 1);
  std::ofstream(std::filesystem::path(arguments[1]), std::ios::binary) << Utf8FromWide(RegistryLastRefusal());
  return static_cast<int>(result);
}

// user-name REPORT: writes the process's user name and its SID, separated by
// a blank, to REPORT.
int UserName(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 1) return 100;
  auto user = GetCurrentUserName();
  if (!user) return 101;
  const std::wstring& name = *user;
  std::ofstream(std::filesystem::path(arguments[0]), std::ios::binary) << Utf8FromWide(name + L" " + SidOf(name));
  return 0;
}

const ChildCommand writeMany(L"registry-write-many", WriteMany);
const ChildCommand registryRefusal(L"registry-refusal", RegistryRefusal);
const ChildCommand secondUser(L"second-user", SecondUser);
const ChildCommand setDword(L"registry-set-dword", SetDword);
const ChildCommand redirect(L"redirect", Redirect);
const ChildCommand redirectErrors(L"redirect-errors", RedirectErrors);
const ChildCommand debugOutput(L"debug-output", DebugOutput);
const ChildCommand mutexCount(L"mutex-count", MutexCount);
const ChildCommand userName(L"user-name", UserName);

}  // namespace
}  // namespace wl::test
