// The service tests' set-up with the test server (the child program's
// com-server) in another process: registered for activation, started and
// stopped by the test, and the lines of this process read back from the
// service's log files.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "diagnostics/format.h"
#include "diagnostics/write_log.h"
#include "logclient/logger.h"
#include "platform/process.h"
#include "platform/system.h"
#include "tests/support/com_test_support.h"
#include "tests/support/service_fixture.h"

namespace wl::test {

class ServerTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    for (const char* name : {"starts", "ends", "locks", "ready", "stop", "asked"}) {
      std::filesystem::remove(ComServerFile(name));
    }
    ASSERT_EQ(RegisterTestServer(), S_OK);
    ASSERT_TRUE(SUCCEEDED(apartment_.result));
    // Room for every line of a test in one file (KiB).
    ASSERT_EQ(SetProductDword(L"MaxLogFileSize", 10240), 0u);
  }
  void TearDown() override {
    // This process's Logger lets go of the server first.
    LifetimeTracker::Instance().DestroyAll();
    StopServer();
    // An activated server ends after its last client; the next test must
    // not meet it.
    WaitUntil([this] { return Count("starts") == Count("ends"); }, std::chrono::seconds(30));
    EXPECT_EQ(Count("starts"), Count("ends"));
    UnregisterTestServer();
    ServiceFixture::TearDown();
  }

  // A server started by the test ("com-server" with the options): it holds
  // a lock of its own and serves until StopServer.
  void StartServer(std::vector<std::wstring> options = {}) {
    options.insert(options.begin(), L"com-server");
    server_ = StartChild(options);
    ASSERT_TRUE(server_ != nullptr);
    ASSERT_TRUE(WaitForPath(ComServerFile("ready")));
  }
  // Ends it; its writer writes every line queued before the stop.
  void StopServer() {
    if (!server_) return;
    WriteFileBytes(ComServerFile("stop"), {});
    EXPECT_EQ(server_->Wait(), 0);
    server_.reset();
    std::filesystem::remove(ComServerFile("stop"));
  }

  ITraceLogManager* Connect() { return ConnectToManager(true); }

  std::size_t Count(const char* file) { return CountOf(ReadFileText(ComServerFile(file)), "\n"); }

  ComApartment apartment_;
  std::unique_ptr<platform::ChildProcess> server_;
};

// For the library's support functions: a running server whose source 1
// passes every level, this process's Logger linked to it, and the reports
// of this process as they arrived.
class ReportTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    StartServer();
    ITraceLogManager* manager = Connect();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->SetComponentLogLevel(kDefaultLogSource, kLevelDebug2), S_OK);
    manager->Release();
    logPath_ = LogPath("Wayline");
    (void)Reports();
  }

  // The reports of this process that the service wrote into Wayline.log
  // since the last call, each as its level letter, a blank and the text
  // after the client's prefix. Sends a mark after them and waits until the
  // service has written it (one connection's calls are taken in order).
  // Links this process's Logger when it has no link yet; touches no other
  // singleton.
  std::vector<std::string> Reports() {
    std::string mark = Format("reports mark {}\r\n", ++marks_);
    WriteLog(kDefaultLogSource, kLevelGlobal, platform::WideFromUtf8(mark.substr(0, mark.size() - 2)));
    if (auto logger = GetLogger()) logger->WaitUntilSent();
    std::string text;
    WaitUntil([&] { return (text = ReadFileText(logPath_)).find(mark) != std::string::npos; },
              std::chrono::seconds(20));
    std::size_t end = text.find(mark);
    EXPECT_NE(end, std::string::npos) << mark;
    if (end == std::string::npos) return {};
    std::size_t begin = 0;
    if (marks_ > 1) begin = text.find(Format("reports mark {}\r\n", marks_ - 1));
    // From the line after the previous mark to the line before this one.
    begin = begin == std::string::npos ? 0 : text.find('\n', begin) + 1;
    end = text.rfind('\n', end);
    end = end == std::string::npos || end < begin ? begin : end + 1;
    std::string own = Format(" {:05x}-", platform::GetCurrentProcessId());
    std::vector<std::string> reports;
    for (std::size_t at = begin; at < end;) {
      std::size_t next = text.find('\n', at);
      std::string line = text.substr(at, next - at);
      at = next + 1;
      if (line.ends_with('\r')) line.pop_back();
      std::size_t id = line.find(own);
      if (line.size() > 15 && id != std::string::npos) {
        reports.push_back(line.substr(13, 1) + " " + line.substr(line.find(": ", id) + 2));
      }
    }
    return reports;
  }

  std::filesystem::path logPath_;
  int marks_ = 0;
};

}  // namespace wl::test
