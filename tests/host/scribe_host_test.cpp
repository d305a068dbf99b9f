// Process tests of the ScribeHost program: activated as a local server, run
// as a service by the service control manager (Windows: the system's; Linux:
// the stand-in), stopped while a client holds the object, started from a
// console, and its events in the system log.
#include "host/scribe_host_module.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ScribeHost.h"
#include "host/scribe_host_entry.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/account.h"
#include "platform/invalid_parameter.h"
#include "platform/known_folder.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/testing/raw_socket.h"
#include "platform/text_file.h"
#include "service_control/service_control.h"
#include "tests/support/com_test_support.h"
#include "tests/support/service_fixture.h"
#include "tests/support/service_state.h"

namespace wl {
namespace {

using test::HeldOpen;
using test::WaitUntil;

// The exit status that a parent sees of a process that exits with the code:
// Linux keeps its low 8 bits.
int ExitStatus(std::uint32_t code) { return static_cast<int>(test::OnWindows() ? code : code & 0xFF); }

std::wstring AppIdKey() { return L"AppID\\" + platform::GuidText(kScribeHostAppId); }

class ScribeHostTest : public test::ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    ASSERT_TRUE(SUCCEEDED(apartment_.result));
    ASSERT_EQ(SetProductDword(L"MaxLogFileSize", 10240), 0u);
    host_ = test::ProgramPath(L"ScribeHost");
  }
  void TearDown() override {
    UninstallService();
    (void)platform::RegistryDeleteKeyTree(platform::kHKeyClassesRoot, AppIdKey());
    (void)platform::RegistryDeleteKeyTree(platform::kHKeyClassesRoot, test::ClassKey());
    (void)platform::UnregisterTypeLibrary(ScribeHostTypeLib(), host_);
    ServiceFixture::TearDown();
  }

  // What registration writes for the class and its AppID; as a service also
  // LocalService and the installed service, with imagePath as its program
  // (the host itself when empty).
  void Register(bool asService, const std::wstring& imagePath = {}) {
    ASSERT_EQ(platform::RegisterTypeLibrary(ScribeHostTypeLib(), host_), S_OK);
    std::wstring appId = platform::GuidText(kScribeHostAppId);
    ASSERT_EQ(
        test::SetString(platform::kHKeyClassesRoot, test::ClassKey() + L"\\LocalServer32", L"", L"\"" + host_ + L"\""),
        0u);
    ASSERT_EQ(test::SetString(platform::kHKeyClassesRoot, test::ClassKey(), L"AppID", appId), 0u);
    ASSERT_EQ(test::SetString(platform::kHKeyClassesRoot, AppIdKey(), L"", L"ScribeHost"), 0u);
    if (!asService) return;
    ASSERT_EQ(test::SetString(platform::kHKeyClassesRoot, AppIdKey(), L"LocalService", L"ScribeHost"), 0u);
    platform::ServiceHandle manager, service;
    ASSERT_EQ(platform::OpenSCManagerW(platform::kScManagerAllAccess, manager.Receive()), 0u);
    platform::ServiceConfig config;
    config.serviceType = platform::kServiceWin32OwnProcess;
    config.startType = platform::kServiceDemandStart;
    config.errorControl = platform::kServiceErrorNormal;
    config.binaryPathName = imagePath.empty() ? L"\"" + host_ + L"\"" : imagePath;
    ASSERT_EQ(
        platform::CreateServiceW(manager.Get(), kServiceName, config, platform::kServiceAllAccess, service.Receive()),
        0u);
    installed_ = true;
  }

  void UninstallService() {
    if (!installed_) return;
    installed_ = false;
    platform::ServiceHandle manager, service;
    ASSERT_EQ(platform::OpenSCManagerW(platform::kScManagerAllAccess, manager.Receive()), 0u);
    ASSERT_EQ(platform::OpenServiceW(manager.Get(), kServiceName, platform::kServiceAllAccess, service.Receive()), 0u);
    platform::ServiceStatus status;
    (void)platform::ControlService(service.Get(), platform::kServiceControlStop, &status);
    EXPECT_TRUE(WaitForState(platform::kServiceStopped));
    EXPECT_EQ(platform::DeleteService(service.Get()), 0u);
  }

  // The data folder of a service that Windows' service manager started:
  // the program has the environment of the manager's start, not the test's,
  // so it writes under the machine's own folder rather than the test's root.
  std::filesystem::path ServiceDataFolder() {
    if (!test::OnWindows()) return DataFolder();
    auto root = platform::GetEnvVar(L"WAYLINE_ROOT");
    platform::UnsetEnvVar(L"WAYLINE_ROOT");
    auto programData = platform::GetKnownFolderPath(platform::KnownFolder::ProgramData, false);
    EXPECT_EQ(programData.ErrorCode(), S_OK);
    if (root) platform::SetEnvVar(L"WAYLINE_ROOT", *root);
    std::filesystem::path folder = std::filesystem::path(programData.ValueOr({})) / "Kestrix" / "Wayline";
    std::error_code error;
    std::filesystem::remove(folder / "Wayline.log", error);
    return folder;
  }

  static std::uint32_t State() { return test::ServiceState(kServiceName); }
  static bool WaitForState(std::uint32_t state) { return test::WaitForServiceState(kServiceName, state); }

  Win32Error Stop() {
    platform::ServiceHandle manager, service;
    platform::ServiceStatus status;
    if (Win32Error result = platform::OpenSCManagerW(platform::kScManagerConnect, manager.Receive())) return result;
    if (Win32Error result =
            platform::OpenServiceW(manager.Get(), kServiceName, platform::kServiceStop, service.Receive())) {
      return result;
    }
    return platform::ControlService(service.Get(), platform::kServiceControlStop, &status);
  }

  ITraceLogManager* Connect() { return ConnectToManager(); }

  test::ComApartment apartment_;
  std::wstring host_;
  bool installed_ = false;
};

// A local server ends after its last client, and closes its files before
// its class stops taking activations: a client that comes while it ends
// starts a new server, which finds them free. (On Linux the test waits
// until the ending server has stopped listening, so that each next client
// meets it in its pause.)
TEST_F(ScribeHostTest, ActivatedAsALocalServerItEndsAfterItsLastClient) {
  Register(false);
  // A LocalService that is not a string counts as absent.
  ASSERT_EQ(test::SetNumber(platform::kHKeyClassesRoot, AppIdKey(), L"LocalService", 1), 0u);
  std::filesystem::path socket = std::filesystem::path(platform::MachineRoot()) / "run" / "com" /
                                 (platform::GuidText(kTraceLogManagerClsid) + L".sock");
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    ITraceLogManager* manager = Connect();
    ASSERT_NE(manager, nullptr);
    platform::OwnedBstr text(L"served by local server " + std::to_wstring(run));
    EXPECT_EQ(manager->LogMsg(1, 1, text.Get()), S_OK);
    ASSERT_TRUE(WaitForLines("Wayline.log", "served by local server " + std::to_string(run) + "\r\n", 1));
    EXPECT_TRUE(HeldOpen(LogPath("Wayline")));
    manager->Release();
    if (!test::OnWindows()) {
      test::WaitUntil([&] { return !std::filesystem::exists(socket); }, std::chrono::seconds(2));
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return !HeldOpen(LogPath("Wayline")); }, std::chrono::seconds(30)));
}

// The library's own reports in the program reach its own files: as the
// system account it reads the trace flags of the logged-on user, and reports
// one that does not exist.
TEST_F(ScribeHostTest, ItsOwnReportsReachItsFiles) {
  if (!test::RunningAsSystem()) GTEST_SKIP() << "only the system account reads a logged-on user's flags";
  Register(false);
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"LoggedOnUser", L"no-such-account"), 0u);
  ITraceLogManager* manager = Connect();
  ASSERT_NE(manager, nullptr);
  platform::OwnedBstr text(L"served");
  EXPECT_EQ(manager->LogMsg(1, 1, text.Get()), S_OK);
  // This process reports the same through its own Logger: only a line of
  // another process counts.
  std::string own = Format(" {:05x}-", platform::GetCurrentProcessId());
  auto hostReported = [&] {
    std::string log = ReadLog("Wayline.log");
    for (std::size_t at = log.find("LookupAccountName failed! Error 1332"); at != std::string::npos;
         at = log.find("LookupAccountName failed! Error 1332", at + 1)) {
      std::size_t begin = log.rfind('\n', at);
      if (log.substr(begin == std::string::npos ? 0 : begin, at - begin).find(own) == std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(test::WaitUntil(hostReported, std::chrono::seconds(20))) << ReadLog("Wayline.log");
  manager->Release();
}

TEST_F(ScribeHostTest, StartedFromAConsoleWhileRegisteredAsAServiceItExitsWith1063) {
  Register(true);
  EXPECT_EQ(test::RunChild({}, L"ScribeHost"), ExitStatus(1063));
  EXPECT_NE(State(), platform::kServiceRunning);
}

TEST_F(ScribeHostTest, WithoutItsAppIdItExitsWithTheRegistryError) {
  EXPECT_EQ(test::RunChild({}, L"ScribeHost"), ExitStatus(2));
}

TEST_F(ScribeHostTest, AServiceStartedByActivationStopsWithEveryLineOnDisk) {
  Register(true);
  const std::filesystem::path folder = ServiceDataFolder();
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    ITraceLogManager* manager = Connect();
    ASSERT_NE(manager, nullptr);
    EXPECT_TRUE(WaitForState(platform::kServiceRunning));
    // The service outlives its clients: a released object keeps its level.
    EXPECT_EQ(manager->SetLogLevel(5), S_OK);
    manager->Release();
    manager = Connect();
    ASSERT_NE(manager, nullptr);
    ULONG level = 0;
    EXPECT_EQ(manager->GetLogLevel(&level), S_OK);
    EXPECT_EQ(level, 5u);

    constexpr int kLines = 3000;
    for (int i = 0; i < kLines; ++i) {
      platform::OwnedBstr text(L"run " + std::to_wstring(run) + L" line " + std::to_wstring(i) + L".");
      ASSERT_EQ(manager->LogMsg(2, 1, text.Get()), S_OK);
    }
    // Stopped while the client still holds the object.
    EXPECT_EQ(Stop(), 0u);
    EXPECT_TRUE(WaitForState(platform::kServiceStopped));
    std::string log = test::ReadFileText(folder / "Wayline.log");
    for (int i = 0; i < kLines; i += 499) {
      EXPECT_NE(log.find("run " + std::to_string(run) + " line " + std::to_string(i) + ".\r\n"), std::string::npos)
          << i;
    }
    EXPECT_EQ(CountOf(log, "run " + std::to_string(run) + " line "), static_cast<std::size_t>(kLines));
    // The object, which the client still holds, closes its files when the
    // process ends, just after it reports stopped.
    EXPECT_TRUE(WaitUntil([&] { return !HeldOpen(folder / "Wayline.log"); }, std::chrono::seconds(30)));
    platform::OwnedBstr late(L"after the stop");
    EXPECT_NE(manager->LogMsg(2, 1, late.Get()), S_OK);
    manager->Release();
  }
}

TEST_F(ScribeHostTest, TransportDebugLinesOnlyWithTraceFlagBit16) {
  if (test::OnWindows()) GTEST_SKIP() << "the reports are the Linux transport's";
  Register(false);
  ASSERT_EQ(test::SetNumber(platform::kHKeyLocalMachine, kCurrentInstallKey, L"FileOutput", 1), 0u);
  // One local server from its activation until it stops taking activations
  // (its socket goes), so that the next client starts a new one. Each
  // server's lines in its daily file are framed by Begin Log and, as it
  // ends, End Log.
  std::filesystem::path socket = std::filesystem::path(platform::MachineRoot()) / "run" / "com" /
                                 (platform::GuidText(kTraceLogManagerClsid) + L".sock");
  auto serve = [&](std::string_view text) {
    ITraceLogManager* manager = Connect();
    ASSERT_NE(manager, nullptr);
    platform::OwnedBstr line(platform::WideFromUtf8(text));
    EXPECT_EQ(manager->LogMsg(1, 1, line.Get()), S_OK);
    ASSERT_TRUE(WaitForLines("Wayline.log", std::string(text), 1));
    manager->Release();
    WaitUntil([&] { return !std::filesystem::exists(socket); }, std::chrono::seconds(30));
  };
  auto daily = [&] {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(DataFolder())) {
      if (entry.path().filename().string().starts_with("ScribeHost_")) text += test::ReadFileText(entry.path());
    }
    return text;
  };
  serve("flags 0");
  ASSERT_EQ(test::SetTraceFlags(0x10000), 0u);
  serve("flags 0x10000");
  WaitUntil([&] { return CountOf(daily(), "End Log - ") != 0; }, std::chrono::seconds(20));
  // Only the second server, which runs with the bit, has the client's line.
  std::string lines = daily();
  std::string clsid = Utf8(platform::GuidText(kTraceLogManagerClsid));
  std::size_t connected = lines.find(": Debug: COM client connected to " + clsid + ": process " +
                                     std::to_string(platform::GetCurrentProcessId()) + ", user ");
  ASSERT_NE(connected, std::string::npos) << lines;
  EXPECT_GT(connected, lines.rfind("Begin Log - ")) << lines;
}

// A service killed with SIGKILL counts as stopped at once, also while its
// process waits to be reaped (here the test, its parent, reaps it only at
// the end), and the next client starts a new one.
TEST_F(ScribeHostTest, AKilledServiceIsStoppedAtOnceAndTheNextClientStartsANewOne) {
  if (test::OnWindows()) GTEST_SKIP() << "the Linux service control stand-in's; Windows' manager sees a death itself";
  test::TempFolder folder;
  const std::filesystem::path input = folder.Path() / "in.txt", output = folder.Path() / "out.txt";
  test::WriteFileBytes(input, {});
  // A program's exit code and its standard output.
  auto run = [&](std::wstring_view program, std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), {L"redirect", input.wstring(), output.wstring(), test::ProgramPath(program)});
    int code = test::RunChild(arguments);
    return std::make_pair(code, test::ReadFileText(output));
  };
  ASSERT_EQ(test::RunChild({L"-Service"}, L"ScribeHost"), 0);
  installed_ = true;
  auto service = test::StartChild({L"run", L"ScribeHost"}, L"wlsc");
  ASSERT_TRUE(service != nullptr);
  ASSERT_TRUE(WaitForState(platform::kServiceRunning));
  EXPECT_EQ(run(L"scribe", {L"log", L"-s", L"1", L"-l", L"1", L"before the kill"}).first, 0);
  EXPECT_TRUE(WaitForLines("Wayline.log", ": before the kill\r\n", 1));

  ASSERT_TRUE(service->Kill());
  EXPECT_EQ(run(L"wlsc", {L"query", L"ScribeHost"}).second, "ScribeHost: STOPPED (exit code 1067)\n");
  EXPECT_EQ(run(L"scribe", {L"log", L"-s", L"1", L"-l", L"1", L"after the kill"}).first, 0);
  EXPECT_TRUE(WaitForLines("Wayline.log", ": after the kill\r\n", 1));
  EXPECT_EQ(run(L"wlsc", {L"query", L"ScribeHost"}).second, "ScribeHost: RUNNING\n");
  (void)service->Wait();
}

TEST_F(ScribeHostTest, ServiceEventsReachTheSystemLog) {
  if (test::OnWindows()) GTEST_SKIP() << "the Windows event log cannot be read back under Wine";
  if (!std::filesystem::exists("/usr/bin/unshare") || !test::RunningAsSystem()) {
    GTEST_SKIP() << "needs root and unshare(1) to give the service a system log socket of the test's own";
  }
  // The service runs in a mount namespace of its own where /dev/log is the
  // test's socket, so that syslog(3) in the service reaches the test.
  test::TempFolder folder;
  std::filesystem::path socket = folder.Path() / "log.sock", wrapper = folder.Path() / "host.sh";
  int fd = platform::RawBindDatagram(socket.wstring(), 20000);
  ASSERT_GE(fd, 0);
  {
    std::ofstream script(wrapper);
    script << "#!/bin/sh\nexec unshare --mount --propagation private sh -c '"
           << "mkdir -p \"$0.dev\" && mount --rbind /dev \"$0.dev\" && mount -t tmpfs tmpfs /dev && "
           << "for node in null zero random urandom; do touch /dev/$node && mount --bind \"$0.dev/$node\" /dev/$node; "
           << "done && touch /dev/log && mount --bind \"$0\" /dev/log && exec \"$1\"' "
           << "'" << socket.string() << "' '" << platform::Utf8FromWide(host_) << "'\n";
  }
  std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
  Register(true, L"\"" + wrapper.wstring() + L"\"");

  auto receiveUntil = [&](const std::string& wanted) {
    std::string seen;
    char buffer[2048];
    for (;;) {
      long count = platform::RawReceive(fd, buffer, sizeof(buffer));
      if (count <= 0) return seen;
      std::string line(buffer, static_cast<std::size_t>(count));
      seen += line + "\n";
      if (line.find(wanted) != std::string::npos) return line;
    }
  };
  ITraceLogManager* manager = Connect();
  ASSERT_NE(manager, nullptr);
  std::string started = receiveUntil("Service started/resumed");
  EXPECT_NE(started.find("ScribeHost["), std::string::npos) << started;
  EXPECT_NE(started.find("]: Service started/resumed"), std::string::npos) << started;
  manager->Release();
  EXPECT_EQ(Stop(), 0u);
  std::string stopped = receiveUntil("Service stopped");
  EXPECT_NE(stopped.find("ScribeHost["), std::string::npos) << stopped;
  EXPECT_TRUE(WaitForState(platform::kServiceStopped));
  platform::RawClose(fd);
}

TEST_F(ScribeHostTest, UnderSystemdItTakesItsSocketAndNotifiesTheManager) {
  if (test::OnWindows()) GTEST_SKIP() << "systemd is Linux's";
  const wchar_t* activator = L"/usr/bin/systemd-socket-activate";
  if (!std::filesystem::exists(activator)) GTEST_SKIP() << "needs systemd-socket-activate (package systemd)";
  Register(true);
  // systemd-socket-activate listens on the class's socket as a socket unit
  // does and starts the service at the first connection, with the socket
  // and the environment of a unit of Type=notify.
  // The manager's socket at a path longer than a socket address holds.
  test::TempFolder folder;
  std::filesystem::path notify = folder.Path() / std::string(100, 'n') / "notify.sock";
  std::filesystem::create_directories(notify.parent_path());
  int fd = platform::RawBindDatagram(notify.wstring(), 20000);
  ASSERT_GE(fd, 0);
  std::filesystem::path socket = std::filesystem::path(platform::MachineRoot()) / "run" / "com" /
                                 (platform::GuidText(kTraceLogManagerClsid) + L".sock");
  std::filesystem::create_directories(socket.parent_path());
  Win32Error error = 0;
  auto systemd = platform::StartProcess(
      activator,
      {L"-l", socket.wstring(), L"-E", L"INVOCATION_ID=0123", L"-E", L"NOTIFY_SOCKET=" + notify.wstring(), L"-E",
       L"WAYLINE_ROOT=" + platform::MachineRoot(), host_},
      &error);
  ASSERT_NE(systemd, nullptr) << error;
  ASSERT_TRUE(test::WaitForPath(socket));

  auto receive = [&] {
    char buffer[512];
    long count = platform::RawReceive(fd, buffer, sizeof(buffer));
    return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string("(nothing)");
  };
  ITraceLogManager* manager = Connect();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(receive(), "STATUS=Starting");
  EXPECT_EQ(receive(), "READY=1\nSTATUS=Running");
  platform::OwnedBstr text(L"through the socket unit's socket");
  EXPECT_EQ(manager->LogMsg(1, 1, text.Get()), S_OK);
  EXPECT_EQ(State(), platform::kServiceRunning);
  EXPECT_EQ(Stop(), 0u);
  EXPECT_EQ(receive(), "STOPPING=1\nSTATUS=Stopping");
  EXPECT_EQ(receive(), "STATUS=Stopped");
  EXPECT_EQ(systemd->Wait(), 0);
  manager->Release();
  EXPECT_EQ(CountOf(ReadLog("Wayline.log"), "through the socket unit's socket\r\n"), 1u);
  // The socket is the unit's: it stays for the next start.
  EXPECT_TRUE(std::filesystem::exists(socket));
  platform::RawClose(fd);
}

TEST(ScribeHostEvents, TextsAreCutAt255Characters) {
  EXPECT_EQ(CutEventText(L""), L"");
  EXPECT_EQ(CutEventText(std::wstring(255, L'x')), std::wstring(255, L'x'));
  EXPECT_EQ(CutEventText(std::wstring(256, L'x')), std::wstring(255, L'x'));
  EXPECT_EQ(CutEventText(std::wstring(300, L'y')).size(), 255u);
}

// The entry installs the crash handlers once and, on its way out, puts back
// the invalid-parameter handler it found.
TEST(ScribeHostEntry, RestoresTheInvalidParameterHandlerItFound) {
  test::TempRoot root;
  platform::InvalidParameterCallback earlier = [](const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                                  std::uintptr_t) {};
  (void)platform::SetInvalidParameterCallback(earlier);
  auto registration = [](std::wstring_view, HRESULT* result) {
    *result = E_FAIL;
    return false;
  };
  EXPECT_EQ(ScribeHostEntry(L"ScribeHost -RegServer", registration), static_cast<int>(E_FAIL));
  EXPECT_EQ(platform::SetInvalidParameterCallback(nullptr), earlier);
  platform::SetComReportSink(nullptr);
}

}  // namespace
}  // namespace wl
