// Running as a service: the dispatcher that a service process hands its
// main function to, the control handler, the status reports, and starting
// an installed service. Windows shapes (StartServiceCtrlDispatcherW,
// RegisterServiceCtrlHandlerW, SetServiceStatus, StartServiceW) with Win32
// result codes.
//
// On Windows these are the system's own. On Linux the stand-in accepts a
// process as started by a service manager when StartInstalledService
// started it (the environment names the service and the service's status
// file names the process as start pending) or when systemd started it
// (INVOCATION_ID and NOTIFY_SOCKET set); the dispatcher then runs the main
// function on a thread of its own and turns SIGTERM and SIGINT into the
// stop control. Status reports replace <root>/run/services/<name>.status and,
// under systemd, are also sent to $NOTIFY_SOCKET (READY=1 when running,
// STOPPING=1 when stopping, STATUS= with the state in words).
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/types.h"
#include "service_control/service_control.h"

namespace wl::platform {

inline constexpr std::uint32_t kServiceControlPause = 2;
inline constexpr std::uint32_t kServiceControlContinue = 3;
inline constexpr std::uint32_t kServiceControlShutdown = 5;

inline constexpr Win32Error kErrorServiceAlreadyRunning = 1056;
inline constexpr Win32Error kErrorServiceNotInExe = 1083;

using ServiceMainFunction = void (*)();
using ServiceControlHandler = void (*)(std::uint32_t control);

struct ServiceStatusHandleObject;
// SERVICE_STATUS_HANDLE.
using ServiceStatusHandle = ServiceStatusHandleObject*;

// StartServiceCtrlDispatcherW with one entry: runs serviceMain on a thread
// of its own and returns when it has returned. 1063 when the process was
// not started by a service manager (a program started from a console).
// Call from the main thread, once.
[[nodiscard]] Win32Error StartServiceCtrlDispatcherW(std::wstring_view serviceName, ServiceMainFunction serviceMain);

// RegisterServiceCtrlHandlerW: the handler receives the controls on the
// dispatcher's thread. 1083 when no dispatcher runs that service in this
// process.
[[nodiscard]] Win32Error RegisterServiceCtrlHandlerW(std::wstring_view serviceName, ServiceControlHandler handler,
                                                     ServiceStatusHandle* handle);

// SetServiceStatus. Any thread.
[[nodiscard]] Win32Error SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// Starts the installed service (OpenSCManagerW, OpenServiceW, StartServiceW):
// 0, 1060 when it is not installed, 1056 when it already runs, or the
// failure. On Linux its program (ImagePath) is started as a detached process
// with this process's environment, which the dispatcher accepts as started
// by the service manager. It runs as the local system account that the
// service database names (ObjectName LocalSystem): started by root, as the
// owner of the machine root (the service's account); started by that owner,
// as itself. Any other user gets 5, and an ObjectName other than LocalSystem
// 1057.
[[nodiscard]] Win32Error StartInstalledService(std::wstring_view serviceName);

// Runs the installed service in the calling process's place, in the
// foreground, as the service manager would start it: on Linux its status is
// reported start pending for this process and its program replaces this
// one (same process, terminal and environment; the account as
// StartInstalledService chooses it); returns only on failure (1060, 1056,
// 5, 1057, or the failure). On Windows 50: a service runs only under the
// service control manager.
[[nodiscard]] Win32Error RunInstalledService(std::wstring_view serviceName);

// Whether this process is a service that RunInstalledService started in a
// terminal's foreground (its standard output is the operator's). False on
// Windows.
bool ServiceRunsInForeground();

}  // namespace wl::platform
