// Child commands of the COM tests: the test server of TraceLogManager and
// client programs that reach it from other processes.
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com/com_frame.h"
#include "diagnostics/format.h"
#include "diagnostics/singleton.h"
#include "diagnostics/write_log.h"
#include "logclient/diagnostic.h"
#include "logclient/file_logger.h"
#include "logclient/logger.h"
#include "platform/system.h"
#include "platform/testing/raw_socket.h"
#include "service/module_lock.h"
#include "service/own_log_service.h"
#include "service/trace_log_manager_object.h"
#include "tests/support/com_test_support.h"

namespace wl::test {
namespace {

void WriteText(const std::filesystem::path& path, const std::string& text, bool append = false) {
  std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
  out << text;
}

// The local-server lock, with each count written where the tests read it.
class RecordingLock final : public ModuleLock {
 public:
  explicit RecordingLock(std::function<void()> onIdle) : inner_(std::move(onIdle)) {}
  long Lock() override { return Record(inner_.Lock()); }
  long Unlock() override { return Record(inner_.Unlock()); }
  [[nodiscard]] long GetLockCount() const override { return inner_.GetLockCount(); }

 private:
  long Record(long count) {
    std::lock_guard lock(mutex_);
    WriteText(ComServerFile("locks"), std::to_string(inner_.GetLockCount()));
    return count;
  }
  ServerProcessLock inner_;
  std::mutex mutex_;
};

// The object as a faulty service shows it: GetLogLevel fails, and every
// source asked for with GetComponentLogLevel is written to the file
// "com-server-asked"; everything else goes to the real object.
class FaultyManager final : public platform::RefCounted<ITraceLogManager> {
 public:
  explicit FaultyManager(ITraceLogManager* inner) : inner_(inner) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return platform::QueryInterfaceOf<ITraceLogManager>(this, riid, object, {IID_IDispatch, IID_ITraceLogManager});
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return inner_->GetTypeInfoCount(count); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return inner_->GetTypeInfo(index, lcid, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return inner_->GetIDsOfNames(riid, names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
    return inner_->Invoke(member, riid, lcid, flags, params, result, exception, argError);
  }
  HRESULT STDMETHODCALLTYPE Initialize() override { return inner_->Initialize(); }
  HRESULT STDMETHODCALLTYPE Close() override { return inner_->Close(); }
  HRESULT STDMETHODCALLTYPE LogMessage(ULONG source, ULONG level, BSTR text, SHORT flush) override {
    return inner_->LogMessage(source, level, text, flush);
  }
  HRESULT STDMETHODCALLTYPE GetLogLevel(ULONG*) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE SetLogLevel(ULONG level) override { return inner_->SetLogLevel(level); }
  HRESULT STDMETHODCALLTYPE SetComponentLogLevel(ULONG source, ULONG level) override {
    return inner_->SetComponentLogLevel(source, level);
  }
  HRESULT STDMETHODCALLTYPE GetComponentLogLevel(ULONG source, ULONG* level) override {
    WriteText(ComServerFile("asked"), std::to_string(source) + " ", true);
    return inner_->GetComponentLogLevel(source, level);
  }
  HRESULT STDMETHODCALLTYPE ResetLogs() override { return inner_->ResetLogs(); }
  HRESULT STDMETHODCALLTYPE LogMsg(USHORT source, USHORT level, BSTR text) override {
    return inner_->LogMsg(source, level, text);
  }

 private:
  ~FaultyManager() override { inner_->Release(); }
  ITraceLogManager* inner_;
};

// Hands out the real object behind a FaultyManager.
class FaultyFactory final : public platform::RefCounted<IClassFactory> {
 public:
  explicit FaultyFactory(IClassFactory* inner) : inner_(inner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return platform::QueryInterfaceOf<IClassFactory>(this, riid, object, {IID_IClassFactory});
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    ITraceLogManager* real = nullptr;
    HRESULT result = inner_->CreateInstance(outer, IID_ITraceLogManager, reinterpret_cast<void**>(&real));
    if (FAILED(result)) return result;
    auto* faulty = new FaultyManager(real);
    result = faulty->QueryInterface(riid, object);
    faulty->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override { return inner_->LockServer(lock); }

 private:
  ~FaultyFactory() override { inner_->Release(); }
  IClassFactory* inner_;
};

// com-server [-Embedding] [faulty] [report-self] [report-late]
// [limits=CONNECTIONS,PER-USER,BYTES]: serves TraceLogManager, its own
// Logger reaching the object as the service host's does. Activated
// (-Embedding) it ends when its last client leaves; started by a test it
// holds a lock of its own and ends when the stop file appears. faulty
// serves the object behind a FaultyManager; report-self makes the server
// log a line through its own Logger once it serves, report-late once its
// class is revoked; limits sets the transport's server limits.
int ComServer(const std::vector<std::wstring>& arguments) {
  bool activated = false, faulty = false, reportSelf = false, reportLate = false;
  for (const auto& argument : arguments) {
    activated |= argument == L"-Embedding" || argument == L"/Embedding";
    faulty |= argument == L"faulty";
    reportSelf |= argument == L"report-self";
    reportLate |= argument == L"report-late";
    if (argument.starts_with(L"limits=")) {
      platform::ComServerLimits limits;
      std::size_t first = argument.find(L','), second = argument.find(L',', first + 1);
      limits.connections = std::stoul(argument.substr(7, first - 7));
      limits.connectionsPerUser = std::stoul(argument.substr(first + 1, second - first - 1));
      limits.heldBytes = std::stoul(argument.substr(second + 1));
      platform::SetComServerLimits(limits);
    }
  }
  // Outlives the Logger, which the process's exit destroys.
  static OwnLogService ownService;
  SetInProcessLogService(&ownService);
  SetFileOutput(true);
  SendComReportsToDiagnostics();
  WriteText(ComServerFile("starts"), std::to_string(platform::GetCurrentProcessId()) + "\n", true);
  auto apartment = std::make_unique<ComApartment>();
  if (FAILED(apartment->result)) return 3;
  std::mutex mutex;
  std::condition_variable idle;
  bool quit = false;
  RecordingLock lock([&] {
    std::lock_guard guard(mutex);
    quit = true;
    idle.notify_all();
  });
  if (!activated) lock.Lock();
  TraceLogManagerFactory* served = TraceLogManagerFactory::Create(lock);
  IClassFactory* factory = served;
  if (faulty) factory = new FaultyFactory(factory);
  DWORD cookie = 0;
  HRESULT result = CoRegisterClassObject(CLSID_TraceLogManager, factory, CLSCTX_LOCAL_SERVER,
                                         REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
  if (SUCCEEDED(result)) ownService.Serve(served);
  if (SUCCEEDED(result)) result = CoResumeClassObjects();
  if (FAILED(result)) return 4;
  if (reportSelf) {
    // Reaches the object of this process from the Logger's thread; the
    // server's own lines go the same way as a client's.
    WriteLog(kDefaultLogSource, kLevelError, L"the server's own report");
    if (auto logger = GetLogger()) logger->WaitUntilSent();
  }
  WriteText(ComServerFile("ready"), "ready");
  {
    std::unique_lock guard(mutex);
    while (!(activated && quit) && !std::filesystem::exists(ComServerFile("stop"))) {
      idle.wait_for(guard, std::chrono::milliseconds(20));
    }
  }
  CoRevokeClassObject(cookie);
  ownService.Stop();
  if (reportLate) {
    WriteLog(kDefaultLogSource, kLevelError, L"the server's report after it served");
    if (auto logger = GetLogger()) logger->WaitUntilSent();
  }
  if (!activated) lock.Unlock();
  factory->Release();
  // Clients still connected are let go (their references released) while
  // the singletons the object uses are still there.
  apartment.reset();
  // The FileLogger writes out the diagnostic lines before the exit.
  LifetimeTracker::Instance().DestroyAll();
  WriteText(ComServerFile("ends"), std::to_string(platform::GetCurrentProcessId()) + "\n", true);
  return 0;
}

// Makes the object in the server as the client library does; null on
// failure, with the code in *result.
ITraceLogManager* Connect(HRESULT* result) {
  IUnknown* unknown = nullptr;
  *result = CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unknown));
  if (FAILED(*result)) return nullptr;
  ITraceLogManager* manager = nullptr;
  *result = OleRun(unknown);
  if (SUCCEEDED(*result)) *result = unknown->QueryInterface(IID_ITraceLogManager, reinterpret_cast<void**>(&manager));
  unknown->Release();
  return manager;
}

// com-client set-level N | get-level | log SOURCE LEVEL TEXT | hold READY-FILE |
// wait GO-FILE READY-FILE:
// exits with the level read, 0 after the other commands, 100 + n on
// failure (105 when the server was refused as not the one it should be,
// 102 when setting the level was refused). hold never ends by itself (the
// test kills it); wait keeps its reference until the go file appears.
int ComClient(const std::vector<std::wstring>& arguments) {
  ComApartment apartment;
  HRESULT result = S_OK;
  ITraceLogManager* manager = Connect(&result);
  if (manager == nullptr) return result == E_ACCESSDENIED ? 105 : 101;
  int exitCode = 0;
  if (arguments.at(0) == L"set-level") {
    exitCode = SUCCEEDED(manager->SetLogLevel(std::stoul(arguments.at(1)))) ? 0 : 102;
  } else if (arguments.at(0) == L"get-level") {
    ULONG level = 0;
    exitCode = SUCCEEDED(manager->GetLogLevel(&level)) ? static_cast<int>(level) : 103;
  } else if (arguments.at(0) == L"log") {
    platform::OwnedBstr text(arguments.at(3));
    exitCode = SUCCEEDED(manager->LogMessage(std::stoul(arguments.at(1)), std::stoul(arguments.at(2)), text.Get(), 0))
                   ? 0
                   : 104;
  } else if (arguments.at(0) == L"hold") {
    WriteText(arguments.at(1), "holding");
    for (;;) platform::SleepMilliseconds(1000);
  } else if (arguments.at(0) == L"wait") {
    WriteText(arguments.at(2), "connected");
    WaitForPath(arguments.at(1));
  }
  manager->Release();
  return exitCode;
}

// log-client N COUNT: logs COUNT messages "client N message I" of source 3
// and level 2 through the process's Logger, then stops it (everything
// queued is handed over first). Exits with 0.
int LogClient(const std::vector<std::wstring>& arguments) {
  const std::wstring& client = arguments.at(0);
  long count = std::stol(arguments.at(1));
  for (long i = 0; i < count; ++i) WriteLog(3, kLevelError, Format(L"client {} message {}", client, i));
  LifetimeTracker::Instance().DestroyAll();
  return 0;
}

// squat SOCKET REPORT [LINK]: what another user may try against the class
// socket: listens on SOCKET (and makes LINK a symbolic link to it) and
// never answers; accepts every connection and reads it to its end. REPORT
// holds "listening", then after each connection "connections C bytes B"
// (what clients sent). Exit code 10 when it cannot listen, 11 when it cannot
// make the link. Never ends by itself.
int Squat(const std::vector<std::wstring>& arguments) {
  int listener = platform::RawListen(arguments.at(0));
  if (listener < 0) return 10;
  if (arguments.size() > 2) {
    std::error_code error;
    std::filesystem::create_symlink(arguments.at(0), arguments.at(2), error);
    if (error) return 11;
  }
  WriteText(arguments.at(1), "listening");
  long connections = 0, bytes = 0;
  for (;;) {
    int connection = platform::RawAccept(listener);
    if (connection < 0) continue;
    char buffer[4096];
    for (long got; (got = platform::RawReceive(connection, buffer, sizeof(buffer))) > 0;) bytes += got;
    platform::RawClose(connection);
    WriteText(arguments.at(1), Format("connections {} bytes {}", ++connections, bytes));
  }
}

// user-server READY STOP: a user's own server of TraceLogManager, as
// RegServerPerUser registers it: serves the object until the file STOP
// appears; writes READY once it listens.
int UserServer(const std::vector<std::wstring>& arguments) {
  ComApartment apartment;
  if (FAILED(apartment.result)) return 3;
  ServerProcessLock lock;
  lock.Lock();
  TraceLogManagerFactory* factory = TraceLogManagerFactory::Create(lock);
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(CLSID_TraceLogManager, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
    return 4;
  }
  WriteText(arguments.at(0), "ready");
  WaitForPath(arguments.at(1));
  CoRevokeClassObject(cookie);
  factory->Release();
  return 0;
}

// connections SOCKET COUNT: opens COUNT connections to the class socket at
// once, each asking for the object; exits with the number that were
// answered (the others were closed by the server).
int Connections(const std::vector<std::wstring>& arguments) {
  platform::comframe::FrameBuffer activation;
  platform::comframe::AppendGuidFrame(activation, platform::comframe::FrameKind::kActivate, kTraceLogManagerIid);
  std::vector<int> sockets;
  int answered = 0;
  for (int i = 0; i < std::stoi(arguments.at(1)); ++i) {
    int socket = platform::RawConnect(arguments.at(0));
    if (socket < 0) continue;
    sockets.push_back(socket);
    char reply[64];
    if (platform::RawSend(socket, activation.data(), activation.size()) == static_cast<long>(activation.size()) &&
        platform::RawReceive(socket, reply, sizeof(reply)) > 0) {
      ++answered;
    }
  }
  for (int socket : sockets) platform::RawClose(socket);
  return answered;
}

// idle STARTED GO: a registered server that never listens: writes
// STARTED, then ends once GO appears.
int Idle(const std::vector<std::wstring>& arguments) {
  WriteText(arguments.at(0), "started");
  WaitForPath(arguments.at(1));
  return 0;
}

ChildCommand comServer(L"com-server", ComServer);
ChildCommand idle(L"idle", Idle);
ChildCommand squat(L"squat", Squat);
ChildCommand userServer(L"user-server", UserServer);
ChildCommand connections(L"connections", Connections);
ChildCommand logClient(L"log-client", LogClient);
ChildCommand comClient(L"com-client", ComClient);

}  // namespace
}  // namespace wl::test
