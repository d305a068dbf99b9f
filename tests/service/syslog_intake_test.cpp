#include "service/syslog_intake.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/system.h"
#include "platform/testing/raw_socket.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "service/status_file.h"
#include "service/trace_log_manager.h"
#include "tests/support/service_fixture.h"

namespace wl {
namespace {

class SyslogIntakeTest : public test::ServiceFixture {
 protected:
  static std::filesystem::path RunFolder() { return std::filesystem::path(StatusFilePath(L"log")).parent_path(); }

  [[nodiscard]] Win32Error SetTableValue(std::wstring_view table, std::wstring_view name, std::uint32_t source) {
    return test::SetNumber(platform::kHKeyLocalMachine, std::wstring(kProductKey) + L"\\" + std::wstring(table), name,
                           source);
  }

  // The pid of this process as a syslog line shows it.
  static std::string OwnPidText() {
    std::string text;
    platform::AppendHex(text, platform::GetCurrentProcessId(), 5);
    return text;
  }
};

TEST_F(SyslogIntakeTest, SettingsMapTagsBeforeFacilitiesAndLeaveBadEntriesOut) {
  EXPECT_FALSE(ReadSyslogIntakeSettings().enabled);
  ASSERT_EQ(SetProductDword(L"SyslogIntake", 1), kErrorSuccess);
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"SyslogStreamSocket", L""), kErrorSuccess);
  ASSERT_EQ(SetProductDword(L"SyslogSource", 21), kErrorSuccess);
  ASSERT_EQ(SetTableValue(L"SyslogTags", L"sshd", 17), kErrorSuccess);
  ASSERT_EQ(SetTableValue(L"SyslogTags", L"Big", 40), kErrorSuccess);
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, std::wstring(kProductKey) + L"\\SyslogTags", L"text", L"3"),
            kErrorSuccess);
  ASSERT_EQ(SetTableValue(L"SyslogFacilities", L"auth", 5), kErrorSuccess);
  ASSERT_EQ(SetTableValue(L"SyslogFacilities", L"19", 6), kErrorSuccess);
  ASSERT_EQ(SetTableValue(L"SyslogFacilities", L"bogus", 7), kErrorSuccess);
  ASSERT_EQ(SetTableValue(L"SyslogFacilities", L"24", 7), kErrorSuccess);

  SyslogIntakeSettings settings = ReadSyslogIntakeSettings();
  EXPECT_TRUE(settings.enabled);
  EXPECT_EQ(settings.datagramPath, StatusFilePath(L"log"));
  EXPECT_EQ(settings.streamPath, L"");
  EXPECT_EQ(settings.tags.size(), 1u);
  EXPECT_EQ(SyslogSourceOf(settings, "sshd", 4), 17);  // the tag wins over auth
  EXPECT_EQ(SyslogSourceOf(settings, "sshd2", 4), 5);
  EXPECT_EQ(SyslogSourceOf(settings, "Big", 19), 6);  // local3, by its number
  EXPECT_EQ(SyslogSourceOf(settings, "text", 1), 21);
  int mapped = 0;
  for (int facility : settings.facilities) mapped += facility >= 0 ? 1 : 0;
  EXPECT_EQ(mapped, 2);
}

TEST_F(SyslogIntakeTest, TheTextCarriesTheSocketsCredentialsAndOneLinePerMessage) {
  SyslogRecord record;
  record.tag = "ta\x1bg";
  record.text = std::string_view("one\ntwo\tthree\x7f\0end", 18);
  std::wstring text;
  BuildSyslogText(text, record, {0x12345, 1000, 1000, true}, LocalTime{2026, 12, 2, 8, 9, 4, 5, 67}, false);
  EXPECT_EQ(platform::Utf8FromWide(text),
            "12/08 09:04:05.067 12345-00000: ta#033g uid=1000: one#012two\tthree#177#000end");
  record.tag = {};
  record.text = "\xff\xfe";
  BuildSyslogText(text, record, {}, LocalTime{2026, 1, 0, 2, 3, 4, 5, 6}, true);
  EXPECT_EQ(platform::Utf8FromWide(text),
            "01/02 03:04:05.006 00000-00000: - uid=?: \xEF\xBF\xBD\xEF\xBF\xBD [cut at 65536 bytes]");
}

TEST_F(SyslogIntakeTest, MessagesFromBothSocketsReachTheirFilesWithTheSendersProcess) {
  if (!platform::SyslogReceiver::Supported()) GTEST_SKIP() << "the syslog intake runs on Linux only";
  auto core = std::make_unique<TraceLogManager>();
  ASSERT_EQ(core->FinalConstruct(), kSOk);
  std::filesystem::path run = RunFolder();
  std::filesystem::create_directories(run);
  // A socket left by an earlier run is replaced; a file that is no socket is
  // refused and left as it was.
  int stale = platform::RawBindDatagram((run / "log").wstring(), 100);
  ASSERT_GE(stale, 0);
  platform::RawClose(stale);
  { std::ofstream(run / "planted") << "not a socket"; }

  SyslogIntakeSettings settings;
  settings.enabled = true;
  settings.datagramPath = (run / "log").wstring();
  settings.streamPath = (run / "log-stream").wstring();
  settings.tags["mapped"] = 21;  // Lookout, Lookout.log
  SyslogIntake intake(*core);
  std::vector<std::wstring> report = intake.Start(settings);
  ASSERT_EQ(report.size(), 2u);
  EXPECT_NE(report[0].find(L"listening on"), std::wstring::npos) << platform::Utf8FromWide(report[0]);

  ASSERT_EQ(platform::RawSendDatagram(settings.datagramPath, "<11>Dec  8 01:02:03 mapped[1]: forged pid\n"), 0);
  ASSERT_EQ(platform::RawSendDatagram(settings.datagramPath, "<15>Dec  8 01:02:03 other: debug, dropped"), 0);
  int stream = platform::RawConnect(settings.streamPath);
  ASSERT_GE(stream, 0);
  std::string frames = "<14>Dec  8 01:02:03 other: first\n<14>Dec  8 01:02:03 other: second\n";
  ASSERT_EQ(platform::RawSend(stream, frames.data(), frames.size()), static_cast<long>(frames.size()));
  platform::RawClose(stream);
  std::string pid = OwnPidText();
  EXPECT_TRUE(WaitForLines("Lookout.log", pid + "-00000: mapped uid=", 1));
  EXPECT_TRUE(WaitForLines("Wayline.log", "other uid=", 2));
  intake.Stop();
  core->FinalRelease();

  EXPECT_NE(ReadLog("Lookout.log").find("Lookout     +E "), std::string::npos);
  EXPECT_NE(ReadLog("Lookout.log").find(": forged pid\r\n"), std::string::npos);
  EXPECT_EQ(ReadLog("Wayline.log").find("dropped"), std::string::npos);
  std::string wayline = ReadLog("Wayline.log");
  EXPECT_LT(wayline.find(": first\r\n"), wayline.find(": second\r\n"));
  // The socket files it bound are gone with the intake.
  EXPECT_FALSE(std::filesystem::exists(run / "log"));
  EXPECT_FALSE(std::filesystem::exists(run / "log-stream"));

  settings.streamPath = (run / "planted").wstring();
  SyslogIntake again(*core);
  report = again.Start(settings);
  ASSERT_EQ(report.size(), 2u);
  EXPECT_NE(report[1].find(L"something other than a socket is there"), std::wstring::npos)
      << platform::Utf8FromWide(report[1]);
  EXPECT_TRUE(again.Running());
  again.Stop();
  EXPECT_EQ(test::ReadFileText(run / "planted"), "not a socket");
}

}  // namespace
}  // namespace wl
