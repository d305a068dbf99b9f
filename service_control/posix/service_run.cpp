// Running as a service on Linux: the dispatcher, the control handler, the
// status reports (status file and systemd notifications) and the start of
// an installed service by the service control stand-in.
//
// A process counts as started by the service manager when
// - the stand-in started it: $WAYLINE_SERVICE_START names the service and
//   the service's status file names this very process (id, start time and
//   boot) as start pending, written by the starter before the program ran;
// - or systemd started it: $INVOCATION_ID and $NOTIFY_SOCKET are set (a unit
//   of Type=notify).
// Anything else, such as the program started from a console, gets 1063.
#include "service_control/service_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/command_line.h"
#include "platform/named_mutex.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/detached_process.h"
#include "platform/posix/errors.h"
#include "platform/posix/socket_address.h"
#include "platform/posix/trust.h"
#include "platform/refusal_report.h"
#include "platform/text.h"
#include "registry/posix/registry_origin.h"
#include "service_control/posix/service_status.h"

extern char** environ;

namespace wl::platform {

struct ServiceStatusHandleObject {
  std::wstring name;
};

namespace {

constexpr const char* kStartMarker = "WAYLINE_SERVICE_START";
// Set beside the start marker by RunInstalledService.
constexpr const char* kForegroundMarker = "WAYLINE_SERVICE_FOREGROUND";
constexpr Win32Error kErrorInvalidServiceAccount = 1057;
// How long a started program waits for its starter's status report.
constexpr auto kStartReportWait = std::chrono::seconds(10);

// The one service this process's dispatcher runs.
struct Dispatch {
  std::mutex mutex;
  bool running = false;
  std::wstring name;
  std::atomic<ServiceControlHandler> handler{nullptr};
  ServiceStatusHandleObject handle;
  std::string notifySocket;  // empty: not under systemd
};

Dispatch& State() {
  static auto* state = new Dispatch;
  return *state;
}

// The write end of the pipe that the signal handler writes the signal to;
// the dispatcher's thread reads it. Byte 0 tells that ServiceMain returned.
std::atomic<int> signalPipe{-1};

void OnStopSignal(int signal) {
  int saved = errno;
  char byte = static_cast<char>(signal);
  int fd = signalPipe.load();
  if (fd >= 0) (void)!write(fd, &byte, 1);
  errno = saved;
}

bool ReportedAsStarting(std::wstring_view name) {
  ServiceStatus status;
  posix::ServiceProcess writer, self;
  if (!posix::ReadServiceStatus(name, &status, &writer)) return false;
  if (!posix::IdentifyProcess(static_cast<std::uint32_t>(getpid()), &self)) return false;
  return status.currentState == kServiceStartPending && writer.id == self.id && writer.startTime == self.startTime &&
         writer.bootId == self.bootId;
}

bool StartedByStandIn(std::wstring_view name) {
  const char* marker = std::getenv(kStartMarker);
  if (marker == nullptr || WideFromUtf8(marker) != name) return false;
  // The starter writes the report right after the program starts.
  auto deadline = std::chrono::steady_clock::now() + kStartReportWait;
  while (!ReportedAsStarting(name)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string SystemdNotifySocket() {
  const char* invocation = std::getenv("INVOCATION_ID");
  const char* notify = std::getenv("NOTIFY_SOCKET");
  if (invocation == nullptr || notify == nullptr || *notify == '\0') return {};
  return notify;
}

// sd_notify: one datagram to the socket ('@' starts an abstract name).
void Notify(const std::string& socketPath, const std::string& text) {
  posix::SocketAddress address;
  if (address.Set(socketPath) != 0) return;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  while (sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, address.Get(), address.Size()) < 0 && errno == EINTR) {
  }
  close(fd);
}

std::string NotifyText(std::uint32_t state) {
  switch (state) {
    case kServiceStartPending:
      return "STATUS=Starting";
    case kServiceRunning:
      return "READY=1\nSTATUS=Running";
    case kServiceStopPending:
      return "STOPPING=1\nSTATUS=Stopping";
    case kServiceStopped:
      return "STATUS=Stopped";
    default:
      return "STATUS=State " + std::to_string(state);
  }
}

class SignalCatcher {
 public:
  SignalCatcher() {
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      error_ = errno;
      return;
    }
    read_.Reset(fds[0]);
    write_.Reset(fds[1]);
    signalPipe = fds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &previousTerm_);
    sigaction(SIGINT, &action, &previousInt_);
  }
  ~SignalCatcher() {
    if (error_ != 0) return;
    sigaction(SIGTERM, &previousTerm_, nullptr);
    sigaction(SIGINT, &previousInt_, nullptr);
    // Before the pipe closes (with the members), so that a late signal
    // writes to no descriptor that may be reused.
    signalPipe = -1;
  }
  SignalCatcher(const SignalCatcher&) = delete;
  SignalCatcher& operator=(const SignalCatcher&) = delete;

  [[nodiscard]] int Error() const { return error_; }
  [[nodiscard]] int ReadEnd() const { return read_.Get(); }
  [[nodiscard]] int WriteEnd() const { return write_.Get(); }

 private:
  posix::Descriptor read_, write_;
  int error_ = 0;
  struct sigaction previousTerm_ {};
  struct sigaction previousInt_ {};
};

}  // namespace

Win32Error StartServiceCtrlDispatcherW(std::wstring_view serviceName, ServiceMainFunction serviceMain) {
  Dispatch& state = State();
  {
    std::lock_guard lock(state.mutex);
    if (state.running) return kErrorServiceAlreadyRunning;
  }
  if (serviceMain == nullptr || serviceName.empty()) return kErrorInvalidParameter;
  std::string notifySocket = SystemdNotifySocket();
  if (notifySocket.empty() && !StartedByStandIn(serviceName)) return kErrorFailedServiceControllerConnect;
  SignalCatcher signals;
  if (signals.Error() != 0) return posix::Win32FromErrno(signals.Error());
  {
    std::lock_guard lock(state.mutex);
    state.running = true;
    state.name = serviceName;
    state.handle.name = serviceName;
    state.notifySocket = notifySocket;
    state.handler = nullptr;
  }
  int doneFd = signals.WriteEnd();
  std::thread main([serviceMain, doneFd] {
    serviceMain();
    char done = 0;
    while (write(doneFd, &done, 1) < 0 && errno == EINTR) {
    }
  });
  for (bool ended = false; !ended;) {
    pollfd wait{signals.ReadEnd(), POLLIN, 0};
    if (poll(&wait, 1, -1) < 0) continue;
    char bytes[16];
    ssize_t count = read(signals.ReadEnd(), bytes, sizeof(bytes));
    for (ssize_t i = 0; i < count; ++i) {
      if (bytes[i] == 0) {
        ended = true;
      } else if (ServiceControlHandler handler = state.handler.load()) {
        handler(kServiceControlStop);
      }
    }
  }
  main.join();
  std::lock_guard lock(state.mutex);
  state.running = false;
  state.handler = nullptr;
  return kErrorSuccess;
}

Win32Error RegisterServiceCtrlHandlerW(std::wstring_view serviceName, ServiceControlHandler handler,
                                       ServiceStatusHandle* handle) {
  if (handle == nullptr || handler == nullptr) return kErrorInvalidParameter;
  *handle = nullptr;
  Dispatch& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.running || state.name != serviceName) return kErrorServiceNotInExe;
  *handle = &state.handle;
  state.handler = handler;
  return kErrorSuccess;
}

Win32Error SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  Dispatch& state = State();
  std::string notifySocket;
  {
    std::lock_guard lock(state.mutex);
    if (handle != &state.handle || !state.running) return kErrorInvalidHandle;
    notifySocket = state.notifySocket;
  }
  posix::ServiceProcess self;
  if (!posix::IdentifyProcess(static_cast<std::uint32_t>(getpid()), &self)) return kErrorInvalidHandle;
  Win32Error result = posix::WriteServiceStatus(handle->name, status, self);
  if (!notifySocket.empty()) Notify(notifySocket, NotifyText(status.currentState));
  return result;
}

namespace {

// What a start needs of an installed service that does not run yet: its
// program's arguments. The service's start lock is held by the caller.
Win32Error PrepareStart(std::wstring_view serviceName, ServiceConfig* config, std::vector<std::string>* arguments) {
  ServiceHandle manager, service;
  if (Win32Error result = OpenSCManagerW(kScManagerConnect, manager.Receive())) return result;
  if (Win32Error result =
          OpenServiceW(manager.Get(), serviceName, kServiceQueryConfig | kServiceQueryStatus, service.Receive())) {
    return result;
  }
  ServiceStatus status;
  if (Win32Error result = QueryServiceStatus(service.Get(), &status)) return result;
  if (status.currentState != kServiceStopped) return kErrorServiceAlreadyRunning;
  if (Win32Error result = QueryServiceConfigW(service.Get(), config)) return result;
  *arguments = SplitCommandLine(Utf8FromWide(config->binaryPathName));
  if (arguments->empty()) return kErrorBadPathname;
  // The program is started only from a hive that this process trusts (the
  // machine's, which no other account writes) and when no other ordinary
  // user could have changed it.
  std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + std::wstring(serviceName);
  std::wstring imagePath;
  posix::ValueOrigin origin;
  std::string refusal;
  if (posix::QueryStringWithOrigin(kHKeyLocalMachine, key, L"ImagePath", &imagePath, &origin) == kErrorSuccess &&
      !posix::TrustsOrigin(origin)) {
    refusal = "its ImagePath comes from the registry hive " + origin.hive + " of " + posix::DescribeUser(origin.owner);
  } else {
    refusal = posix::ProgramRefusal(arguments->front());
  }
  if (refusal.empty()) return kErrorSuccess;
  ReportRefusal(L"service " + std::wstring(serviceName),
                L"Refused to start the service " + std::wstring(serviceName) + L": " + WideFromUtf8(refusal));
  return kErrorAccessDenied;
}

// Two starts of one service take turns, so that the second sees the first
// one's process.
class StartLock {
 public:
  explicit StartLock(std::wstring_view serviceName)
      : mutex_(CreateNamedMutex(L"ScribeServiceStart." + std::wstring(serviceName), &error_)) {
    if (mutex_) mutex_->Lock();
  }
  ~StartLock() {
    if (mutex_) mutex_->Unlock();
  }
  [[nodiscard]] Win32Error Error() const { return mutex_ ? kErrorSuccess : error_; }

 private:
  Win32Error error_ = 0;
  std::unique_ptr<NamedMutex> mutex_;
};

// Whom the service's program runs as. The stand-in knows the one account
// that registration names, the local system account (ObjectName
// LocalSystem), which on Linux is root and the owner of the machine root:
// started by root, the program runs as the root's owner (the service's
// account owns /var/lib/wayline); started by the owner, as itself. Any other
// user could only run it as themselves, not as the system account: 5. Any
// other ObjectName: 1057, the stand-in cannot log on as other accounts.
Win32Error ServiceAccount(const ServiceConfig& config, std::optional<posix::AccountIdentity>* account) {
  account->reset();
  if (!config.serviceStartName.empty() && !RegistryNamesEqual(config.serviceStartName, L"LocalSystem")) {
    return kErrorInvalidServiceAccount;
  }
  if (!posix::IsSystemAccount(geteuid())) return kErrorAccessDenied;
  posix::AccountIdentity system;
  if (geteuid() == 0 && posix::MachineSystemAccount(&system) && system.uid != 0) *account = std::move(system);
  return kErrorSuccess;
}

Win32Error ReportStarting(std::wstring_view serviceName, std::uint32_t serviceType, std::uint32_t id) {
  posix::ServiceProcess process;
  if (!posix::IdentifyProcess(id, &process)) return kErrorServiceNeverStarted;
  ServiceStatus starting;
  starting.serviceType = serviceType;
  starting.currentState = kServiceStartPending;
  return posix::WriteServiceStatus(serviceName, starting, process);
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size());

  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

Win32Error StartInstalledService(std::wstring_view serviceName) {
  StartLock lock(serviceName);
  if (Win32Error error = lock.Error()) return error;
  ServiceConfig config;
  std::vector<std::string> arguments;
  if (Win32Error result = PrepareStart(serviceName, &config, &arguments)) return result;
  std::optional<posix::AccountIdentity> account;
  if (Win32Error result = ServiceAccount(config, &account)) return result;

  std::vector<std::string> environment;
  std::string marker = std::string(kStartMarker) + "=";
  std::string foreground = std::string(kForegroundMarker) + "=";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, marker.data(), marker.size()) != 0 &&
        std::strncmp(*entry, foreground.data(), foreground.size()) != 0) {
      environment.emplace_back(*entry);
    }
  }
  environment.push_back(marker + Utf8FromWide(serviceName));
  std::vector<char*> argv = Pointers(arguments), envp = Pointers(environment);

  pid_t pid = 0;
  int spawned = posix::StartDetachedProcess(argv.data(), envp.data(), &pid, {}, account ? &*account : nullptr);
  if (spawned != 0) return posix::Win32FromErrno(spawned);

  Win32Error result = ReportStarting(serviceName, config.serviceType, static_cast<std::uint32_t>(pid));
  if (result != kErrorSuccess) kill(pid, SIGKILL);
  return result;
}

bool ServiceRunsInForeground() { return std::getenv(kForegroundMarker) != nullptr; }

Win32Error RunInstalledService(std::wstring_view serviceName) {
  ServiceConfig config;
  std::vector<std::string> arguments;
  std::optional<posix::AccountIdentity> account;
  {
    StartLock lock(serviceName);
    if (Win32Error error = lock.Error()) return error;
    if (Win32Error result = PrepareStart(serviceName, &config, &arguments)) return result;
    if (Win32Error result = ServiceAccount(config, &account)) return result;
    if (Win32Error result = ReportStarting(serviceName, config.serviceType, static_cast<std::uint32_t>(getpid()))) {
      return result;
    }
  }
  // The program keeps this process's id and start time, which the status
  // names.
  int error = setenv(kStartMarker, Utf8FromWide(serviceName).c_str(), 1) != 0 ? errno : 0;
  if (error == 0 && setenv(kForegroundMarker, "1", 1) != 0) error = errno;
  if (error == 0 && account) error = posix::SwitchToAccount(*account);
  std::vector<char*> argv = Pointers(arguments);
  if (error == 0) {
    execv(argv[0], argv.data());
    error = errno;
  }
  posix::RemoveServiceStatus(serviceName);
  return posix::Win32FromErrno(error);
}

}  // namespace wl::platform
