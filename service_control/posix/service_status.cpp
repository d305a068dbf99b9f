#include "service_control/posix/service_status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <charconv>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

#include "platform/machine_root.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/errors.h"
#include "platform/refusal_report.h"
#include "platform/text.h"

namespace wl::platform::posix {
namespace {

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<std::uint64_t> Number(std::string_view text) {
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

// Field 22 (starttime) of /proc/<pid>/stat, for a process that runs: none
// for one that has ended and waits to be reaped (state Z, a zombie, or X),
// which still has the file. The name in field 2 may hold blanks and
// brackets, so the fields are counted after its last ')'.
std::optional<std::uint64_t> ProcessStartTime(std::uint32_t id) {
  auto stat = ReadText("/proc/" + std::to_string(id) + "/stat");
  if (!stat) return std::nullopt;
  std::size_t at = stat->rfind(')');
  if (at == std::string::npos) return std::nullopt;
  std::string_view rest = std::string_view(*stat).substr(at + 1);
  // After the name come field 3 (state) to field 22: twenty fields.
  for (int field = 3; field <= 22; ++field) {
    std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(start);
    std::size_t end = rest.find(' ');
    std::string_view value = rest.substr(0, end);
    if (field == 3 && (value == "Z" || value == "X")) return std::nullopt;
    if (field == 22) return Number(value);
    if (end == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(end);
  }
  return std::nullopt;
}

// The status file as the system account wrote it; a file of another
// account (which could name any process for a stop control to signal) is
// reported and ignored.
std::optional<std::string> ReadStatusText(const std::string& path) {
  OpenRules rules;
  rules.systemOwner = true;
  CheckedOpen file = OpenChecked(path, O_RDONLY, 0, rules);
  if (!file.Ok()) {
    if (!file.refusal.empty()) {
      ReportRefusal(WideFromUtf8(path), WideFromUtf8("Ignored the service status file " + path + ": " + file.refusal));
    }
    return std::nullopt;
  }
  std::string text;
  if (ReadAll(file.descriptor.Get(), &text) != 0) return std::nullopt;
  return text;
}

}  // namespace

std::string ServiceStatusFolder() { return Utf8FromWide(MachineRoot()) + "/run/services"; }

std::string ServiceStatusPath(std::wstring_view serviceName) {
  return ServiceStatusFolder() + "/" + Utf8FromWide(serviceName) + ".status";
}

bool ReadServiceStatus(std::wstring_view serviceName, ServiceStatus* status, ServiceProcess* process) {
  auto text = ReadStatusText(ServiceStatusPath(serviceName));
  if (!text) return false;
  std::map<std::string, std::string, std::less<>> fields;
  std::string_view rest = *text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    std::size_t equals = line.find('=');
    if (equals != std::string_view::npos) fields[std::string(line.substr(0, equals))] = line.substr(equals + 1);
  }
  auto number = [&](std::string_view key) -> std::optional<std::uint64_t> {
    auto found = fields.find(key);
    return found == fields.end() ? std::nullopt : Number(found->second);
  };
  auto state = number("state"), id = number("pid"), start = number("start");
  auto boot = fields.find("boot");
  if (!state || !id || !start || boot == fields.end() || *state > 0xFFFFFFFF || *id > 0x7FFFFFFF) return false;
  *status = {};
  status->currentState = static_cast<std::uint32_t>(*state);
  status->controlsAccepted = static_cast<std::uint32_t>(number("controls").value_or(0));
  status->win32ExitCode = static_cast<std::uint32_t>(number("exit").value_or(0));
  status->serviceSpecificExitCode = static_cast<std::uint32_t>(number("service-exit").value_or(0));
  status->checkPoint = static_cast<std::uint32_t>(number("checkpoint").value_or(0));
  status->waitHint = static_cast<std::uint32_t>(number("wait-hint").value_or(0));
  *process = {static_cast<std::uint32_t>(*id), *start, boot->second};
  return true;
}

bool ServiceProcessAlive(const ServiceProcess& process) {
  if (process.id == 0) return false;
  auto boot = ReadText("/proc/sys/kernel/random/boot_id");
  if (!boot || Trimmed(*boot) != process.bootId) return false;
  return ProcessStartTime(process.id) == process.startTime;
}

void RemoveServiceStatus(std::wstring_view serviceName) {
  CheckedOpen folder = OpenFolder(ServiceStatusFolder());
  if (folder.Ok()) unlinkat(folder.descriptor.Get(), (Utf8FromWide(serviceName) + ".status").c_str(), 0);
}

bool IdentifyProcess(std::uint32_t id, ServiceProcess* process) {
  auto boot = ReadText("/proc/sys/kernel/random/boot_id");
  auto start = ProcessStartTime(id);
  if (!boot || !start) return false;
  *process = {id, *start, Trimmed(*boot)};
  return true;
}

Win32Error WriteServiceStatus(std::wstring_view serviceName, const ServiceStatus& status,
                              const ServiceProcess& process) {
  std::string folderPath = ServiceStatusFolder();
  CheckedOpen folder = MakeFolder(folderPath, 0755);
  if (!folder.Ok()) return Win32FromErrno(folder.error);
  std::string text = "state=" + std::to_string(status.currentState) +
                     "\ncontrols=" + std::to_string(status.controlsAccepted) +
                     "\nexit=" + std::to_string(status.win32ExitCode) +
                     "\nservice-exit=" + std::to_string(status.serviceSpecificExitCode) +
                     "\ncheckpoint=" + std::to_string(status.checkPoint) +
                     "\nwait-hint=" + std::to_string(status.waitHint) + "\npid=" + std::to_string(process.id) +
                     "\nstart=" + std::to_string(process.startTime) + "\nboot=" + process.bootId + "\n";
  std::string name = Utf8FromWide(serviceName) + ".status";
  // Named by the writing thread too: the status may be reported from two
  // threads at once.
  std::string temporary = name + "." + std::to_string(getpid()) + "." + std::to_string(gettid()) + ".new";
  unlinkat(folder.descriptor.Get(), temporary.c_str(), 0);
  CheckedOpen file = OpenIn(folder.descriptor.Get(), folderPath, temporary, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!file.Ok()) return Win32FromErrno(file.error);
  int error = WriteAll(file.descriptor.Get(), text);
  if (int closed = file.descriptor.Close(); error == 0) error = closed;
  if (error == 0 && renameat(folder.descriptor.Get(), temporary.c_str(), folder.descriptor.Get(), name.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) unlinkat(folder.descriptor.Get(), temporary.c_str(), 0);
  return error == 0 ? kErrorSuccess : Win32FromErrno(error);
}

}  // namespace wl::platform::posix
