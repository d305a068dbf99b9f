// Shared helpers of the test suites: a temporary machine root, file bytes,
// and the child program that process-level tests start. The platform layer
// only: the helpers that write registry values are in registry_values.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/access_rules.h"
#include "platform/account.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/testing/file_faults.h"
#include "platform/text.h"

namespace wl::test {

using Bytes = std::vector<std::uint8_t>;

// True in the Windows build (run under Wine), where the registry, the data
// folder and the system texts are the system's own.
inline bool OnWindows() { return *platform::kExecutableSuffix != L'\0'; }

// Points the machine root ($WAYLINE_ROOT) at a fresh temporary folder for
// the lifetime of the object and removes the folder afterwards. Given a
// length, the root is a folder nested in it whose path has exactly that many
// characters.
class TempRoot {
 public:
  explicit TempRoot(std::size_t length = 0);
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path top_;
  std::filesystem::path path_;
  std::optional<std::wstring> previous_;
};

// A fresh, empty temporary folder, removed with the object.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);
std::string ReadFileText(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// The UTF-16LE bytes of a text, with the terminating null that Windows
// stores with REG_SZ unless terminated is false.
inline Bytes Utf16Bytes(std::wstring_view text, bool terminated = true) {
  if (terminated) return platform::Utf16LeStringData(text);
  Bytes bytes;
  platform::AppendUtf16Le(platform::Utf16FromWide(text), bytes);
  return bytes;
}

// An object's access rules in their string form, or "error N".
inline std::string AccessRules(platform::MachineObject kind, const std::wstring& path) {
  auto rules = platform::ReadAccessRules(kind, path);
  return rules ? platform::Utf8FromWide(*rules) : "error " + std::to_string(rules.ErrorCode());
}

// The string SID of an account, empty when the lookup fails (its code into
// result when given).
inline std::wstring SidOf(std::wstring_view account, Win32Error* result = nullptr) {
  auto sid = platform::LookupAccountSid(account);
  if (!sid) {
    if (result != nullptr) *result = sid.ErrorCode();
    return {};
  }
  auto text = platform::ConvertSidToString(*sid);
  if (result != nullptr) *result = text.ErrorCode();
  return text.ValueOr({});
}

// The full path of a program built next to the test program.
std::wstring ProgramPath(std::wstring_view name);
// Starts the child program with a command name and its arguments; the
// child's environment (and so its machine root) is this process's.
std::unique_ptr<platform::ChildProcess> StartChild(const std::vector<std::wstring>& arguments,
                                                   std::wstring_view program = L"scribe_test_child");
// Starts a program and waits for its exit code (-1000 when it could not start).
int RunChild(const std::vector<std::wstring>& arguments, std::wstring_view program = L"scribe_test_child");

// Runs a command of /bin/sh (Linux) as this process, with its standard
// output in *output when given. Returns the exit code, -1000 when the shell
// could not start.
int Shell(const std::string& command, std::string* output = nullptr);

// Starts a program as another account (Linux, as root) with the arguments
// and this process's environment; null when it cannot be started so (only
// root may switch). The account must reach the program: a SharedProgram's
// copy, or one of the system's such as /bin/sh.
std::unique_ptr<platform::ChildProcess> StartAs(std::wstring_view account, const std::filesystem::path& program,
                                                const std::vector<std::wstring>& arguments);
// StartAs and wait: the exit code, nullopt when it could not be started.
std::optional<int> RunAs(std::wstring_view account, const std::filesystem::path& program,
                         const std::vector<std::wstring>& arguments);

// A copy of a program built next to the test program in a fresh folder that
// every account may read and write (the build folder may lie in root's
// home), for starting it as another user.
class SharedProgram {
 public:
  explicit SharedProgram(std::wstring_view name);
  [[nodiscard]] const std::filesystem::path& Folder() const { return folder_.Path(); }
  [[nodiscard]] const std::filesystem::path& Path() const { return program_; }

 private:
  TempFolder folder_;
  std::filesystem::path program_;
};

// Linux, as root: gives the folder and everything below it to the account
// (chown -R), as an administrator gives a machine root to a service account.
bool GiveTo(const std::filesystem::path& folder, std::wstring_view account);

// Waits until done() holds, asking every few milliseconds; false when it
// still does not after the timeout (a child that died or hung, a broken
// build: never a slow machine). For waiting on what another thread or
// process does, never for measuring time.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::minutes(1));

// Waits until the path exists (WaitUntil with its default timeout).
bool WaitForPath(const std::filesystem::path& path);

// Whether this process runs as the system account (root on Linux).
inline bool RunningAsSystem() { return platform::GetCurrentUserName().ValueOr({}) == L"SYSTEM"; }

// Under Wine the product's keys and data folder belong to the prefix and are
// shared by the test programs that ctest runs side by side, so the tests
// that change them take turns. On Linux the lock lives in the test's own root.
struct MachineStateLock {
  MachineStateLock() : mutex(platform::CreateNamedMutex(L"ScribeLibraryTests", &error)) {
    if (mutex) mutex->Lock();
  }
  ~MachineStateLock() {
    if (mutex) mutex->Unlock();
  }
  Win32Error error = 0;
  std::unique_ptr<platform::NamedMutex> mutex;
};

// Whether a process holds the file open for writing (the service's writer
// denies writing to others while it has the file).
bool HeldOpen(const std::filesystem::path& path);

// Commands of the child program: each tests/child_*.cpp registers its own
// with a static ChildCommand object. The arguments exclude the command name.
using ChildMain = int (*)(const std::vector<std::wstring>& arguments);
struct ChildCommand {
  ChildCommand(const wchar_t* name, ChildMain main);
};
ChildMain FindChildCommand(const std::wstring& name);

// Installs a file fault hook (platform/testing/file_faults.h) for the life of the
// object.
class ScopedFileFaults {
 public:
  explicit ScopedFileFaults(platform::FileFaultHook hook) { platform::SetFileFaultHook(std::move(hook)); }
  ~ScopedFileFaults() { platform::SetFileFaultHook({}); }
  ScopedFileFaults(const ScopedFileFaults&) = delete;
  ScopedFileFaults& operator=(const ScopedFileFaults&) = delete;
};

}  // namespace wl::test
