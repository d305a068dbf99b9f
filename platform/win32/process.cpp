// Child processes with CreateProcessW.
#include "platform/process.h"

#include <windows.h>

#include "platform/command_line.h"
#include "platform/win32/kernel_handle.h"

namespace wl::platform {

const wchar_t* const kExecutableSuffix = L".exe";

namespace {

class Win32ChildProcess final : public ChildProcess {
 public:
  explicit Win32ChildProcess(const PROCESS_INFORMATION& info) : process_(info.hProcess), id_(info.dwProcessId) {
    win32::KernelHandle thread(info.hThread);
  }

  int Wait() override {
    DWORD code = 0;
    if (::WaitForSingleObject(process_.Get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.Get(), &code)) {
      return -1;
    }
    return static_cast<int>(code);
  }

  [[nodiscard]] std::uint32_t Id() const override { return id_; }

  bool Kill() override { return ::TerminateProcess(process_.Get(), 9) != 0; }

 private:
  win32::KernelHandle process_;
  DWORD id_;
};

}  // namespace

std::unique_ptr<ChildProcess> StartProcess(std::wstring_view program, const std::vector<std::wstring>& arguments,
                                           Win32Error* error) {
  std::wstring application(program);
  // The program's own name is parsed without escapes; a path cannot hold a
  // quote, so plain quotes around it suffice.
  std::wstring commandLine = L"\"" + application + L"\"";
  if (!arguments.empty()) commandLine += L' ' + JoinCommandLine(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  // No handle inheritance: a child must not keep this process's files open
  // (that would hold their sharing locks past a close here). The environment
  // block, and with it the machine root, is inherited.
  if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
    *error = ::GetLastError();
    return nullptr;
  }
  *error = kErrorSuccess;
  return std::make_unique<Win32ChildProcess>(info);
}

// Starting a program as another account takes that account's logon token
// on Windows; nothing in this product needs it.
std::unique_ptr<ChildProcess> StartProcessAsUser(std::wstring_view, const std::vector<std::wstring>&, std::wstring_view,
                                                 Win32Error* error) {
  if (error != nullptr) *error = ERROR_NOT_SUPPORTED;
  return nullptr;
}

}  // namespace wl::platform
