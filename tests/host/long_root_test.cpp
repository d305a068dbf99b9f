// A machine root of 200 characters, through the real programs: the README's
// path (register, run the service in the foreground, log a line with the
// tool) and a local server started by a client. On Linux a socket address
// holds only 108 bytes, and the class socket lies under the root.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/scribe_host_registration.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/process.h"
#include "platform/testing/raw_socket.h"
#include "platform/text.h"
#include "service_control/service_control.h"
#include "tests/support/com_test_support.h"
#include "tests/support/library_test_support.h"
#include "tests/support/service_state.h"

namespace wl {
namespace {

constexpr std::size_t kRootLength = 200;

std::filesystem::path ComponentLog(const test::TempRoot& root) {
  return root.Path() / "ProgramData" / "Kestrix" / "Wayline" / "Wayline.log";
}

// Waits until the file holds the text (the service's writer may be behind
// the call that took the line).
bool WaitForText(const std::filesystem::path& file, const std::string& text) {
  return test::WaitUntil([&] { return test::ReadFileText(file).find(text) != std::string::npos; },
                         std::chrono::seconds(20));
}

// The README's blocks "newcomer: setup", "run" and "client".
TEST(LongRoot, TheReadmePathServesTheClient) {
  if (test::OnWindows()) {
    GTEST_SKIP() << "the service manager of Windows starts the service without the test's root (wlsc run is Linux's)";
  }
  test::TempRoot root(kRootLength);
  ASSERT_EQ(root.Path().wstring().size(), kRootLength);
  ASSERT_EQ(test::RunChild({L"-Service"}, L"ScribeHost"), 0);
  auto service = test::StartChild({L"run", L"ScribeHost"}, L"wlsc");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(test::WaitForServiceState(kServiceName, platform::kServiceRunning)) << test::ServiceState(kServiceName);
  EXPECT_EQ(test::RunChild({L"log", L"-s", L"1", L"-l", L"1", L"Hello from a long root"}, L"scribe"), 0);
  EXPECT_TRUE(WaitForText(ComponentLog(root), ": Hello from a long root\r\n"));
  EXPECT_TRUE(test::ReadFileText(ComponentLog(root)).starts_with("\xEF\xBB\xBFWayline     +C "));
  EXPECT_EQ(test::RunChild({L"stop", L"ScribeHost"}, L"wlsc"), 0);
  EXPECT_EQ(service->Wait(), 0);
  EXPECT_EQ(test::ServiceState(kServiceName), platform::kServiceStopped);
}

// Forwarding to a collector that cannot be reached, with the default
// settings (no diagnostic file): the operator running the service in the
// foreground reads why on its output, and in the status file.
TEST(LongRoot, TheForegroundServiceShowsWhyItCannotForward) {
  if (test::OnWindows()) GTEST_SKIP() << "wlsc run is Linux's";
  test::TempRoot root(kRootLength);
  ASSERT_EQ(test::RunChild({L"-Service"}, L"ScribeHost"), 0);
  ASSERT_EQ(test::RunChild({L"add", L"HKLM\\Software\\Kestrix\\Wayline", L"/v", L"ForwardTarget", L"/t", L"REG_SZ",
                            L"/d", L"tcp://collector.invalid:514", L"/f"},
                           L"wlreg"),
            0);
  std::filesystem::path output = root.Path() / "run.out";
  Win32Error error = 0;
  auto service = platform::StartProcess(
      L"/bin/sh", {L"-c", L"exec \"$0\" run ScribeHost >\"$1\"", test::ProgramPath(L"wlsc"), output.wstring()}, &error);
  ASSERT_NE(service, nullptr) << error;
  ASSERT_TRUE(test::WaitForServiceState(kServiceName, platform::kServiceRunning)) << test::ServiceState(kServiceName);
  // The forwarder connects when it has a message to send.
  EXPECT_EQ(test::RunChild({L"log", L"-s", L"1", L"-l", L"1", L"for the collector"}, L"scribe"), 0);
  std::string cause =
      "Forwarding to tcp://collector.invalid:514 cannot connect: the host name collector.invalid cannot "
      "be resolved; Error 11001 (0x2af9)";
  EXPECT_TRUE(WaitForText(output, cause)) << test::ReadFileText(output);
  EXPECT_TRUE(WaitForText(root.Path() / "run" / "forwarding.status", "error=" + cause));
  EXPECT_EQ(test::RunChild({L"stop", L"ScribeHost"}, L"wlsc"), 0);
  EXPECT_EQ(service->Wait(), 0);
}

TEST(LongRoot, AClientStartsTheLocalServer) {
  test::TempRoot root(kRootLength);
  test::MachineStateLock lock;
  ASSERT_EQ(test::RunChild({L"-RegServer"}, L"ScribeHost"), 0);
  EXPECT_EQ(test::RunChild({L"log", L"-s", L"1", L"-l", L"1", L"Hello from a local server"}, L"scribe"), 0);
  EXPECT_TRUE(WaitForText(ComponentLog(root), ": Hello from a local server\r\n"));
  // The server ends about a second after its last client.
  EXPECT_TRUE(test::WaitUntil([&] { return !test::HeldOpen(ComponentLog(root)); }, std::chrono::seconds(30)));
  EXPECT_EQ(test::RunChild({L"-UnregServer"}, L"ScribeHost"), 0);
}

// The plain sockets of the tests and of the service's sd_notify take the
// same way to a socket at any path.
TEST(LongRoot, SocketsAtPathsLongerThanAnAddress) {
  if (test::OnWindows()) GTEST_SKIP() << "Unix-domain sockets are Linux's here";
  test::TempRoot root(kRootLength);
  std::wstring stream = (root.Path() / "stream.sock").wstring();
  int listener = platform::RawListen(stream);
  ASSERT_GE(listener, 0);
  int client = platform::RawConnect(stream);
  ASSERT_GE(client, 0);
  int server = platform::RawAccept(listener);
  ASSERT_GE(server, 0);
  EXPECT_EQ(platform::RawSend(client, "x", 1), 1);
  char byte = 0;
  EXPECT_EQ(platform::RawReceive(server, &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  for (int socket : {server, client, listener}) platform::RawClose(socket);
  int datagram = platform::RawBindDatagram((root.Path() / "notify.sock").wstring(), 1000);
  EXPECT_GE(datagram, 0);
  platform::RawClose(datagram);
  // A file name that no address can hold, whatever the folder.
  EXPECT_LT(platform::RawListen((root.Path() / std::string(100, 'n')).wstring()), 0);
}

// Past the system's own limit on paths the client says which path and which
// limit, instead of a bare failure to start the server.
TEST(LongRoot, AFolderPastThePathLimitIsNamed) {
  if (test::OnWindows()) GTEST_SKIP() << "the COM runtime of Windows has no socket paths";
  test::TempRoot root(4090);
  test::ComApartment apartment;
  static std::wstring reported;
  reported.clear();
  platform::SetComReportSink([](platform::ComReport, std::wstring_view text) { reported += text; });
  IUnknown* unknown = nullptr;
  EXPECT_EQ(CoCreateInstance(kTraceLogManagerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unknown)),
            CO_E_SERVER_EXEC_FAILURE);
  platform::SetComReportSink(nullptr);
  EXPECT_NE(reported.find(L"the folder of the socket " + root.Path().wstring() + L"/run/com/"), std::wstring::npos)
      << platform::Utf8FromWide(reported);
  EXPECT_NE(reported.find(L" is 4098 bytes long; the system takes paths of at most 4095 bytes"), std::wstring::npos);
}

}  // namespace
}  // namespace wl
