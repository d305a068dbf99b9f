// The COM transport of the Linux build against plain Unix-domain sockets,
// in one run. Each figure is the median of nine rounds, the rounds of all
// figures taken in turn so that a change of the machine's load touches
// them alike; a ratio to a raw figure is the median of the rounds' own
// ratios (the transport's round right after the raw one):
// - synchronous calls (GetLogLevel, LogMsg) through the proxy, against a raw
//   ping-pong of frames of the same sizes;
// - pipelined LogMsg calls in batches of 1000, against a raw loop that sends
//   the same frames in batches and reads one reply per frame.
// Each call is measured twice: against a server object that does nothing
// (the transport's own cost, the figure to hold against the raw loops) and
// against the real TraceLogManager (intake, and for kept messages the
// writer thread putting them on disk). The servers are this program started
// again ("server", "null-server", "raw-server").
//
//   com_bench [sync-calls-per-round] [pipelined-calls-per-round] [--csv FILE]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "com/com.h"
#include "com/com_frame.h"
#include "diagnostics/singleton.h"
#include "logclient/logger.h"
#include "logclient/trace_log_manager_proxy.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/testing/raw_socket.h"
#include "registry/registry.h"
#include "service/module_lock.h"
#include "service/trace_log_manager_object.h"

namespace {

using namespace wl;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatch = 1000;
constexpr int kRounds = 9;
const std::wstring kText(100, L'x');

std::filesystem::path Root() { return platform::GetEnvVar(L"WAYLINE_ROOT").value_or(L"/tmp"); }

bool WaitFor(const std::filesystem::path& path) {
  for (int i = 0; i < 6000; ++i) {
    if (std::filesystem::exists(path)) return true;
    platform::SleepMilliseconds(5);
  }
  return false;
}

// An ITraceLogManager that does nothing: what remains is the transport.
class NullManager final : public ITraceLogManager {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return platform::QueryInterfaceOf<ITraceLogManager>(this, riid, object, {IID_IDispatch, IID_ITraceLogManager});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Initialize() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LogMessage(ULONG, ULONG, BSTR, SHORT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetLogLevel(ULONG* level) override {
    *level = 4;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetLogLevel(ULONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetComponentLogLevel(ULONG, ULONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetComponentLogLevel(ULONG, ULONG* level) override {
    *level = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ResetLogs() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LogMsg(USHORT, USHORT, BSTR) override { return S_OK; }
};

class NullFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return platform::QueryInterfaceOf<IClassFactory>(this, riid, object, {IID_IClassFactory});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** object) override {
    return manager.QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
  NullManager manager;
};

int RunServer(bool null) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  platform::AddBuiltInTypeLibrary(ScribeHostTypeLib());
  ServerProcessLock lock;
  lock.Lock();
  NullFactory nullFactory;
  IClassFactory* factory = null ? static_cast<IClassFactory*>(&nullFactory) : TraceLogManagerFactory::Create(lock);
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(CLSID_TraceLogManager, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
    return 1;
  }
  std::ofstream(Root() / "ready") << "ready";
  while (!std::filesystem::exists(Root() / "stop")) platform::SleepMilliseconds(20);
  CoRevokeClassObject(cookie);
  factory->Release();
  CoUninitialize();
  LifetimeTracker::Instance().DestroyAll();
  return 0;
}

const platform::MethodDescription& Method(int slot) {
  return *platform::FindMethodBySlot(TraceLogManagerInterface(), slot);
}

// The frames of a call of the method, as the transport sends them.
std::string CallFrame(int slot) {
  platform::OwnedBstr text(kText);
  platform::CallValue values[3];
  values[0].number = 1;
  values[1].number = 1;
  values[2].text = text.Get();
  platform::comframe::FrameBuffer frame;
  platform::comframe::AppendCall(frame, 0, Method(slot), values);
  return std::string(frame.View());
}

std::string ReplyFrame(int slot) {
  platform::comframe::FrameBuffer frame;
  platform::CallValue values[3];
  platform::comframe::AppendReply(frame, S_OK, &Method(slot), values);
  return std::string(frame.View());
}

// Serves one connection per method (GetLogLevel, then LogMsg): answers every
// whole request with a reply, all replies of one read in one write.
int RunRawServer() {
  int listener = platform::RawListen((Root() / "raw.sock").wstring());
  std::ofstream(Root() / "raw-ready") << "ready";
  for (int slot : {10, 15}) {
    std::size_t request = CallFrame(slot).size();
    std::string reply = ReplyFrame(slot);
    int socket = platform::RawAccept(listener);
    std::vector<char> buffer(256 * 1024);
    std::size_t held = 0;
    std::string out;
    for (;;) {
      long got = platform::RawReceive(socket, buffer.data() + held, buffer.size() - held);
      if (got <= 0) break;
      held += static_cast<std::size_t>(got);
      std::size_t whole = held / request;
      out.clear();
      for (std::size_t i = 0; i < whole; ++i) out += reply;
      if (!out.empty() && platform::RawSend(socket, out.data(), out.size()) != static_cast<long>(out.size())) break;
      held -= whole * request;
      std::copy(buffer.begin() + static_cast<long>(whole * request),
                buffer.begin() + static_cast<long>(whole * request + held), buffer.begin());
    }
    platform::RawClose(socket);
  }
  platform::RawClose(listener);
  return 0;
}

bool ReceiveAll(int socket, std::size_t bytes, std::vector<char>& buffer) {
  while (bytes > 0) {
    long got = platform::RawReceive(socket, buffer.data(), std::min(buffer.size(), bytes));
    if (got <= 0) return false;
    bytes -= static_cast<std::size_t>(got);
  }
  return true;
}

// Waits until the real server's writer thread has put the kept messages on
// disk (the files under root stop growing), so that it does not take a core
// from the rounds that follow.
void WaitForWriter(const std::filesystem::path& root) {
  auto written = [&] {
    std::uintmax_t bytes = 0;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_regular_file(error)) bytes += it->file_size(error);
    }
    return bytes;
  };
  for (std::uintmax_t before = written();;) {
    platform::SleepMilliseconds(50);
    std::uintmax_t now = written();
    if (now == before) return;
    before = now;
  }
}

double Rate(std::size_t calls, const std::function<void()>& run) {
  auto start = Clock::now();
  run();
  return static_cast<double>(calls) / std::chrono::duration<double>(Clock::now() - start).count();
}

struct Connection {
  ITraceLogManager* manager = nullptr;
  ITraceLogManagerPipeline* pipeline = nullptr;
};

Connection Connect(const std::filesystem::path& root) {
  platform::SetEnvVar(L"WAYLINE_ROOT", root.wstring());
  Connection connection;
  if (FAILED(CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_ITraceLogManager,
                              reinterpret_cast<void**>(&connection.manager))) ||
      FAILED(connection.manager->QueryInterface(kTraceLogManagerPipelineIid,
                                                reinterpret_cast<void**>(&connection.pipeline)))) {
    std::fprintf(stderr, "no object under %s\n", root.c_str());
    std::exit(1);
  }
  return connection;
}

std::unique_ptr<platform::ChildProcess> Start(const std::filesystem::path& root, const wchar_t* mode,
                                              const char* ready) {
  std::filesystem::create_directories(root);
  platform::SetEnvVar(L"WAYLINE_ROOT", root.wstring());
  platform::HKey key = nullptr;
  (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", platform::kKeyAllAccess,
                                    &key, nullptr);
  std::uint32_t limit = 20480;  // KiB per log file
  (void)platform::RegistrySetValue(key, L"MaxLogFileSize", platform::kRegDword, &limit, 4);
  (void)platform::RegistryCloseKey(key);
  Win32Error error = 0;
  auto child = platform::StartProcess(platform::GetExecutableFileName(), {mode}, &error);
  if (!child || !WaitFor(root / ready)) {
    std::fprintf(stderr, "the %ls server did not start\n", mode);
    std::exit(1);
  }
  return child;
}

}  // namespace

int main(int argc, char** argv) {
  wl::bench::CsvFigures csv(argc, argv);
  wl::SendReportsToLogger();
  using wl::bench::LoadAverage;
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "server") return RunServer(false);
  if (mode == "null-server") return RunServer(true);
  if (mode == "raw-server") return RunRawServer();
  std::size_t syncCalls = argc > 1 ? std::stoul(argv[1]) : 20000;
  std::size_t pipelinedCalls = argc > 2 ? std::stoul(argv[2]) : 400000;
  pipelinedCalls = std::max(kBatch, pipelinedCalls / kBatch * kBatch);

  auto base =
      std::filesystem::temp_directory_path() / ("scribe-com-bench-" + std::to_string(platform::GetCurrentProcessId()));
  auto realRoot = base / "real", nullRoot = base / "null", rawRoot = base / "raw";
  std::printf("load average before: %s\n", LoadAverage().c_str());
  auto realServer = Start(realRoot, L"server", "ready");
  auto nullServer = Start(nullRoot, L"null-server", "ready");
  auto rawServer = Start(rawRoot, L"raw-server", "raw-ready");

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Connection real = Connect(realRoot), null = Connect(nullRoot);
  platform::OwnedBstr text(kText);
  std::vector<char> buffer(256 * 1024);
  std::vector<HRESULT> results(kBatch);

  auto syncLevels = [&](Connection c) {
    return Rate(syncCalls, [&] {
      ULONG level = 0;
      for (std::size_t i = 0; i < syncCalls; ++i) c.manager->GetLogLevel(&level);
    });
  };
  auto syncLogs = [&](Connection c) {
    return Rate(syncCalls, [&] {
      for (std::size_t i = 0; i < syncCalls; ++i) c.manager->LogMsg(1, 1, text.Get());
    });
  };
  auto pipelined = [&](Connection c, USHORT level) {
    return Rate(pipelinedCalls, [&] {
      for (std::size_t done = 0; done < pipelinedCalls; done += kBatch) {
        for (std::size_t i = 0; i < kBatch; ++i) c.pipeline->SendLogMsg(1, level, text.Get());
        c.pipeline->ReceiveResults(kBatch, results.data());
      }
    });
  };
  auto rawSync = [&](int socket, const std::string& request, std::size_t reply) {
    return Rate(syncCalls, [&] {
      for (std::size_t i = 0; i < syncCalls; ++i) {
        platform::RawSend(socket, request.data(), request.size());
        ReceiveAll(socket, reply, buffer);
      }
    });
  };
  auto rawPipelined = [&](int socket, const std::string& batch, std::size_t reply) {
    return Rate(pipelinedCalls, [&] {
      for (std::size_t done = 0; done < pipelinedCalls; done += kBatch) {
        platform::RawSend(socket, batch.data(), batch.size());
        ReceiveAll(socket, kBatch * reply, buffer);
      }
    });
  };

  std::string levelCall = CallFrame(10), logCall = CallFrame(15), batch;
  std::size_t levelReply = ReplyFrame(10).size(), logReply = ReplyFrame(15).size();
  for (std::size_t i = 0; i < kBatch; ++i) batch += logCall;

  enum Figure {
    kSyncLevelNull,
    kSyncLevelReal,
    kSyncLevelRaw,
    kSyncLogNull,
    kSyncLogReal,
    kSyncLogRaw,
    kPipeNull,
    kPipeDropped,
    kPipeReal,
    kPipeRaw,
    kFigures
  };
  std::vector<std::vector<double>> rounds(kFigures);
  int rawLevels = platform::RawConnect((rawRoot / "raw.sock").wstring());
  int rawLogs = -1;
  for (int round = 0; round < kRounds; ++round) {
    rounds[kSyncLevelRaw].push_back(rawSync(rawLevels, levelCall, levelReply));
    rounds[kSyncLevelNull].push_back(syncLevels(null));
    rounds[kSyncLevelReal].push_back(syncLevels(real));
  }
  platform::RawClose(rawLevels);
  rawLogs = platform::RawConnect((rawRoot / "raw.sock").wstring());
  for (int round = 0; round < kRounds; ++round) {
    rounds[kSyncLogRaw].push_back(rawSync(rawLogs, logCall, logReply));
    rounds[kSyncLogNull].push_back(syncLogs(null));
    rounds[kSyncLogReal].push_back(syncLogs(real));
    rounds[kPipeRaw].push_back(rawPipelined(rawLogs, batch, logReply));
    rounds[kPipeNull].push_back(pipelined(null, 1));
    rounds[kPipeDropped].push_back(pipelined(real, 6));
    rounds[kPipeReal].push_back(pipelined(real, 1));
    WaitForWriter(realRoot);
  }
  platform::RawClose(rawLogs);
  // The ratio of each round (the transport against the raw figure taken
  // just before it), then the median of those: the machine's load moves
  // less within a round than across the run.
  auto ratio = [&](Figure transport, Figure raw) {
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) ratios.push_back(rounds[transport][round] / rounds[raw][round]);
    std::sort(ratios.begin(), ratios.end());
    return ratios[kRounds / 2];
  };
  double levelRatio = ratio(kSyncLevelNull, kSyncLevelRaw), logRatio = ratio(kSyncLogNull, kSyncLogRaw),
         pipeRatio = ratio(kPipeNull, kPipeRaw);
  std::vector<double> median(kFigures);
  for (int f = 0; f < kFigures; ++f) {
    std::vector<double> sorted = rounds[f];
    std::sort(sorted.begin(), sorted.end());
    median[f] = sorted[kRounds / 2];
  }

  std::printf("frames: GetLogLevel %zu + %zu bytes, LogMsg (100 characters) %zu + %zu bytes\n", levelCall.size(),
              levelReply, logCall.size(), logReply);
  std::printf("calls per second, median of %d rounds (in brackets: the median of the rounds' ratios to raw):\n",
              kRounds);
  std::printf("  synchronous GetLogLevel: raw %.0f, transport %.0f (%.2f of raw), real object %.0f\n",
              median[kSyncLevelRaw], median[kSyncLevelNull], levelRatio, median[kSyncLevelReal]);
  std::printf("  synchronous LogMsg:      raw %.0f, transport %.0f (%.2f of raw), real object %.0f\n",
              median[kSyncLogRaw], median[kSyncLogNull], logRatio, median[kSyncLogReal]);
  std::printf(
      "  pipelined LogMsg:        raw %.0f, transport %.0f (%.2f of raw), real object %.0f dropped / %.0f kept\n",
      median[kPipeRaw], median[kPipeNull], pipeRatio, median[kPipeDropped], median[kPipeReal]);
  std::printf("load average after: %s\n", LoadAverage().c_str());

  csv.Note("com_bench " + std::to_string(syncCalls) + " synchronous and " + std::to_string(pipelinedCalls) +
           " pipelined calls per round; medians of " + std::to_string(kRounds) + " rounds");
  csv.Add("ratios", "synchronous GetLogLevel / raw ping-pong", "ratio", levelRatio, "goal", 0.8);
  csv.Add("ratios", "synchronous LogMsg / raw ping-pong", "ratio", logRatio, "goal", 0.8);
  csv.Add("ratios", "pipelined LogMsg / raw loop", "ratio", pipeRatio, "goal", 0.7);
  csv.Add("calls", "synchronous GetLogLevel: transport", "calls/s", median[kSyncLevelNull], "raw ping-pong",
          median[kSyncLevelRaw]);
  csv.Add("calls", "synchronous GetLogLevel: real object", "calls/s", median[kSyncLevelReal], "raw ping-pong",
          median[kSyncLevelRaw]);
  csv.Add("calls", "synchronous LogMsg: transport", "calls/s", median[kSyncLogNull], "raw ping-pong",
          median[kSyncLogRaw]);
  csv.Add("calls", "synchronous LogMsg: real object", "calls/s", median[kSyncLogReal], "raw ping-pong",
          median[kSyncLogRaw]);
  csv.Add("calls", "pipelined LogMsg: transport", "calls/s", median[kPipeNull], "raw loop", median[kPipeRaw]);
  csv.Add("calls", "pipelined LogMsg: real object dropping", "calls/s", median[kPipeDropped], "raw loop",
          median[kPipeRaw]);
  csv.Add("calls", "pipelined LogMsg: real object writing to disk", "calls/s", median[kPipeReal], "goal", 300000);

  for (Connection c : {real, null}) {
    c.pipeline->Release();
    c.manager->Release();
  }
  CoUninitialize();
  for (const auto& root : {realRoot, nullRoot}) std::ofstream(root / "stop") << "stop";
  realServer->Wait();
  nullServer->Wait();
  rawServer->Wait();
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  return 0;
}
