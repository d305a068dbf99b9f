// The client Logger end to end, in one run (Linux):
// - the caller's cost of Logger::Log, for a message that is queued and for
//   one that the level test drops (timed in groups of 16 calls, since one
//   clock read costs about as much as a dropped call), with the sender
//   linked to a running server;
// - messages per second from 1 and from 4 client processes, from their
//   start until every line is in the service's file: each client logs its
//   share through WriteLog and stops its Logger (which hands over what is
//   queued), the server being another process;
// - the same load sent with one synchronous LogMsg round trip per message
//   (the rate a client has without pipelining);
// - the core's in-process rate: the same lines handed to the object by
//   LogMsg in the server's own process, until every line is on disk.
// Each end-to-end figure is the median of three rounds, taken in turn.
// The children are this program started again.
//
//   logger_bench [messages-per-figure [batched]] [--csv FILE]
//   (batched: the service with BatchedWrites on)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "com/com.h"
#include "diagnostics/clock.h"
#include "diagnostics/format.h"
#include "diagnostics/singleton.h"
#include "diagnostics/write_log.h"
#include "logclient/diagnostic.h"
#include "logclient/log_tables.h"
#include "logclient/logger.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "service/module_lock.h"
#include "service/trace_log_manager_object.h"

namespace {

using namespace wl;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kSource = 3;
constexpr int kRounds = 3;

std::filesystem::path Root() { return platform::GetEnvVar(L"WAYLINE_ROOT").value_or(L"/tmp"); }

std::filesystem::path LogFile(const std::filesystem::path& root) {
  return root / "ProgramData" / "Kestrix" / "Wayline" /
         (platform::Utf8FromWide(std::wstring(LogFileBaseName(FileIndexForSource(kSource)))) + ".log");
}

// A message of about 100 characters, as a component writes them.
std::wstring Message(int client, long i) {
  return Format(L"client {} message {:08} of the benchmark load, with some words to reach a usual size", client, i);
}

bool WaitFor(const std::filesystem::path& path) {
  for (int i = 0; i < 6000; ++i) {
    if (std::filesystem::exists(path)) return true;
    platform::SleepMilliseconds(5);
  }
  return false;
}

// Counts the lines of a growing log file, across the service's rotation
// at 20 MiB at most (bench::FollowedFile).
class LineCounter {
 public:
  explicit LineCounter(std::filesystem::path path) : file_(std::move(path), [](std::string_view) {}) {}
  std::size_t Count() {
    lines_ += file_.Poll();
    return lines_;
  }
  // Waits until the file holds count lines more than at the call before.
  bool WaitForMore(std::size_t count) {
    std::size_t target = lines_ + count;
    for (int i = 0; i < 60000; ++i) {
      if (Count() >= target) return true;
      platform::SleepMilliseconds(1);
    }
    return false;
  }

 private:
  bench::FollowedFile file_;
  std::size_t lines_ = 0;
};

// Whether the service writes with BatchedWrites on ("batched" after the
// message count).
bool batchedWrites = false;

void SetUpRoot(const std::filesystem::path& root) {
  std::filesystem::create_directories(root);
  platform::SetEnvVar(L"WAYLINE_ROOT", root.wstring());
  platform::HKey key = nullptr;
  (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", platform::kKeyAllAccess,
                                    &key, nullptr);
  std::uint32_t limit = 20480;  // KiB per log file: the largest the service takes
  (void)platform::RegistrySetValue(key, L"MaxLogFileSize", platform::kRegDword, &limit, 4);
  std::uint32_t batched = batchedWrites ? 1 : 0;
  (void)platform::RegistrySetValue(key, L"BatchedWrites", platform::kRegDword, &batched, 4);
  (void)platform::RegistryCloseKey(key);
}

// server: serves TraceLogManager until the stop file appears.
// inproc COUNT: instead hands COUNT lines to its own object, waits until
// they are on disk and writes the rate into the file "rate" of its root.
int RunServer(long inProcess) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ServerProcessLock lock;
  lock.Lock();
  IClassFactory* factory = TraceLogManagerFactory::Create(lock);
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(CLSID_TraceLogManager, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
    return 1;
  }
  if (inProcess > 0) {
    ITraceLogManager* manager = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_ITraceLogManager,
                                reinterpret_cast<void**>(&manager)))) {
      return 2;
    }
    LineCounter lines(LogFile(Root()));
    platform::OwnedBstr first(L"first line");
    if (FAILED(manager->LogMsg(kSource, kLevelError, first.Get())) || !lines.WaitForMore(1)) return 3;
    auto start = Clock::now();
    for (long i = 0; i < inProcess; ++i) {
      platform::OwnedBstr text(FormatDiagnosticPrefix({LocalNow(), platform::GetCurrentThreadId()}) + Message(0, i));
      (void)manager->LogMsg(kSource, kLevelError, text.Get());
    }
    bool done = lines.WaitForMore(static_cast<std::size_t>(inProcess));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::ofstream(Root() / "rate") << (done ? static_cast<double>(inProcess) / seconds : 0.0);
    manager->Release();
  } else {
    std::ofstream(Root() / "ready") << "ready";
    while (!std::filesystem::exists(Root() / "stop")) platform::SleepMilliseconds(20);
  }
  CoRevokeClassObject(cookie);
  factory->Release();
  CoUninitialize();
  LifetimeTracker::Instance().DestroyAll();
  return 0;
}

// client N COUNT: COUNT messages through WriteLog, then the Logger stops.
int RunClient(int client, long count) {
  for (long i = 0; i < count; ++i) WriteLog(kSource, kLevelError, Message(client, i));
  LifetimeTracker::Instance().DestroyAll();
  return 0;
}

// sync-client COUNT: the same messages, one synchronous LogMsg each.
int RunSyncClient(long count) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ITraceLogManager* manager = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_ITraceLogManager,
                              reinterpret_cast<void**>(&manager)))) {
    return 1;
  }
  for (long i = 0; i < count; ++i) {
    platform::OwnedBstr text(FormatDiagnosticPrefix({LocalNow(), platform::GetCurrentThreadId()}) + Message(0, i));
    (void)manager->LogMsg(kSource, kLevelError, text.Get());
  }
  manager->Release();
  CoUninitialize();
  return 0;
}

std::unique_ptr<platform::ChildProcess> Child(std::vector<std::wstring> arguments) {
  Win32Error error = 0;
  auto child = platform::StartProcess(platform::GetExecutableFileName(), arguments, &error);
  if (!child) {
    std::fprintf(stderr, "cannot start a child: %u\n", static_cast<unsigned>(error));
    std::exit(1);
  }
  return child;
}

// Messages per second of the clients, from their start until the server's
// file holds every line.
double EndToEnd(LineCounter& lines, int clients, long perClient, bool synchronous) {
  (void)lines.Count();
  auto start = Clock::now();
  std::vector<std::unique_ptr<platform::ChildProcess>> children;
  for (int c = 0; c < clients; ++c) {
    children.push_back(synchronous ? Child({L"sync-client", std::to_wstring(perClient)})
                                   : Child({L"client", std::to_wstring(c), std::to_wstring(perClient)}));
  }
  for (auto& child : children) (void)child->Wait();
  if (!lines.WaitForMore(static_cast<std::size_t>(clients * perClient))) {
    std::fprintf(stderr, "lines are missing\n");
    std::exit(1);
  }
  return static_cast<double>(clients * perClient) / std::chrono::duration<double>(Clock::now() - start).count();
}

// Median cost of one call in nanoseconds, timed in groups of 16 calls;
// pause (not timed) runs after every 16,384 calls, so that a fast caller
// stays within what its Logger may hold.
template <typename Call, typename Pause>
double CallCost(long calls, Call call, Pause pause) {
  std::vector<double> groups;
  groups.reserve(static_cast<std::size_t>(calls / 16));
  for (long done = 0; done + 16 <= calls; done += 16) {
    if (done % 16384 == 0) pause();
    auto start = Clock::now();
    for (long i = done; i < done + 16; ++i) call(i);
    groups.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / 16);
  }
  std::sort(groups.begin(), groups.end());
  return groups[groups.size() / 2];
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  wl::bench::CsvFigures csv(argc, argv);
  wl::SendReportsToLogger();
  using wl::bench::LoadAverage;
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "server") return RunServer(0);
  if (mode == "inproc") return RunServer(std::stol(argv[2]));
  if (mode == "client") return RunClient(std::stoi(argv[2]), std::stol(argv[3]));
  if (mode == "sync-client") return RunSyncClient(std::stol(argv[2]));
  long messages = argc > 1 ? std::stol(argv[1]) : 200000;
  batchedWrites = argc > 2 && std::string(argv[2]) == "batched";
  long syncMessages = std::min(messages, 20000L);

  auto base = std::filesystem::temp_directory_path() /
              ("scribe-logger-bench-" + std::to_string(platform::GetCurrentProcessId()));
  std::printf("load average before: %s\n", LoadAverage().c_str());
  std::printf("service writes: %s\n", batchedWrites ? "batched (BatchedWrites 1)" : "one write per line");
  std::printf("load: messages of source %u, level 2, %zu characters after the client's 51-character stamp\n",
              static_cast<unsigned>(kSource), Message(0, 0).size());

  std::vector<double> inProcess;
  SetUpRoot(base / "service");
  auto server = Child({L"server"});
  if (!WaitFor(base / "service" / "ready")) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  LineCounter lines(LogFile(base / "service"));

  // The caller's cost, with this process's Logger linked to the server.
  auto logger = GetLogger();
  logger->Log(kSource, kLevelError, L"link");
  // The counter opens the file with its first line, before any rotation.
  if (!lines.WaitForMore(1)) return 1;
  const long calls = 200000;
  std::vector<std::wstring> texts;
  for (long i = 0; i < 64; ++i) texts.push_back(Message(9, i));
  auto sent = [&] { logger->WaitUntilSent(); };
  double accepted = CallCost(
      calls, [&](long i) { logger->Log(kSource, kLevelError, texts[i & 63]); }, sent);
  logger->WaitUntilSent();
  double dropped = CallCost(
      calls, [&](long i) { logger->Log(kSource, kLevelDebug, texts[i & 63]); }, [] {});
  logger.reset();
  LifetimeTracker::Instance().DestroyAll();
  if (!lines.WaitForMore(static_cast<std::size_t>(calls))) {
    std::fprintf(stderr, "the caller's lines are missing\n");
    return 1;
  }

  std::vector<double> one, four, synchronous;
  for (int round = 0; round < kRounds; ++round) {
    platform::SetEnvVar(L"WAYLINE_ROOT", (base / "service").wstring());
    one.push_back(EndToEnd(lines, 1, messages, false));
    four.push_back(EndToEnd(lines, 4, messages / 4, false));
    synchronous.push_back(EndToEnd(lines, 1, syncMessages, true));
    SetUpRoot(base / ("inproc" + std::to_string(round)));
    if (Child({L"inproc", std::to_wstring(messages)})->Wait() != 0) return 1;
    std::ifstream in(base / ("inproc" + std::to_string(round)) / "rate");
    double rate = 0;
    in >> rate;
    inProcess.push_back(rate);
  }
  std::ofstream(base / "service" / "stop") << "stop";
  (void)server->Wait();

  double oneRate = Median(one), fourRate = Median(four), core = Median(inProcess), sync = Median(synchronous);
  std::printf("Logger::Log, caller's cost, median: accepted %.0f ns, dropped by the level test %.1f ns\n", accepted,
              dropped);
  std::printf("messages per second until every line is on disk, median of %d rounds:\n", kRounds);
  std::printf("  1 client process,  %ld messages: %.0f (%.2f of the core in-process)\n", messages, oneRate,
              oneRate / core);
  std::printf("  4 client processes, %ld each: %.0f (%.2f of the core in-process)\n", messages / 4, fourRate,
              fourRate / core);
  std::printf("  1 client, one synchronous round trip per message, %ld messages: %.0f\n", syncMessages, sync);
  std::printf("  the core in-process (LogMsg in the server's process), %ld messages: %.0f\n", messages, core);
  std::printf("load average after: %s\n", LoadAverage().c_str());

  csv.Note(std::string("logger_bench ") + std::to_string(messages) + " messages per figure; service writes " +
           (batchedWrites ? "batched" : "one write per line") + "; medians of " + std::to_string(kRounds) + " rounds");
  csv.Add("caller", "Logger::Log accepted (median)", "ns", accepted, "goal", 1000);
  csv.Add("caller", "Logger::Log dropped by the level test (median)", "ns", dropped, "goal", 50);
  csv.Add("end to end", "1 client process", "messages/s", oneRate, "goal", 300000);
  csv.Add("end to end", "1 client process", "messages/s", oneRate, "the core in-process", core);
  csv.Add("end to end", "4 client processes", "messages/s", fourRate, "goal", 300000);
  csv.Add("end to end", "4 client processes", "messages/s", fourRate, "the core in-process", core);
  csv.Add("end to end", "1 client with one synchronous round trip per message", "messages/s", sync);
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  return 0;
}
