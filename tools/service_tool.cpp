#include "tools/service_tool.h"

#include "diagnostics/error_text.h"
#include "diagnostics/format.h"
#include "platform/machine_root.h"
#include "service_control/service_control.h"
#include "service_control/service_run.h"

namespace wl {
namespace {

constexpr std::wstring_view kUsage =
    L"Usage: wlsc start|run|stop|query NAME\n"
    L"  start NAME   start the installed service\n"
    L"  run NAME     run the installed service in the foreground (Ctrl-C stops it)\n"
    L"  stop NAME    send the service the stop control\n"
    L"  query NAME   show the service's state\n";

int Fail(const cli::Console& console, Win32Error code) {
  console.err(Format(L"ERROR:{}\n", ErrorCodeText(code)));
  return cli::kExitFailed;
}

std::wstring_view StateName(std::uint32_t state) {
  switch (state) {
    case platform::kServiceStopped:
      return L"STOPPED";
    case platform::kServiceStartPending:
      return L"START_PENDING";
    case platform::kServiceStopPending:
      return L"STOP_PENDING";
    case platform::kServiceRunning:
      return L"RUNNING";
    default:
      return L"UNKNOWN";
  }
}

Win32Error Open(std::wstring_view name, std::uint32_t access, platform::ServiceHandle& manager,
                platform::ServiceHandle& service) {
  if (Win32Error result = platform::OpenSCManagerW(platform::kScManagerConnect, manager.Receive())) return result;
  return platform::OpenServiceW(manager.Get(), name, access, service.Receive());
}

}  // namespace

int RunServiceTool(const std::vector<std::wstring>& arguments, const cli::Console& console) {
  if (arguments.size() == 1 && cli::IsHelp(arguments[0], cli::Habits::kWindows)) {
    (void)console.Print(kUsage);
    return cli::kExitDone;
  }
  if (arguments.size() != 2) {
    console.err(kUsage);
    return cli::kExitUsage;
  }
  const std::wstring& command = arguments[0];
  const std::wstring& name = arguments[1];
  if (command == L"start") {
    if (Win32Error result = platform::StartInstalledService(name)) return Fail(console, result);
    (void)console.Print(Format(L"{}: started\n", name));
    return cli::kExitDone;
  }
  if (command == L"run") {
    (void)console.Print(
        Format(L"{}: running in the foreground on the root {} (Ctrl-C stops it)\n", name, platform::MachineRoot()));
    return Fail(console, platform::RunInstalledService(name));
  }
  platform::ServiceHandle manager, service;
  platform::ServiceStatus status;
  if (command == L"stop") {
    if (Win32Error result = Open(name, platform::kServiceStop, manager, service)) return Fail(console, result);
    if (Win32Error result = platform::ControlService(service.Get(), platform::kServiceControlStop, &status)) {
      return Fail(console, result);
    }
    (void)console.Print(Format(L"{}: {}\n", name, StateName(status.currentState)));
    return cli::kExitDone;
  }
  if (command == L"query") {
    if (Win32Error result = Open(name, platform::kServiceQueryStatus, manager, service)) return Fail(console, result);
    if (Win32Error result = platform::QueryServiceStatus(service.Get(), &status)) return Fail(console, result);
    std::wstring line = Format(L"{}: {}", name, StateName(status.currentState));
    if (status.currentState == platform::kServiceStopped && status.win32ExitCode != 0) {
      line += Format(L" (exit code {})", status.win32ExitCode);
    }
    (void)console.Print(line + L"\n");
    return cli::kExitDone;
  }
  console.err(kUsage);
  return cli::kExitUsage;
}

}  // namespace wl
