// Activation on Linux: finding the class's server (starting it from the
// registration when nothing listens), checking who serves it, the
// activation lock and the waits; the connection made is handed to the
// channel (channel.h).
#include "com/posix/activation.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "com/posix/channel.h"
#include "com/posix/class_folders.h"
#include "com/posix/class_registration.h"
#include "com/posix/runtime.h"
#include "platform/command_line.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/detached_process.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/posix/socket_address.h"
#include "platform/posix/trust.h"
#include "platform/system.h"
#include "platform/text.h"
#include "service_control/service_run.h"

extern char** environ;

namespace wl::platform::posix {
namespace {

// How often an activation asks again about a service that ran already when
// it came but does not answer.
constexpr auto kServiceRecheck = std::chrono::milliseconds(100);

// How often a client looks again at a listener whose queue of new
// connections is full, and at the activation lock while another holds it.
constexpr auto kRetryPause = std::chrono::milliseconds(5);

using Clock = std::chrono::steady_clock;

// Connects to the socket at path: the descriptor, or -1 with errno set
// (ETIMEDOUT when the listener took no connection within the time-out). A
// path that no socket address can reach is reported, naming the limit. A
// reply that does not come within the call time-out ends a blocking read
// (SO_RCVTIMEO).
int Connect(const std::string& path, const ComTimeouts& timeouts) {
  SocketAddress address;
  if (int error = address.Set(path); error != 0) {
    if (error == ENAMETOOLONG) ReportCom(ComReport::kError, L"Cannot connect: " + SocketAddressError(path, error));
    errno = error;
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  // A Unix socket connects at once, or fails with EAGAIN while the
  // listener's queue is full: a server that accepts no more (or a squatter
  // that never accepts) is given the connect time-out, not forever.
  auto deadline = Clock::now() + std::chrono::milliseconds(timeouts.connectMilliseconds);
  while (connect(fd, address.Get(), address.Size()) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    if (error == EAGAIN && Clock::now() < deadline) {
      std::this_thread::sleep_for(kRetryPause);
      continue;
    }
    close(fd);
    errno = error == EAGAIN ? ETIMEDOUT : error;
    return -1;
  }
  timeval wait{static_cast<time_t>(timeouts.callMilliseconds / 1000),
               static_cast<suseconds_t>(timeouts.callMilliseconds % 1000 * 1000)};
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Checks who answers on a class socket before anything is sent to it: the
// service (SYSTEM: uid 0 or the owner of the machine root) on the machine's
// socket, this very user on the user's own. The system took the listener's
// credentials when it made the socket listen (systemd, which listens for a
// socket unit, is uid 0), so nobody can pretend to be another user. A
// socket served by anyone else is refused, with the user and process named.
HRESULT CheckServer(int fd, const std::string& path, const ComFolder& folder) {
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    ReportCom(ComReport::kError, L"Refused the class socket " + WideFromUtf8(path) +
                                     L": the system does not tell who serves it; nothing was sent to it");
    return E_ACCESSDENIED;
  }
  bool trusted = folder.machine ? IsSystemAccount(credentials.uid) : credentials.uid == geteuid();
  if (trusted) return S_OK;
  std::wstring expected =
      folder.machine ? std::wstring(L"the service (SYSTEM)") : L"this user (" + std::to_wstring(geteuid()) + L")";
  ReportCom(ComReport::kError, L"Refused the class socket " + WideFromUtf8(path) + L": it is served by user " +
                                   std::to_wstring(credentials.uid) + L" (process " + std::to_wstring(credentials.pid) +
                                   L"), not " + expected + L"; nothing was sent to it");
  return E_ACCESSDENIED;
}

// Connects to the class's socket in the folder and checks its server: S_OK
// with *fd; S_FALSE when nothing listens there; else the failure (reported).
HRESULT ConnectChecked(const ComFolder& folder, const CLSID& clsid, const ComTimeouts& timeouts, int* fd,
                       std::string* connected) {
  std::string path = ClassSocketPath(folder, clsid);
  *fd = Connect(path, timeouts);
  if (*fd < 0) {
    // No address reaches the socket (reported by Connect): no server that
    // activation starts could be reached either.
    if (errno == ENAMETOOLONG) return CO_E_SERVER_EXEC_FAILURE;
    if (errno == ETIMEDOUT) {
      ReportCom(ComReport::kError, L"The class socket " + WideFromUtf8(path) + L" took no connection within " +
                                       std::to_wstring(timeouts.connectMilliseconds) +
                                       L" ms (its server accepts no more connections)");
      return RPC_E_TIMEOUT;
    }
    return S_FALSE;
  }
  if (HRESULT checked = CheckServer(*fd, path, folder); FAILED(checked)) {
    close(*fd);
    *fd = -1;
    return checked;
  }
  *connected = path;
  return S_OK;
}

// Starts a server's command line with -Embedding, in a session of its own
// and with no terminal streams (it outlives the client that started it).
// Its end is noted in *ended by a thread that waits for it.
bool StartServer(const std::wstring& commandLine, const std::shared_ptr<std::atomic<bool>>& ended) {
  std::vector<std::string> arguments = SplitCommandLine(Utf8FromWide(commandLine));
  if (arguments.empty()) return false;
  arguments.push_back("-Embedding");
  std::vector<char*> argv;
  argv.reserve(arguments.size());

  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  return posix::StartDetachedProcess(argv.data(), environ, &pid, [ended] { ended->store(true); }) == 0;
}

// The activation lock of a class in a folder, held while it lives: two
// clients that activate at once take turns, so that the second finds the
// server the first started. Each user takes the lock in the folder where
// the servers it starts listen, so an ordinary user never takes the
// machine's (SYSTEM's, mode 0600). The file is a checked open's lock file
// (a plain file of SYSTEM for the machine's, of this user or SYSTEM for the
// user's own; one of this user's that others could open is made anew);
// anything else is reported, and activation goes on without the lock (two
// clients may then start two servers).
class ActivationLock {
 public:
  ActivationLock(const ComFolder& folder, const CLSID& clsid) {
    OpenRules rules;
    rules.systemOwner = folder.machine;
    CheckedOpen opened = OpenFolder(folder.path, rules);
    std::string name = NameOf(ClassLockPath(folder, clsid));
    if (opened.Ok()) opened = OpenLockFile(opened.descriptor.Get(), folder.path, name, rules);
    if (!opened.Ok()) {
      Refuse(ClassLockPath(folder, clsid), opened.refusal.empty()
                                               ? L"it cannot be opened (error " + std::to_wstring(opened.error) + L")"
                                               : WideFromUtf8(opened.refusal));
      return;
    }
    fd_ = opened.descriptor.Release();
  }
  ~ActivationLock() {
    if (fd_ >= 0) close(fd_);
  }
  ActivationLock(const ActivationLock&) = delete;
  ActivationLock& operator=(const ActivationLock&) = delete;

  // Waits for the lock until the deadline; false when another activation
  // held it all that time.
  bool Take(Clock::time_point deadline) {
    if (fd_ < 0) return true;
    for (;;) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
      if (errno != EWOULDBLOCK && errno != EINTR) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(kRetryPause);
    }
  }

 private:
  void Refuse(const std::string& path, const std::wstring& why) {
    ReportCom(ComReport::kError, L"Activation goes on without its lock " + WideFromUtf8(path) + L": " + why);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
};

// Connects to the class's server, checking who it is; when nothing listens,
// activates it from the registration and waits for its socket, all within
// the activation time-out. An ordinary user's client looks for a server of
// its own first, then for the machine's; a SYSTEM client only for the
// machine's.
HRESULT ConnectToClass(const CLSID& clsid, const ComTimeouts& timeouts, int* fd, std::string* path) {
  const ComFolder own = OwnComFolder();
  std::vector<ComFolder> folders{own};
  if (!own.machine) folders.push_back(MachineComFolder());
  for (const ComFolder& folder : folders) {
    if (HRESULT result = ConnectChecked(folder, clsid, timeouts, fd, path); result != S_FALSE) return result;
  }
  std::wstring service, server;
  HRESULT registration = ClassLocalService(clsid, &service);
  if (registration == REGDB_E_CLASSNOTREG) registration = ClassLocalServer(clsid, &server);
  // A class without a registration makes nothing on disk: a client given a
  // mistyped machine root leaves it as it was. One that names what this
  // process may not start has been reported.
  if (FAILED(registration)) return registration;
  // What this process starts runs as its user, and listens where that
  // user's servers listen.
  std::wstring reason;
  if (int error = PrepareComFolder(own, &reason); error != 0) {
    ReportCom(ComReport::kError, L"Cannot activate class " + GuidText(clsid) + L": " + reason);
    return CO_E_SERVER_EXEC_FAILURE;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeouts.activationMilliseconds);
  auto gaveUp = [&](const std::wstring& what) {
    ReportCom(ComReport::kError, L"Activation of class " + GuidText(clsid) + L" gave up after " +
                                     std::to_wstring(timeouts.activationMilliseconds) + L" ms: " + what);
    return CO_E_SERVER_EXEC_FAILURE;
  };
  ActivationLock lock(own, clsid);
  if (!lock.Take(deadline)) {
    return gaveUp(L"another activation held the lock " + WideFromUtf8(ClassLockPath(own, clsid)) + L" all that time");
  }
  if (HRESULT result = ConnectChecked(own, clsid, timeouts, fd, path); result != S_FALSE) return result;
  auto ended = std::make_shared<std::atomic<bool>>(false);
  auto started = [](Win32Error error) { return error == 0 || error == kErrorServiceAlreadyRunning; };
  Win32Error start = 0;
  if (!service.empty()) start = StartNamedService(service);
  if (!service.empty() ? !started(start) : !StartServer(server, ended)) {
    return CO_E_SERVER_EXEC_FAILURE;
  }
  auto recheck = Clock::now() + kServiceRecheck;
  for (;;) {
    if (HRESULT result = ConnectChecked(own, clsid, timeouts, fd, path); result != S_FALSE) return result;
    auto now = Clock::now();
    if (ended->load()) return CO_E_SERVER_EXEC_FAILURE;
    if (now >= deadline) {
      return gaveUp(L"the started server's socket " + WideFromUtf8(ClassSocketPath(own, clsid)) + L" did not come");
    }
    // A service that ran already may be stopping, or dead: it is started
    // anew once the service control counts it as stopped.
    if (start == kErrorServiceAlreadyRunning && now >= recheck) {
      recheck = now + kServiceRecheck;
      start = StartNamedService(service);
      if (!started(start)) return CO_E_SERVER_EXEC_FAILURE;
    }
    SleepMilliseconds(5);
  }
}
}  // namespace

HRESULT CreateRemoteInstance(const CLSID& clsid, REFIID iid, void** object) {
  const ComTimeouts timeouts = CurrentComTimeouts();
  int fd = -1;
  std::string path;
  if (HRESULT result = ConnectToClass(clsid, timeouts, &fd, &path); FAILED(result)) return result;
  return ActivateOverConnection(fd, path, timeouts.callMilliseconds, iid, object);
}

}  // namespace wl::platform::posix
