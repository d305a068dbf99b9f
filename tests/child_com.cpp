// Child commands of the COM tests: the test server of TraceLogManager and
// client programs that reach it from other processes.
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "logclient/diagnostic.h"
#include "diagnostics/singleton.h"
#include "logclient/file_logger.h"
#include "platform/system.h"
#include "service/module_lock.h"
#include "service/trace_log_manager_object.h"
#include "tests/com_test_support.h"

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
  long GetLockCount() const override { return inner_.GetLockCount(); }

 private:
  long Record(long count) {
    std::lock_guard lock(mutex_);
    WriteText(ComServerFile("locks"), std::to_string(inner_.GetLockCount()));
    return count;
  }
  ServerProcessLock inner_;
  std::mutex mutex_;
};

// com-server [-Embedding]: serves TraceLogManager. Activated (-Embedding) it
// ends when its last client leaves; started by a test it holds a lock of
// its own and ends when the stop file appears.
int ComServer(const std::vector<std::wstring>& arguments) {
  bool activated = false;
  for (const auto& argument : arguments) activated |= argument == L"-Embedding" || argument == L"/Embedding";
  SetFileOutput(true);
  platform::SetComReportSink([](platform::ComReport kind, std::wstring_view text) {
    WriteDiagnostic((kind == platform::ComReport::kError ? L"Error: " : L"Debug: ") + std::wstring(text));
  });
  WriteText(ComServerFile("starts"), std::to_string(platform::GetCurrentProcessId()) + "\n", true);
  ComApartment apartment;
  if (FAILED(apartment.result)) return 3;
  std::mutex mutex;
  std::condition_variable idle;
  bool quit = false;
  RecordingLock lock([&] {
    std::lock_guard guard(mutex);
    quit = true;
    idle.notify_all();
  });
  if (!activated) lock.Lock();
  TraceLogManagerFactory* factory = TraceLogManagerFactory::Create(lock);
  DWORD cookie = 0;
  HRESULT result = CoRegisterClassObject(CLSID_TraceLogManager, factory, CLSCTX_LOCAL_SERVER,
                                         REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
  if (SUCCEEDED(result)) result = CoResumeClassObjects();
  if (FAILED(result)) return 4;
  WriteText(ComServerFile("ready"), "ready");
  {
    std::unique_lock guard(mutex);
    while (!(activated && quit) && !std::filesystem::exists(ComServerFile("stop"))) {
      idle.wait_for(guard, std::chrono::milliseconds(20));
    }
  }
  CoRevokeClassObject(cookie);
  if (!activated) lock.Unlock();
  factory->Release();
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
// failure. hold never ends by itself (the test kills it); wait keeps its
// reference until the go file appears.
int ComClient(const std::vector<std::wstring>& arguments) {
  ComApartment apartment;
  HRESULT result = S_OK;
  ITraceLogManager* manager = Connect(&result);
  if (manager == nullptr) return 101;
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

ChildCommand comServer(L"com-server", ComServer);
ChildCommand comClient(L"com-client", ComClient);

}  // namespace
}  // namespace wl::test
