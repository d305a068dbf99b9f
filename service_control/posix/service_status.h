// The state of a service on Linux: the file <root>/run/services/<name>.status,
// written by the running service (its status reports) and read by the
// service control stand-in. Text, one "key=value" per line:
//   state=4            SERVICE_STATUS: dwCurrentState
//   controls=1         dwControlsAccepted
//   exit=0             dwWin32ExitCode
//   service-exit=0     dwServiceSpecificExitCode
//   checkpoint=0       dwCheckPoint
//   wait-hint=0        dwWaitHint
//   pid=1234           the service's process,
//   start=98765        its start time (field 22 of /proc/<pid>/stat),
//   boot=<boot id>     and the boot it runs in (/proc/sys/kernel/random/boot_id)
// The process is named by all three, so that a file left by a crash or from
// before a restart never makes a stop control signal an unrelated process
// that happens to have the same number. A writer replaces the file
// atomically (a new file renamed over it); the folder is 0755 and the files
// 0644. Only a file of the system account counts: one of any other account
// is reported (refusal_report.h) and the service taken as stopped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service_control/service_control.h"

namespace wl::platform::posix {

struct ServiceProcess {
  std::uint32_t id = 0;
  std::uint64_t startTime = 0;
  std::string bootId;
};

// <root>/run/services
std::string ServiceStatusFolder();
std::string ServiceStatusPath(std::wstring_view serviceName);

// The status and the process that wrote it; false when there is no file or
// it lacks the state or the process's identity.
bool ReadServiceStatus(std::wstring_view serviceName, ServiceStatus* status, ServiceProcess* process);

// Whether that very process still runs: not when it is gone, nor when it
// has ended and waits to be reaped (a zombie).
bool ServiceProcessAlive(const ServiceProcess& process);

void RemoveServiceStatus(std::wstring_view serviceName);

// The identity of a running process; false when it is gone or a zombie.
bool IdentifyProcess(std::uint32_t id, ServiceProcess* process);

// Replaces the status file (a new file renamed over it, the folder made
// when missing) with the status as reported by that process. 0 or the
// failure.
[[nodiscard]] Win32Error WriteServiceStatus(std::wstring_view serviceName, const ServiceStatus& status,
                                            const ServiceProcess& process);

}  // namespace wl::platform::posix
