// The COM runtime on Linux: apartments, the class objects this process
// registers, the server process's reference count, activation by
// CoCreateInstance, and the hooks of the transport (service starter, report
// sink). The transport itself is in com_server.cpp and com_client.cpp.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "com/com.h"
#include "platform/command_line.h"
#include "platform/debug_output.h"
#include "platform/machine_root.h"
#include "platform/posix/checked_open.h"
#include "com/posix/com_internal.h"
#include "platform/posix/account_posix.h"
#include "com/posix/com_server.h"
#include "platform/posix/directories.h"
#include "registry/posix/registry_origin.h"
#include "platform/posix/trust.h"
#include "registry/registry.h"
#include "service_control/service_run.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

thread_local int threadInitCount = 0;
std::atomic<int> processInitCount{0};
std::atomic<ULONG> serverProcessCount{0};

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* classObject;
  DWORD context;
  bool suspended;
};

std::mutex& RegistrationsLock() {
  static std::mutex lock;
  return lock;
}
std::vector<Registration>& Registrations() {
  static std::vector<Registration> registrations;
  return registrations;
}

// Starts the installed service through the service control stand-in.
class InstalledServiceStarter final : public ServiceStarter {
 public:
  Win32Error StartServiceByName(std::wstring_view name) override { return StartInstalledService(name); }
};

InstalledServiceStarter defaultStarter;
std::atomic<ServiceStarter*> serviceStarter{&defaultStarter};

void DefaultSink(ComReport kind, std::wstring_view text) {
  if (kind == ComReport::kError) OutputDebugText(std::wstring(text) + L"\n");
}
std::atomic<ComReportSink> reportSink{&DefaultSink};

std::mutex& HooksLock() {
  static std::mutex lock;
  return lock;
}
ComTimeouts timeouts;
ComServerLimits serverLimits;

// Reads the default or a named string value of a key under
// HKEY_CLASSES_ROOT for an activation: S_OK with the text,
// REGDB_E_CLASSNOTREG when absent or empty, CO_E_SERVER_EXEC_FAILURE (and
// a report) when the hive that held it is not one this process trusts.
HRESULT ReadTrustedClassesText(const CLSID& clsid, const std::wstring& subKey, std::wstring_view name,
                               std::wstring* text) {
  posix::ValueOrigin origin;
  if (posix::QueryStringWithOrigin(kHKeyClassesRoot, subKey, name, text, &origin) != 0 || text->empty()) {
    text->clear();
    return REGDB_E_CLASSNOTREG;
  }
  if (posix::TrustsOrigin(origin)) return S_OK;
  posix::ReportCom(ComReport::kError,
                   L"Refused to activate " + GuidText(clsid) + L": HKCR\\" + subKey + L" comes from the registry hive " +
                       WideFromUtf8(origin.hive) + L" of " + WideFromUtf8(posix::DescribeUser(origin.owner)));
  text->clear();
  return CO_E_SERVER_EXEC_FAILURE;
}

}  // namespace

void SetServiceStarter(ServiceStarter* starter) { serviceStarter = starter == nullptr ? &defaultStarter : starter; }

void SetComReportSink(ComReportSink sink) { reportSink = sink == nullptr ? &DefaultSink : sink; }

void SetComTimeouts(const ComTimeouts& value) {
  std::lock_guard lock(HooksLock());
  timeouts = value;
}

void SetComServerLimits(const ComServerLimits& limits) {
  std::lock_guard lock(HooksLock());
  serverLimits = limits;
}

namespace posix {

void ReportCom(ComReport kind, std::wstring_view text) { reportSink.load()(kind, text); }

HRESULT ClassLocalServer(const CLSID& clsid, std::wstring* commandLine) {
  HRESULT result = ReadTrustedClassesText(clsid, L"CLSID\\" + GuidText(clsid) + L"\\LocalServer32", L"", commandLine);
  if (FAILED(result)) return result;
  std::vector<std::string> words = SplitCommandLine(Utf8FromWide(*commandLine));
  std::string refusal = words.empty() ? std::string() : ProgramRefusal(words.front());
  if (refusal.empty()) return S_OK;
  ReportCom(ComReport::kError, L"Refused to start the server of " + GuidText(clsid) + L": " + WideFromUtf8(refusal));
  commandLine->clear();
  return CO_E_SERVER_EXEC_FAILURE;
}

HRESULT ClassLocalService(const CLSID& clsid, std::wstring* serviceName) {
  std::wstring appId;
  HRESULT result = ReadTrustedClassesText(clsid, L"CLSID\\" + GuidText(clsid), L"AppID", &appId);
  if (FAILED(result)) return result;
  return ReadTrustedClassesText(clsid, L"AppID\\" + appId, L"LocalService", serviceName);
}

Win32Error StartNamedService(std::wstring_view name) { return serviceStarter.load()->StartServiceByName(name); }

bool AwaitReadable(int fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
  do {
    pollfd poller{fd, POLLIN, 0};
    if (poll(&poller, 1, 0) > 0) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

ComFolder MachineComFolder() { return {Utf8FromWide(MachineRoot()) + "/run/com", true}; }

ComFolder UserComFolder() { return {UserStateRoot() + "/run/com", false}; }

ComFolder OwnComFolder() { return ProcessIsSystem() ? MachineComFolder() : UserComFolder(); }

std::string ClassSocketPath(const ComFolder& folder, const CLSID& clsid) {
  return folder.path + "/" + Utf8FromWide(GuidText(clsid)) + ".sock";
}

std::string ClassLockPath(const ComFolder& folder, const CLSID& clsid) {
  return folder.path + "/" + Utf8FromWide(GuidText(clsid)) + ".lock";
}

int PrepareComFolder(const ComFolder& folder, std::wstring* reason) {
  const mode_t mode = folder.machine ? 0755 : 0700;
  auto fail = [&](int error, std::wstring text) {
    *reason = L"the folder " + WideFromUtf8(folder.path) + L" " + text;
    return error;
  };
  if (folder.machine && !ProcessIsSystem()) return fail(EACCES, L"is made by SYSTEM only");
  if (!folder.machine) {
    // The user's state folder is private: made here, it is the user's alone.
    std::string state = UserStateRoot();
    if (int error = MakeDirectories(state.substr(0, state.rfind('/')))) return fail(error, L"cannot be made");
    if (mkdir(state.c_str(), 0700) == 0) chmod(state.c_str(), 0700);
  }
  if (int error = MakeDirectories(folder.path.substr(0, folder.path.rfind('/')))) return fail(error, L"cannot be made");
  bool made = mkdir(folder.path.c_str(), mode) == 0;
  if (!made && errno != EEXIST) return fail(errno, L"cannot be made");
  int fd = open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return fail(errno, errno == ELOOP || errno == ENOTDIR ? L"is not a folder (a link or a file is in its place)"
                                                          : L"cannot be opened");
  }
  struct stat info {};
  int error = fstat(fd, &info) == 0 ? 0 : errno;
  const uid_t self = geteuid();
  if (error == 0 && made && fchmod(fd, mode) == 0) info.st_mode = (info.st_mode & ~07777) | mode;
  // Made by root in a root that the service account owns, the folder is the
  // account's, so that the service may put its socket there.
  struct stat root {};
  if (error == 0 && folder.machine && self == 0 && info.st_uid == 0 &&
      stat(Utf8FromWide(MachineRoot()).c_str(), &root) == 0 && root.st_uid != 0 &&
      fchown(fd, root.st_uid, static_cast<gid_t>(-1)) == 0) {
    info.st_uid = root.st_uid;
  }
  if (error == 0) {
    bool trusted = folder.machine ? IsSystemAccount(info.st_uid) : info.st_uid == self;
    if (!trusted) {
      error = EACCES;
      *reason = L"the folder " + WideFromUtf8(folder.path) + L" belongs to user " + std::to_wstring(info.st_uid) +
                L", not to " + (folder.machine ? L"SYSTEM" : L"this user");
    } else if ((info.st_mode & 022) != 0) {
      // Left open to others by an earlier version (or by hand): closed again
      // by its owner, refused otherwise.
      if ((self != 0 && info.st_uid != self) || fchmod(fd, mode) != 0) {
        error = EACCES;
        *reason = L"the folder " + WideFromUtf8(folder.path) + L" may be written by other users";
      }
    }
  } else {
    *reason = L"the folder " + WideFromUtf8(folder.path) + L" cannot be examined";
  }
  close(fd);
  return error;
}

ComTimeouts CurrentComTimeouts() {
  std::lock_guard lock(HooksLock());
  return timeouts;
}

ComServerLimits CurrentComServerLimits() {
  std::lock_guard lock(HooksLock());
  return serverLimits;
}

IUnknown* FindLocalClassObject(const CLSID& clsid) {
  std::lock_guard lock(RegistrationsLock());
  for (const Registration& registration : Registrations()) {
    if (registration.clsid == clsid) {
      registration.classObject->AddRef();
      return registration.classObject;
    }
  }
  return nullptr;
}

}  // namespace posix
}  // namespace wl::platform

using namespace wl::platform;

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  // There is one apartment here, the multithreaded one.
  if ((dwCoInit & COINIT_APARTMENTTHREADED) != 0) return threadInitCount > 0 ? RPC_E_CHANGED_MODE : E_NOTIMPL;
  ++processInitCount;
  return threadInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (threadInitCount == 0) return;
  --threadInitCount;
  // The last one out stops the transport: listeners, connections (their
  // references are released) and the server threads.
  if (--processInitCount == 0) posix::StopComServer();
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, DWORD* lpdwRegister) {
  if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
  if (processInitCount == 0) return CO_E_NOTINITIALIZED;
  static std::atomic<DWORD> nextCookie{1};
  Registration registration{nextCookie++, rclsid, pUnk, dwClsContext, (flags & REGCLS_SUSPENDED) != 0};
  if ((dwClsContext & CLSCTX_LOCAL_SERVER) != 0 && !registration.suspended) {
    if (HRESULT result = posix::ListenForClass(rclsid); FAILED(result)) return result;
  }
  pUnk->AddRef();
  std::lock_guard lock(RegistrationsLock());
  Registrations().push_back(registration);
  *lpdwRegister = registration.cookie;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  IUnknown* classObject = nullptr;
  {
    std::lock_guard lock(RegistrationsLock());
    auto& registrations = Registrations();
    for (auto it = registrations.begin(); it != registrations.end(); ++it) {
      if (it->cookie != dwRegister) continue;
      classObject = it->classObject;
      posix::StopListeningForClass(it->clsid);
      registrations.erase(it);
      break;
    }
  }
  if (classObject == nullptr) return E_INVALIDARG;
  classObject->Release();
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  std::lock_guard lock(RegistrationsLock());
  for (Registration& registration : Registrations()) {
    if (!registration.suspended) continue;
    if ((registration.context & CLSCTX_LOCAL_SERVER) != 0) {
      if (HRESULT result = posix::ListenForClass(registration.clsid); FAILED(result)) return result;
    }
    registration.suspended = false;
  }
  return S_OK;
}

HRESULT CoSuspendClassObjects() {
  std::lock_guard lock(RegistrationsLock());
  for (Registration& registration : Registrations()) {
    if (registration.suspended) continue;
    posix::StopListeningForClass(registration.clsid);
    registration.suspended = true;
  }
  return S_OK;
}

ULONG CoAddRefServerProcess() { return ++serverProcessCount; }

ULONG CoReleaseServerProcess() {
  ULONG count = --serverProcessCount;
  // As on Windows, a server whose count reaches 0 takes no new activations:
  // a client that comes now starts a new server.
  if (count == 0) CoSuspendClassObjects();
  return count;
}

HRESULT OleRun(IUnknown* pUnknown) { return pUnknown == nullptr ? E_INVALIDARG : S_OK; }

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (processInitCount == 0) return CO_E_NOTINITIALIZED;
  // A class object registered in this process is found first.
  if (IUnknown* classObject = posix::FindLocalClassObject(rclsid)) {
    IClassFactory* factory = nullptr;
    HRESULT result = classObject->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
    classObject->Release();
    if (FAILED(result)) return result;
    result = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return result;
  }
  if ((dwClsContext & CLSCTX_LOCAL_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return posix::CreateRemoteInstance(rclsid, riid, ppv);
}
