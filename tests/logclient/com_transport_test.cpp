// TraceLogManager across processes: the test server (the child program's
// com-server) and clients in this and other processes, through the COM
// runtime on Windows and the transport of the Linux build.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

#include "com/com_frame.h"
#include "logclient/trace_log_manager_proxy.h"
#include "platform/process.h"
#include "platform/testing/raw_socket.h"
#include "service_control/service_run.h"
#include "tests/support/server_fixture.h"
#include "tools/scribe_tool.h"

namespace wl {
namespace {

using test::ComServerFile;

class ComTransportTest : public test::ServerTest {
 protected:
  void TearDown() override {
    platform::SetComTimeouts({});
    platform::SetComReportSink(nullptr);
    ServerTest::TearDown();
  }

  // The server's module lock count as it last wrote it.
  std::string Locks() { return test::ReadFileText(ComServerFile("locks")); }
  bool WaitForLocks(const std::string& count) {
    return test::WaitUntil([&] { return Locks() == count; }, std::chrono::seconds(10));
  }

  std::filesystem::path MachineSocket() {
    return root_.Path() / "run" / "com" / (Utf8(platform::GuidText(kTraceLogManagerClsid)) + ".sock");
  }

  // The diagnostic lines of the test servers that have ended.
  std::string ServerDiagnostics() {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(DataFolder())) {
      if (entry.path().filename().string().starts_with("scribe_test_child")) text += test::ReadFileText(entry.path());
    }
    return text;
  }

  // Keeps what the transport of this process reports, from now on.
  static std::wstring& Reports() {
    static std::wstring reports;
    return reports;
  }
  static void KeepReports() {
    Reports().clear();
    platform::SetComReportSink(
        [](platform::ComReport, std::wstring_view text) { Reports() += std::wstring(text) + L"\n"; });
  }

  static HRESULT Activate() {
    IUnknown* unknown = nullptr;
    HRESULT result = CoCreateInstance(kTraceLogManagerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(&unknown));
    if (unknown != nullptr) unknown->Release();
    return result;
  }

  // A raw connection that has activated the object (the server's reply
  // read), receiving with a time-out of 10 s.
  int Activated() {
    platform::comframe::FrameBuffer activation;
    AppendGuidFrame(activation, platform::comframe::FrameKind::kActivate, kTraceLogManagerIid);
    int socket = platform::RawConnect(MachineSocket().wstring(), 10000);
    char reply[64];
    EXPECT_EQ(platform::RawSend(socket, activation.data(), activation.size()), static_cast<long>(activation.size()));
    EXPECT_GT(platform::RawReceive(socket, reply, sizeof(reply)), 0);
    return socket;
  }

  // The child program started as the account "nobody", from a copy where
  // every account can reach it; its environment is this process's.
  std::unique_ptr<platform::ChildProcess> StartAsNobody(const std::vector<std::wstring>& arguments) {
    if (!programs_) programs_ = std::make_unique<test::SharedProgram>(L"scribe_test_child");
    auto child = test::StartAs(L"nobody", programs_->Path(), arguments);
    EXPECT_TRUE(child) << "the child program did not start as nobody";
    return child;
  }
  int RunAsNobody(const std::vector<std::wstring>& arguments) {
    auto child = StartAsNobody(arguments);
    return child ? child->Wait() : -1000;
  }
  // A folder where "nobody" may write.
  std::filesystem::path SharedFolder() {
    if (!shared_) {
      shared_ = std::make_unique<test::TempFolder>();
      std::filesystem::permissions(shared_->Path(), std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
    }
    return shared_->Path();
  }

  std::unique_ptr<test::SharedProgram> programs_;
  std::unique_ptr<test::TempFolder> shared_;
};

// Sets an environment variable for a scope.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name), previous_(platform::GetEnvVar(name)) {
    platform::SetEnvVar(name, value);
  }
  ~ScopedVariable() {
    if (previous_) {
      platform::SetEnvVar(name_, *previous_);
    } else {
      platform::UnsetEnvVar(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const wchar_t* name_;
  std::optional<std::wstring> previous_;
};

// What another user may try against a client of the machine's class. The
// class folder is SYSTEM's, so nobody cannot even make a socket there; and
// where it could (the folder open to all, as an earlier version made it),
// the client sees who serves the socket, directly or through a link, and
// sends nothing to it.
TEST_F(ComTransportTest, AnotherUsersSocketIsRefusedBeforeAnythingIsSent) {
  if (test::OnWindows()) GTEST_SKIP() << "the COM runtime of Windows has no class sockets";
  if (!test::RunningAsSystem()) GTEST_SKIP() << "only the system account (root) can start a process as another user";
  namespace fs = std::filesystem;
  // An activation makes the folder and its lock, SYSTEM's alone.
  ITraceLogManager* manager = Connect();
  ASSERT_NE(manager, nullptr);
  manager->Release();
  fs::path folder = MachineSocket().parent_path();
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms(0755));
  EXPECT_EQ(fs::status(folder / (Utf8(platform::GuidText(kTraceLogManagerClsid)) + ".lock")).permissions(),
            fs::perms(0600));
  fs::path report = SharedFolder() / "squatter";
  EXPECT_EQ(RunAsNobody({L"squat", MachineSocket().wstring(), report.wstring()}), 10);

  fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit);
  for (bool link : {false, true}) {
    SCOPED_TRACE(link ? "through a link" : "the socket itself");
    fs::remove(MachineSocket());
    fs::remove(report);
    std::vector<std::wstring> squat{L"squat", MachineSocket().wstring(), report.wstring()};
    if (link) {
      squat = {L"squat", (SharedFolder() / "elsewhere.sock").wstring(), report.wstring(), MachineSocket().wstring()};
    }
    auto squatter = StartAsNobody(squat);
    ASSERT_TRUE(test::WaitForPath(report));
    KeepReports();
    EXPECT_EQ(Activate(), E_ACCESSDENIED);
    EXPECT_NE(Reports().find(L"it is served by user " + test::SidOf(L"nobody").substr(9)), std::wstring::npos)
        << Utf8(Reports());
    // The operator's tool says that its line went nowhere.
    fs::path errors = SharedFolder() / "errors";
    test::WriteFileBytes(SharedFolder() / "in", {});
    EXPECT_EQ(test::RunChild({L"redirect-errors", errors.wstring(), (SharedFolder() / "in").wstring(),
                              (SharedFolder() / "out").wstring(), test::ProgramPath(L"scribe"), L"log", L"secret"}),
              kScribeUnreachable);
    EXPECT_NE(test::ReadFileText(errors).find("No message was delivered."), std::string::npos)
        << test::ReadFileText(errors);
    test::WaitUntil([&] { return test::ReadFileText(report) == "connections 2 bytes 0"; }, std::chrono::seconds(10));
    EXPECT_EQ(test::ReadFileText(report), "connections 2 bytes 0");
    EXPECT_TRUE(squatter->Kill());
    (void)squatter->Wait();
  }
  EXPECT_EQ(Count("starts"), 1u);
}

// A user's own server listens in the user's own state and serves that user
// alone; a socket there served by anyone else (root included) is refused.
TEST_F(ComTransportTest, AUsersOwnServerServesThatUserOnly) {
  if (test::OnWindows()) GTEST_SKIP() << "the COM runtime of Windows has no class sockets";
  if (!test::RunningAsSystem()) GTEST_SKIP() << "only the system account (root) can start a process as another user";
  namespace fs = std::filesystem;
  fs::path state = SharedFolder() / "state";
  ScopedVariable stateHome(L"XDG_STATE_HOME", state.wstring());
  fs::path ready = SharedFolder() / "ready", stop = SharedFolder() / "stop";
  auto server = StartAsNobody({L"user-server", ready.wstring(), stop.wstring()});
  ASSERT_TRUE(test::WaitForPath(ready));
  EXPECT_EQ(RunAsNobody({L"com-client", L"set-level", L"3"}), 0);
  EXPECT_EQ(RunAsNobody({L"com-client", L"get-level"}), 3);
  fs::path own = state / "wayline" / "run" / "com" / MachineSocket().filename();
  EXPECT_EQ(fs::status(state / "wayline").permissions(), fs::perms(0700));
  EXPECT_TRUE(fs::is_socket(own));
  // Root's client reaches the machine's server, which its activation starts.
  ITraceLogManager* manager = Connect();
  ASSERT_NE(manager, nullptr);
  ULONG level = 0;
  EXPECT_EQ(manager->GetLogLevel(&level), S_OK);
  EXPECT_EQ(level, 4u);
  manager->Release();
  test::WriteFileBytes(stop, {});
  EXPECT_EQ(server->Wait(), 0);

  int planted = platform::RawListen(own.wstring());
  ASSERT_GE(planted, 0);
  fs::permissions(own, fs::perms::all);
  EXPECT_EQ(RunAsNobody({L"com-client", L"get-level"}), 105);
  platform::RawClose(planted);
}

// A server that takes no connection, one that never answers and one that
// answers with garbage: each activation ends with its error, within the
// time-outs, and says why.
TEST_F(ComTransportTest, AServerThatDoesNotAnswerIsGivenUp) {
  if (test::OnWindows()) GTEST_SKIP() << "the time-outs are those of the Linux transport";
  platform::SetComTimeouts({.connectMilliseconds = 100, .callMilliseconds = 100, .activationMilliseconds = 5000});
  std::filesystem::create_directories(MachineSocket().parent_path());
  KeepReports();
  {
    // Its queue of new connections is full: one waits, never accepted.
    int full = platform::RawListen(MachineSocket().wstring(), 0);
    int waiting = platform::RawConnect(MachineSocket().wstring());
    ASSERT_GE(waiting, 0);
    EXPECT_EQ(Activate(), RPC_E_TIMEOUT);
    EXPECT_NE(Reports().find(L"took no connection within 100 ms"), std::wstring::npos) << Utf8(Reports());
    platform::RawClose(waiting);
    platform::RawClose(full);
  }
  int listener = platform::RawListen(MachineSocket().wstring());
  EXPECT_EQ(Activate(), RPC_E_TIMEOUT);
  EXPECT_NE(Reports().find(L"made no progress with a call for 100 ms"), std::wstring::npos) << Utf8(Reports());
  std::thread garbage([listener] {
    platform::RawClose(platform::RawAccept(listener));  // the client that gave up
    int socket = platform::RawAccept(listener);
    const char bytes[] = "\x05\0\0\0 garbage";
    (void)platform::RawSend(socket, bytes, sizeof(bytes));
    char drain[256];
    while (platform::RawReceive(socket, drain, sizeof(drain)) > 0) {
    }
    platform::RawClose(socket);
  });
  EXPECT_EQ(Activate(), RPC_E_DISCONNECTED);
  garbage.join();
  platform::RawClose(listener);
  EXPECT_EQ(Count("starts"), 0u);
}

// An activation that waits for another to finish waits at most the
// activation time-out.
TEST_F(ComTransportTest, AnActivationWaitsForTheLockAtMostItsTimeOut) {
  if (test::OnWindows()) GTEST_SKIP() << "the activation lock is the Linux transport's";
  // The first client starts a server that never listens, and holds the
  // lock while it waits for it.
  std::filesystem::path started = root_.Path() / "idle-started", go = root_.Path() / "idle-go";
  ASSERT_EQ(test::SetString(platform::kHKeyClassesRoot, test::ClassKey() + L"\\LocalServer32", L"",
                            L"\"" + test::ProgramPath(L"scribe_test_child") + L"\" idle \"" + started.wstring() +
                                L"\" \"" + go.wstring() + L"\""),
            0u);
  auto first = test::StartChild({L"com-client", L"get-level"});
  ASSERT_TRUE(test::WaitForPath(started));
  platform::SetComTimeouts({.activationMilliseconds = 200});
  KeepReports();
  EXPECT_EQ(Activate(), CO_E_SERVER_EXEC_FAILURE);
  EXPECT_NE(Reports().find(L"gave up after 200 ms: another activation held the lock"), std::wstring::npos)
      << Utf8(Reports());
  test::WriteFileBytes(go, {});
  EXPECT_EQ(first->Wait(), 101);
}

// Connections past the limits are closed at once and counted: any past the
// limit in all, those of a user other than SYSTEM past the limit per user.
TEST_F(ComTransportTest, ConnectionsPastTheLimitsAreClosedAndCounted) {
  if (test::OnWindows()) GTEST_SKIP() << "the limits are those of the Linux transport";
  StartServer({L"limits=6,2,67108864"});
  std::vector<int> sockets;
  sockets.reserve(6);

  for (int i = 0; i < 6; ++i) sockets.push_back(Activated());
  platform::comframe::FrameBuffer activation;
  AppendGuidFrame(activation, platform::comframe::FrameKind::kActivate, kTraceLogManagerIid);
  int refused = platform::RawConnect(MachineSocket().wstring(), 10000);
  char reply[64];
  (void)platform::RawSend(refused, activation.data(), activation.size());
  EXPECT_LE(platform::RawReceive(refused, reply, sizeof(reply)), 0);
  platform::RawClose(refused);
  for (int socket : sockets) platform::RawClose(socket);
  // Once the server has let them go, there is room again.
  ASSERT_TRUE(WaitForLocks("1"));
  platform::RawClose(Activated());
  bool nobody = test::RunningAsSystem();
  if (nobody) {
    EXPECT_EQ(RunAsNobody({L"connections", MachineSocket().wstring(), L"4"}), 2);
  }
  StopServer();
  // One report when the refusals begin; the count of those that followed
  // within the period when the class stops.
  std::string diagnostics = ServerDiagnostics();
  EXPECT_EQ(CountOf(diagnostics, "Refused a COM client connection (process "), 1u) << diagnostics;
  EXPECT_NE(diagnostics.find("at most 6 in all and 2 for a user other than SYSTEM; refused so far: 1"),
            std::string::npos);
  if (nobody) {
    EXPECT_NE(diagnostics.find("COM server: 3 connections refused at the connection limits"), std::string::npos);
  }
}

// A LogMessage call whose text has that many characters, as a frame.
std::string LogMessageFrame(std::size_t characters) {
  platform::OwnedBstr text(std::wstring(characters, L'm'));
  platform::CallValue values[4] = {{1, nullptr}, {1, nullptr}, {0, text.Get()}, {0, nullptr}};
  platform::comframe::FrameBuffer frame;
  platform::comframe::AppendCall(frame, 0, *platform::FindMethodBySlot(TraceLogManagerInterface(), 9), values);
  return std::string(frame.View());
}

bool SendAll(int socket, std::string_view bytes) {
  return platform::RawSend(socket, bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
}

// The server closed the connection: an orderly end, or a reset when it
// closed with the client's bytes still unread.
bool ClosedByTheServer(int socket) {
  char reply[64];
  long got = platform::RawReceive(socket, reply, sizeof(reply));
  return got == 0 || (got < 0 && errno == ECONNRESET);
}

// Frames that have not fully arrived are held for their connections up to
// a limit over all of them; past it the connection that holds the most is
// closed, and the others go on.
TEST_F(ComTransportTest, TheConnectionHoldingTheMostIsClosedPastTheMemoryLimit) {
  if (test::OnWindows()) GTEST_SKIP() << "the limits are those of the Linux transport";
  StartServer({L"limits=0,0,1048576"});
  // Each holds part of a frame: together more than the limit, and whenever
  // they are, the first holds more than the second ever can.
  std::string most = LogMessageFrame(450000), less = LogMessageFrame(225000);
  int first = Activated(), second = Activated();
  ASSERT_TRUE(SendAll(first, std::string_view(most).substr(0, 700000)));
  ASSERT_TRUE(SendAll(second, std::string_view(less).substr(0, 400000)));
  EXPECT_TRUE(ClosedByTheServer(first));
  ASSERT_TRUE(SendAll(second, std::string_view(less).substr(400000)));
  char reply[64];
  EXPECT_EQ(platform::RawReceive(second, reply, sizeof(reply)), 17);
  platform::RawClose(first);
  platform::RawClose(second);
  StopServer();
  std::string diagnostics = ServerDiagnostics();
  EXPECT_NE(diagnostics.find("bytes, the most, while the connections held "), std::string::npos) << diagnostics;
  EXPECT_NE(diagnostics.find("more than the limit of 1048576; closed so far for the limit: 1"), std::string::npos);
}

TEST_F(ComTransportTest, AFrameOfTheLargestSizeIsTakenOneCharacterMoreIsNot) {
  if (test::OnWindows()) GTEST_SKIP() << "the frames are those of the Linux transport";
  StartServer();
  std::string largest = LogMessageFrame((platform::comframe::kMaxFrameBytes - 30) / 2);
  ASSERT_EQ(largest.size(), platform::comframe::kMaxFrameBytes);
  char reply[64];
  int socket = Activated();
  ASSERT_TRUE(SendAll(socket, largest));
  EXPECT_EQ(platform::RawReceive(socket, reply, sizeof(reply)), 17);
  platform::RawClose(socket);
  socket = Activated();
  (void)SendAll(socket, LogMessageFrame((platform::comframe::kMaxFrameBytes - 30) / 2 + 1));
  EXPECT_TRUE(ClosedByTheServer(socket));
  platform::RawClose(socket);
  StopServer();
  std::string refusal = Format("frame length {} past the maximum", platform::comframe::kMaxFrameBytes - 2);
  EXPECT_NE(ServerDiagnostics().find(refusal), std::string::npos);
}

// With RestrictControl set, only SYSTEM changes levels; everyone still
// reads them and logs.
TEST_F(ComTransportTest, RestrictControlLeavesLevelChangesToSystem) {
  if (test::OnWindows()) GTEST_SKIP() << "the other user is started on Linux only";
  if (!test::RunningAsSystem()) GTEST_SKIP() << "only the system account (root) can start a process as another user";
  ASSERT_EQ(SetProductDword(L"RestrictControl", 1), 0u);
  StartServer();
  EXPECT_EQ(RunAsNobody({L"com-client", L"set-level", L"2"}), 102);
  EXPECT_EQ(RunAsNobody({L"com-client", L"get-level"}), 4);
  EXPECT_EQ(RunAsNobody({L"com-client", L"log", L"1", L"1", L"from nobody"}), 0);
  EXPECT_EQ(test::RunChild({L"com-client", L"set-level", L"2"}), 0);
  EXPECT_EQ(RunAsNobody({L"com-client", L"get-level"}), 2);
  EXPECT_TRUE(WaitForLines("Wayline.log", "from nobody\r\n", 1));
  StopServer();
  EXPECT_NE(ServerDiagnostics().find(Utf8(L"SetLogLevel refused to " + test::SidOf(L"nobody"))), std::string::npos)
      << ServerDiagnostics();
}

TEST_F(ComTransportTest, ClientsInDifferentProcessesShareTheOneObject) {
  // The first activation starts the server from its registration.
  ITraceLogManager* manager = Connect();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(test::RunChild({L"com-client", L"set-level", L"2"}), 0);
  EXPECT_EQ(test::RunChild({L"com-client", L"get-level"}), 2);
  ULONG level = 0;
  EXPECT_EQ(manager->GetLogLevel(&level), S_OK);
  EXPECT_EQ(level, 2u);

  platform::OwnedBstr text(L"through the wire \u00e9\u20ac\U0001F600");
  EXPECT_EQ(manager->Close(), S_OK);
  EXPECT_EQ(manager->LogMessage(0x10002, 1, text.Get(), 1), S_OK);
  EXPECT_EQ(manager->LogMsg(21, 7, text.Get()), E_INVALIDARG);
  // A proxy refuses a null [out] pointer itself.
  EXPECT_EQ(manager->GetComponentLogLevel(2, nullptr), HResultFromWin32(1780));
  if (!test::OnWindows()) {
    // The transport's proxy answers GetTypeInfo itself, the index checked
    // before the pointer, as the object does.
    EXPECT_EQ(manager->GetTypeInfo(5, 0, nullptr), DISP_E_BADINDEX);
    EXPECT_EQ(manager->GetTypeInfo(0, 0, nullptr), E_POINTER);
  }
  EXPECT_EQ(manager->SetComponentLogLevel(21, 6), S_OK);
  EXPECT_EQ(manager->GetComponentLogLevel(21, &level), S_OK);
  EXPECT_EQ(level, 6u);

  platform::OwnedBstr name(L"LogMsg");
  LPOLESTR names[] = {name.Get()};
  DISPID id = 0;
  EXPECT_EQ(manager->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 9);
  EXPECT_EQ(test::InvokeSetLogLevel(manager, 5), S_OK);
  EXPECT_EQ(test::RunChild({L"com-client", L"get-level"}), 5);
  manager->Release();
  // The last client gone, the activated server ends and has written its line.
  test::WaitUntil([&] { return !ReadLog("Wayline.log").empty(); }, std::chrono::seconds(10));
  EXPECT_EQ(ReadLog("Wayline.log").substr(3, 15), "Gantry      +C ");
  EXPECT_NE(ReadLog("Wayline.log").find(Utf8(L"through the wire \u00e9\u20ac\U0001F600\r\n")), std::string::npos);
}

TEST_F(ComTransportTest, ReleasingEveryReferenceKeepsTheObject) {
  StartServer();
  ITraceLogManager* manager = Connect();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->SetLogLevel(6), S_OK);
  EXPECT_EQ(manager->SetComponentLogLevel(21, 3), S_OK);
  manager->Release();
  EXPECT_TRUE(WaitForLocks("1"));
  manager = Connect();
  ASSERT_NE(manager, nullptr);
  ULONG level = 0;
  manager->GetLogLevel(&level);
  EXPECT_EQ(level, 6u);
  manager->GetComponentLogLevel(21, &level);
  EXPECT_EQ(level, 3u);
  platform::OwnedBstr text(L"after every reference went");
  EXPECT_EQ(manager->LogMsg(21, 3, text.Get()), S_OK);
  manager->Release();
  EXPECT_TRUE(WaitForLines("Lookout.log", "after every reference went", 1));
  EXPECT_EQ(CountOf(test::ReadFileText(ComServerFile("starts")), "\n"), 1u);
}

TEST_F(ComTransportTest, AKilledClientLeavesTheLockCountAsItWas) {
  if (test::OnWindows()) {
    GTEST_SKIP() << "Windows releases a dead client's references only after minutes of missed pings (Wine did "
                    "not in 10 s)";
  }
  StartServer();
  EXPECT_EQ(Locks(), "1");
  auto ready = root_.Path() / "client-ready";
  auto client = test::StartChild({L"com-client", L"hold", ready.wstring()});
  ASSERT_TRUE(test::WaitForPath(ready));
  EXPECT_EQ(Locks(), "2");
  ASSERT_TRUE(client->Kill());
  (void)client->Wait();  // killed: its code says nothing
  EXPECT_TRUE(WaitForLocks("1"));
}

TEST_F(ComTransportTest, ManyClientsAreServedByAFewThreads) {
  StartServer();
  constexpr int kClients = 300;
  std::vector<ITraceLogManager*> managers;
  for (int i = 0; i < kClients; ++i) {
    managers.push_back(Connect());
    ASSERT_NE(managers.back(), nullptr) << i;
  }
  EXPECT_EQ(Locks(), "2");
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  callers.reserve(4);

  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      test::ComApartment apartment;
      for (int round = 0; round < 20; ++round) {
        for (int i = t; i < kClients; i += 4) {
          ULONG level = 0;
          if (managers[i]->SetComponentLogLevel(1 + i % 36, 1 + i % 6) != S_OK ||
              managers[i]->GetComponentLogLevel(1 + i % 36, &level) != S_OK || level != 1u + i % 6) {
            ++failures;
          }
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(failures, 0);
  if (!test::OnWindows()) {
    // Every thread of the server, each a folder of /proc/<pid>/task.
    auto tasks = std::filesystem::path("/proc") / std::to_string(server_->Id()) / "task";
    auto count = std::distance(std::filesystem::directory_iterator(tasks), std::filesystem::directory_iterator());
    EXPECT_LE(count, 12);
  }
  for (ITraceLogManager* manager : managers) manager->Release();
  EXPECT_TRUE(WaitForLocks("1"));
}

TEST_F(ComTransportTest, TwoActivationsAtOnceStartOneServer) {
  if (test::OnWindows()) {
    GTEST_SKIP() << "Wine starts a server for each of two clients that activate at once (seen: two starts, one "
                    "server never used), so the one-server rule is the Linux transport's to show";
  }
  auto go = root_.Path() / "go";
  auto firstIn = root_.Path() / "first-in", secondIn = root_.Path() / "second-in";
  auto first = test::StartChild({L"com-client", L"wait", go.wstring(), firstIn.wstring()});
  auto second = test::StartChild({L"com-client", L"wait", go.wstring(), secondIn.wstring()});
  // Both hold the object before either lets go of it.
  ASSERT_TRUE(test::WaitForPath(firstIn));
  ASSERT_TRUE(test::WaitForPath(secondIn));
  test::WriteFileBytes(go, {});
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_EQ(second->Wait(), 0);
  EXPECT_EQ(CountOf(test::ReadFileText(ComServerFile("starts")), "\n"), 1u);
}

// A service that runs when a client comes but does not answer (it is
// stopping, or it died and is not yet seen so) is asked about again while
// the client waits, and the client gets the one started once it stopped.
TEST_F(ComTransportTest, AServiceThatStopsWhileAClientWaitsIsStartedAnew) {
  if (test::OnWindows()) GTEST_SKIP() << "the COM runtime of Windows starts services itself";
  const std::wstring appId = L"{0B5E3C1A-4D2F-4E6B-9A7C-8D1E2F3A4B5C}";
  ASSERT_EQ(test::SetString(platform::kHKeyClassesRoot, test::ClassKey(), L"AppID", appId), 0u);
  ASSERT_EQ(test::SetString(platform::kHKeyClassesRoot, L"AppID\\" + appId, L"LocalService", L"Stopping"), 0u);
  // Stands for the service control: the service runs for two questions
  // (nothing listens), then it has stopped and the test server starts.
  struct Starter final : platform::ServiceStarter {
    Win32Error StartServiceByName(std::wstring_view name) override {
      names.push_back(std::wstring(name));
      if (names.size() < 3) return platform::kErrorServiceAlreadyRunning;
      start();
      return 0;
    }
    std::function<void()> start;
    std::vector<std::wstring> names;
  } starter;
  starter.start = [this] { StartServer(); };
  platform::SetServiceStarter(&starter);
  ITraceLogManager* manager = Connect();
  platform::SetServiceStarter(nullptr);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(starter.names, std::vector<std::wstring>(3, L"Stopping"));
  platform::OwnedBstr text(L"served by the service started anew");
  EXPECT_EQ(manager->LogMsg(1, 1, text.Get()), S_OK);
  manager->Release();
  EXPECT_TRUE(WaitForLines("Wayline.log", "served by the service started anew", 1));
}

TEST_F(ComTransportTest, PipelinedCallsAnswerEachInOrder) {
  StartServer();
  ITraceLogManager* manager = Connect();
  ASSERT_NE(manager, nullptr);
  ITraceLogManagerPipeline* pipeline = nullptr;
  if (FAILED(manager->QueryInterface(kTraceLogManagerPipelineIid, reinterpret_cast<void**>(&pipeline)))) {
    manager->Release();
    GTEST_SKIP() << "the COM runtime's own proxies have no pipelined form";
  }
  constexpr int kCalls = 20000;
  platform::OwnedBstr text(std::wstring(100, L'p'));
  for (int i = 0; i < kCalls; ++i) {
    // Every tenth call has a level out of range and fails.
    ASSERT_EQ(pipeline->SendLogMsg(1, i % 10 == 9 ? 7 : 1, text.Get()), S_OK);
    if (i == kCalls / 2) {
      // A plain call in between waits for its own reply only.
      ULONG level = 0;
      EXPECT_EQ(manager->GetLogLevel(&level), S_OK);
    }
  }
  EXPECT_EQ(pipeline->Outstanding(), static_cast<ULONG>(kCalls));
  std::vector<HRESULT> results(kCalls);
  EXPECT_EQ(pipeline->ReceiveResults(kCalls + 1, results.data()), E_INVALIDARG);
  ASSERT_EQ(pipeline->ReceiveResults(kCalls, results.data()), S_OK);
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(results[i], i % 10 == 9 ? E_INVALIDARG : S_OK) << i;
  EXPECT_TRUE(WaitForLines("Wayline.log", "ppp\r\n", kCalls / 10 * 9));

  // The server goes away: the calls queued meanwhile, and those sent once
  // the connection is known to be gone, are each answered that it is gone.
  StopServer();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pipeline->SendLogMsg(1, 1, text.Get()), S_OK);
  EXPECT_EQ(pipeline->ReceiveResults(3, results.data()), RPC_E_DISCONNECTED);
  EXPECT_EQ(pipeline->SendLogMsg(1, 1, text.Get()), RPC_E_DISCONNECTED);
  EXPECT_EQ(pipeline->SendLogMsg(1, 1, text.Get()), RPC_E_DISCONNECTED);
  EXPECT_EQ(pipeline->Outstanding(), 2u);
  results.assign(3, S_OK);
  EXPECT_EQ(pipeline->ReceiveResults(2, results.data()), RPC_E_DISCONNECTED);
  EXPECT_EQ(results, (std::vector<HRESULT>{RPC_E_DISCONNECTED, RPC_E_DISCONNECTED, S_OK}));
  pipeline->Release();
  manager->Release();
}

// Each row is sent on a connection of its own after a proper activation;
// the server closes that connection with one diagnostic line while a
// client on another connection logs on.
TEST_F(ComTransportTest, HostileFramesCloseOnlyTheirOwnConnection) {
  if (test::OnWindows()) {
    GTEST_SKIP() << "the frames are those of the Linux transport";
  }
  StartServer();
  using platform::comframe::AppendGuidFrame;
  using platform::comframe::FrameKind;
  auto frame = [](std::initializer_list<int> bytes) {
    std::string text;
    for (int byte : bytes) text.push_back(static_cast<char>(byte));
    return text;
  };
  struct Row {
    const char* name;
    std::string bytes;
  };
  const Row rows[] = {
      {"truncated header", frame({9, 0})},
      {"length past the maximum", frame({0xFF, 0xFF, 0xFF, 0x7F, 3, 0, 0, 0, 15, 0, 0, 0})},
      {"unknown method", frame({8, 0, 0, 0, 3, 0, 0, 0, 99, 0, 0, 0})},
      {"text past the frame", frame({17, 0, 0, 0, 3, 0, 0, 0, 15, 0, 3, 0, 18, 1, 0, 18, 1, 0, 8, 0xFF, 0, 0, 0})},
      {"wrong argument count", frame({11, 0, 0, 0, 3, 0, 0, 0, 11, 0, 1, 0, 18, 1, 0})},
      {"garbage", frame({12, 0, 0, 0, 0x5A, 0xA5, 0x13, 0x37, 0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4})},
  };
  std::atomic<bool> done{false};
  std::atomic<int> logged{0};
  std::thread logger([&] {
    test::ComApartment apartment;
    ITraceLogManager* manager = Connect();
    platform::OwnedBstr text(L"steady client");
    while (!done && manager != nullptr) {
      if (manager->LogMsg(21, 1, text.Get()) == S_OK) ++logged;
    }
    if (manager != nullptr) manager->Release();
  });
  std::wstring socketPath = MachineSocket().wstring();
  for (const Row& row : rows) {
    int socket = platform::RawConnect(socketPath);
    ASSERT_GE(socket, 0) << row.name;
    platform::comframe::FrameBuffer activation;
    AppendGuidFrame(activation, FrameKind::kActivate, kTraceLogManagerIid);
    std::string bytes = std::string(activation.View()) + row.bytes;
    ASSERT_EQ(platform::RawSend(socket, bytes.data(), bytes.size()), static_cast<long>(bytes.size())) << row.name;
    // At most the activation's reply, then the end of the stream.
    char reply[256];
    long total = 0, got = 0;
    if (std::string_view(row.name) == "truncated header") {
      platform::RawClose(socket);
      continue;
    }
    while ((got = platform::RawReceive(socket, reply, sizeof(reply))) > 0) total += got;
    EXPECT_EQ(got, 0) << row.name;
    EXPECT_TRUE(total == 0 || total == 21) << row.name;
    platform::RawClose(socket);
  }
  while (logged < 1000) std::this_thread::yield();
  done = true;
  logger.join();
  EXPECT_TRUE(WaitForLocks("1"));
  EXPECT_TRUE(WaitForLines("Lookout.log", "steady client\r\n", logged.load()));
  StopServer();
  std::string diagnostics = ServerDiagnostics();
  EXPECT_EQ(CountOf(diagnostics, "Error: Closed a COM client connection"), std::size(rows)) << diagnostics;
}

}  // namespace
}  // namespace wl
