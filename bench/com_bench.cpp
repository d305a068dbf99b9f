// The COM transport of the Linux build against plain Unix-domain sockets,
// in one run: synchronous LogMsg calls through the proxy against a raw
// ping-pong of frames of the same sizes, and pipelined LogMsg calls against
// a raw loop that sends the same frames in batches and reads the replies.
// The servers are this program started again ("server", "raw-server").
//
//   com_bench [sync-calls] [pipelined-calls]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "diagnostics/singleton.h"
#include "platform/com.h"
#include "platform/com_frame.h"
#include "platform/process.h"
#include "platform/raw_socket.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"
#include "service/module_lock.h"
#include "service/trace_log_manager_object.h"
#include "service/trace_log_manager_proxy.h"
#include "service/trace_log_manager_type.h"

namespace {

using namespace wl;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatch = 1000;
const std::wstring kText(100, L'x');

std::filesystem::path Root() { return platform::GetEnvVar(L"WAYLINE_ROOT").value_or(L"/tmp"); }

bool WaitFor(const std::filesystem::path& path) {
  for (int i = 0; i < 6000; ++i) {
    if (std::filesystem::exists(path)) return true;
    platform::SleepMilliseconds(5);
  }
  return false;
}

int RunServer() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ServerProcessLock lock;
  lock.Lock();
  TraceLogManagerFactory* factory = TraceLogManagerFactory::Create(lock);
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

// A GetLogLevel call frame and its reply, as the transport sends them.
std::string LevelRequestFrame() {
  std::string frame;
  platform::CallValue values[1];
  platform::comframe::AppendCall(frame, 0, *platform::FindMethodBySlot(TraceLogManagerInterface(), 10), values);
  return frame;
}

std::string LevelReplyFrame() {
  std::string frame;
  platform::CallValue values[1];
  platform::comframe::AppendReply(frame, S_OK, platform::FindMethodBySlot(TraceLogManagerInterface(), 10), values);
  return frame;
}

// A LogMsg call frame and its reply, as the transport sends them.
std::string RequestFrame() {
  platform::OwnedBstr text(kText);
  platform::CallValue values[3];
  values[0].number = 1;
  values[1].number = 1;
  values[2].text = text.Get();
  std::string frame;
  platform::comframe::AppendCall(frame, 0, *platform::FindMethodBySlot(TraceLogManagerInterface(), 15), values);
  return frame;
}

std::string ReplyFrame() {
  std::string frame;
  platform::CallValue values[3];
  platform::comframe::AppendReply(frame, S_OK, platform::FindMethodBySlot(TraceLogManagerInterface(), 15), values);
  return frame;
}

// Answers every whole request with a reply, all replies of one read in one
// write, until the client goes.
int RunRawServer(bool levels) {
  std::size_t request = levels ? LevelRequestFrame().size() : RequestFrame().size();
  std::string reply = levels ? LevelReplyFrame() : ReplyFrame();
  std::string name = levels ? "raw-levels" : "raw";
  int listener = platform::RawListen((Root() / (name + ".sock")).wstring());
  std::ofstream(Root() / (name + "-ready")) << "ready";
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

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string LoadAverage() {
  std::string text;
  std::getline(std::ifstream("/proc/loadavg"), text);
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "server") return RunServer();
  if (mode == "raw-server") return RunRawServer(false);
  if (mode == "raw-level-server") return RunRawServer(true);
  std::size_t syncCalls = argc > 1 ? std::stoul(argv[1]) : 100000;
  std::size_t pipelinedCalls = argc > 2 ? std::stoul(argv[2]) : 2000000;

  auto root = std::filesystem::temp_directory_path() / ("scribe-com-bench-" + std::to_string(platform::GetCurrentProcessId()));
  std::filesystem::create_directories(root);
  platform::SetEnvVar(L"WAYLINE_ROOT", root.wstring());
  std::wstring self = platform::GetExecutableFileName();
  platform::RegisterTypeLibrary(ScribeHostTypeLib(), self);
  platform::HKey key = nullptr;
  platform::RegistryCreateKey(platform::kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", platform::kKeyAllAccess, &key, nullptr);
  std::uint32_t limit = 20480;
  platform::RegistrySetValue(key, L"MaxLogFileSize", platform::kRegDword, &limit, 4);
  platform::RegistryCloseKey(key);
  std::printf("load average before: %s\n", LoadAverage().c_str());

  Win32Error error = 0;
  auto server = platform::StartProcess(self, {L"server"}, &error);
  auto rawServer = platform::StartProcess(self, {L"raw-server"}, &error);
  auto rawLevelServer = platform::StartProcess(self, {L"raw-level-server"}, &error);
  if (!server || !rawServer || !rawLevelServer || !WaitFor(root / "ready") || !WaitFor(root / "raw-ready") ||
      !WaitFor(root / "raw-levels-ready")) {
    std::fprintf(stderr, "servers did not start\n");
    return 1;
  }

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ITraceLogManager* manager = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_ITraceLogManager,
                              reinterpret_cast<void**>(&manager)))) {
    std::fprintf(stderr, "no object\n");
    return 1;
  }
  ITraceLogManagerPipeline* pipeline = nullptr;
  manager->QueryInterface(kTraceLogManagerPipelineIid, reinterpret_cast<void**>(&pipeline));
  platform::OwnedBstr text(kText);

  int raw = platform::RawConnect((root / "raw.sock").wstring());
  int rawLevels = platform::RawConnect((root / "raw-levels.sock").wstring());
  std::string levelRequest = LevelRequestFrame();
  std::size_t levelReplySize = LevelReplyFrame().size();
  std::string request = RequestFrame();
  std::size_t replySize = ReplyFrame().size();
  std::vector<char> buffer(256 * 1024);
  std::string batch;
  for (std::size_t i = 0; i < kBatch; ++i) batch += request;

  // Synchronous: one call, one reply; GetLogLevel measures the transport
  // alone, LogMsg adds intake and the writer thread's wake-ups.
  auto start = Clock::now();
  ULONG level = 0;
  for (std::size_t i = 0; i < syncCalls; ++i) manager->GetLogLevel(&level);
  double comLevel = static_cast<double>(syncCalls) / Seconds(start);
  start = Clock::now();
  for (std::size_t i = 0; i < syncCalls; ++i) {
    platform::RawSend(rawLevels, levelRequest.data(), levelRequest.size());
    ReceiveAll(rawLevels, levelReplySize, buffer);
  }
  double rawLevel = static_cast<double>(syncCalls) / Seconds(start);
  start = Clock::now();
  for (std::size_t i = 0; i < syncCalls; ++i) manager->LogMsg(1, 1, text.Get());
  double comSync = static_cast<double>(syncCalls) / Seconds(start);
  start = Clock::now();
  for (std::size_t i = 0; i < syncCalls; ++i) {
    platform::RawSend(raw, request.data(), request.size());
    ReceiveAll(raw, replySize, buffer);
  }
  double rawSync = static_cast<double>(syncCalls) / Seconds(start);

  // Pipelined: batches of 1000 calls in flight, their results collected;
  // first with messages that the level test drops (no disk work), then
  // with messages that are written.
  std::vector<HRESULT> results(kBatch);
  start = Clock::now();
  for (std::size_t done = 0; done < pipelinedCalls; done += kBatch) {
    for (std::size_t i = 0; i < kBatch; ++i) pipeline->SendLogMsg(1, 6, text.Get());
    pipeline->ReceiveResults(kBatch, results.data());
  }
  double comDropped = static_cast<double>(pipelinedCalls) / Seconds(start);
  start = Clock::now();
  for (std::size_t done = 0; done < pipelinedCalls; done += kBatch) {
    for (std::size_t i = 0; i < kBatch; ++i) pipeline->SendLogMsg(1, 1, text.Get());
    pipeline->ReceiveResults(kBatch, results.data());
  }
  double comPipelined = static_cast<double>(pipelinedCalls) / Seconds(start);
  start = Clock::now();
  for (std::size_t done = 0; done < pipelinedCalls; done += kBatch) {
    platform::RawSend(raw, batch.data(), batch.size());
    ReceiveAll(raw, kBatch * replySize, buffer);
  }
  double rawPipelined = static_cast<double>(pipelinedCalls) / Seconds(start);

  std::printf("GetLogLevel frames: call %zu bytes, reply %zu bytes\n", levelRequest.size(), levelReplySize);
  std::printf("synchronous GetLogLevel through the transport: %.0f calls/s\n", comLevel);
  std::printf("raw ping-pong of the same frames:              %.0f calls/s\n", rawLevel);
  std::printf("ratio: %.2f (goal 0.8)\n", comLevel / rawLevel);
  std::printf("LogMsg frames: call %zu bytes, reply %zu bytes\n", request.size(), replySize);
  std::printf("synchronous LogMsg through the transport: %.0f calls/s\n", comSync);
  std::printf("raw ping-pong of the same frames:         %.0f calls/s\n", rawSync);
  std::printf("ratio: %.2f (goal 0.8)\n", comSync / rawSync);
  std::printf("pipelined LogMsg, dropped by the level:    %.0f calls/s\n", comDropped);
  std::printf("ratio: %.2f\n", comDropped / rawPipelined);
  std::printf("pipelined LogMsg through the transport:   %.0f calls/s (goal 300000)\n", comPipelined);
  std::printf("raw pipelined loop of the same frames:    %.0f calls/s\n", rawPipelined);
  std::printf("ratio: %.2f (goal 0.7)\n", comPipelined / rawPipelined);
  std::printf("load average after: %s\n", LoadAverage().c_str());

  pipeline->Release();
  manager->Release();
  CoUninitialize();
  platform::RawClose(raw);
  platform::RawClose(rawLevels);
  std::ofstream(root / "stop") << "stop";
  server->Wait();
  rawServer->Wait();
  rawLevelServer->Wait();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return 0;
}
