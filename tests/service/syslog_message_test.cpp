#include "service/syslog_message.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/text.h"
#include "platform/wall_clock.h"
#include "service/forwarder.h"

namespace wl {
namespace {

// The text as MSG carries it: behind a byte-order mark.
std::string WithBom(std::string_view text) {
  std::string out("\xEF\xBB\xBF");
  out.append(text);
  return out;
}

std::string Message(SourceNumber source, LevelNumber level, std::string_view text, std::string_view host = "box",
                    std::uint32_t facility = kDefaultSyslogFacility, std::int64_t at = 1'764'931'200'123'456) {
  std::string out;
  AppendSyslogMessage(out, SyslogInput{facility, source, level, at, text}, host);
  return out;
}

TEST(SyslogMessageTest, HeaderFieldsAndStructuredDataOfAServiceStampedText) {
  const std::int64_t at = 1'764'931'200'123'456;
  std::string message = Message(21, 3, "Link down", "box", kDefaultSyslogFacility, at);
  std::smatch m;
  std::regex shape(
      R"re(<(\d+)>1 (\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{6})([+-])(\d\d):(\d\d) (\S+) (\S+) (\S+) (\S+) )re"
      R"re(\[wayline@32473 source="(\d+)" level="(\d+)"\] (.*))re");
  ASSERT_TRUE(std::regex_match(message, m, shape)) << message;
  EXPECT_EQ(m[1], "132");  // local0 (16) * 8 + Warning (4)
  platform::CivilTime local = platform::LocalCivilTime(at);
  EXPECT_EQ(std::stoi(m[2]), local.year);
  EXPECT_EQ(std::stoi(m[5]), local.hour);
  EXPECT_EQ(m[8], "123456");
  int offset = (std::stoi(m[10]) * 60 + std::stoi(m[11])) * (m[9] == "-" ? -1 : 1);
  EXPECT_EQ(offset, local.offsetMinutes);
  EXPECT_EQ(m[12], "box");
  EXPECT_EQ(m[13], "Lookout");
  EXPECT_EQ(m[14], "-");  // no client stamp, no process
  EXPECT_EQ(m[15], "Lookout");
  EXPECT_EQ(m[16], "21");
  EXPECT_EQ(m[17], "3");
  EXPECT_EQ(m[18], WithBom("Link down"));
}

TEST(SyslogMessageTest, AClientStampGivesProcessAndThreadAndLeavesTheText) {
  std::string message = Message(1, 4, "12/04 10:34:55.123 01a2c-01f40: Started\nsecond line");
  EXPECT_NE(message.find(" Wayline 01a2c Wayline [wayline@32473 source=\"1\" level=\"4\" thread=\"01f40\"] "),
            std::string::npos)
      << message;
  EXPECT_TRUE(message.ends_with(WithBom("Started\nsecond line"))) << message;

  // Not a stamp: the digits are not digits, or the separator is missing. The
  // text stays whole and the process is unknown.
  for (std::string_view text : {"12/04 10:34:55.123 01a2c01f40: x", "ab/04 10:34:55.123 01a2c-01f40: x",
                                "12/04 10:34:55.123 -01f40: x", "12/04 10:34:55.123 01a2c-01f40:"}) {
    std::string plain = Message(1, 4, text);
    EXPECT_NE(plain.find(" Wayline - Wayline [wayline@32473 source=\"1\" level=\"4\"] "), std::string::npos) << text;
    EXPECT_TRUE(plain.ends_with(WithBom(text))) << text;
  }
}

TEST(SyslogMessageTest, LevelsFacilitiesAndNamesAHeaderCannotHold) {
  const std::uint32_t expected[] = {5, 2, 3, 4, 6, 7, 7};
  for (LevelNumber level = 0; level < kLevelCount; ++level) {
    EXPECT_EQ(SyslogSeverity(level), expected[level]) << level;
    std::string pri = std::to_string(23 * 8 + expected[level]);
    EXPECT_TRUE(Message(3, level, "x", "h", 23).starts_with('<' + pri + ">1 "));
  }
  EXPECT_TRUE(Message(3, 2, "x", "h", 0).starts_with("<3>1 "));
  // Blanks in a source name, an empty host and a host with a blank.
  EXPECT_NE(Message(0, 4, "x").find(" box **_Global_** - Wayline "), std::string::npos);
  EXPECT_NE(Message(16, 4, "x", "").find(" - Hoist_Host - Sentry "), std::string::npos);
  EXPECT_NE(Message(16, 4, "x", "my box\xC3\xA9").find(" my_box__ Hoist_Host "), std::string::npos);
}

TEST(SyslogMessageTest, OctetCountingCountsBytesNotCharacters) {
  std::string frames;
  AppendOctetCountedFrame(frames, "\xC3\xA9t\xC3\xA9");
  AppendOctetCountedFrame(frames, "");
  EXPECT_EQ(frames,
            "5 \xC3\xA9t\xC3\xA9"
            "0 ");
}

TEST(SyslogMessageTest, ALongMessageIsCutWholeToTheLimitOnACharacterAndMarked) {
  // "é" is two bytes: every cut point but one falls inside a character.
  std::string text = "12/04 10:34:55.123 01a2c-01f40: ";
  for (int i = 0; i < 2000; ++i) text += "\xC3\xA9";
  std::string whole;
  AppendSyslogMessage(whole, SyslogInput{16, 1, 3, 0, text}, "box");
  for (std::size_t limit : {std::size_t{1024}, std::size_t{1025}, std::size_t{2048}}) {
    std::string cut = "<prior>";
    AppendSyslogMessage(cut, SyslogInput{16, 1, 3, 0, text, limit}, "box");
    std::string_view message = std::string_view(cut).substr(7);
    EXPECT_LE(message.size(), limit);
    EXPECT_GE(message.size(), limit - 1);
    EXPECT_NE(message.find(" thread=\"01f40\" cut=\"" + std::to_string(whole.size()) + "\"] \xEF\xBB\xBF\xC3\xA9"),
              std::string_view::npos)
        << message.substr(0, 200);
    EXPECT_TRUE(message.ends_with("\xC3\xA9")) << limit;
  }
  // A message of exactly the limit is left whole and unmarked.
  std::string exact;
  AppendSyslogMessage(exact, SyslogInput{16, 1, 3, 0, text, whole.size()}, "box");
  EXPECT_EQ(exact, whole);
}

TEST(SyslogMessageTest, TextIsRecoveredFromTheFinishedLine) {
  std::string head = "Lookout     +W ";
  std::string stamp = "12/04 10:34:55.123            : ";
  EXPECT_EQ(TextOfLogLine(head + stamp + "a\r\nb\r\r\n\r\n", true), "a\nb\r\n");
  EXPECT_EQ(TextOfLogLine(head + "12/04 10:34:55.123 01a2c-01f40: x\r\n", false), "12/04 10:34:55.123 01a2c-01f40: x");
  EXPECT_EQ(TextOfLogLine(head + stamp + "\r\n", true), "");
  EXPECT_EQ(TextOfLogLine("short", true), "");
}

TEST(ForwardTargetTest, OnlyTcpAndRelpWithAHostAndAPortAreTaken) {
  ForwardingSettings settings;
  ASSERT_TRUE(ParseForwardTarget(L"tcp://collector.example:514", settings));
  EXPECT_EQ(settings.protocol, ForwardProtocol::Tcp);
  EXPECT_EQ(settings.host, "collector.example");
  EXPECT_EQ(settings.port, 514);
  ASSERT_TRUE(ParseForwardTarget(L"RELP://[::1]:2514", settings));
  EXPECT_EQ(settings.protocol, ForwardProtocol::Relp);
  EXPECT_EQ(settings.host, "::1");
  EXPECT_EQ(settings.port, 2514);
  EXPECT_FALSE(settings.tls);
  ASSERT_TRUE(ParseForwardTarget(L"TLS://collector.example:6514", settings));
  EXPECT_EQ(settings.protocol, ForwardProtocol::Tcp);
  EXPECT_TRUE(settings.tls);
  EXPECT_EQ(settings.port, 6514);
  ASSERT_TRUE(ParseForwardTarget(L"relp+tls://[::1]:2515", settings));
  EXPECT_EQ(settings.protocol, ForwardProtocol::Relp);
  EXPECT_TRUE(settings.tls);
  EXPECT_EQ(settings.host, "::1");
  ASSERT_TRUE(ParseForwardTarget(L"tcp://h:514", settings));
  EXPECT_FALSE(settings.tls);
  for (std::wstring_view bad :
       {L"udp://h:514", L"tcp://h", L"tcp://:514", L"tcp://h:0", L"tcp://h:65536", L"tcp://h:51x", L"tcp://::1:514",
        L"tcp://h h:514", L"tcp://h/x:514", L"h:514", L"tcp://[]:514", L"", L"tls+relp://h:514", L"ssl://h:514"}) {
    ForwardingSettings untouched;
    EXPECT_FALSE(ParseForwardTarget(bad, untouched)) << platform::Utf8FromWide(bad);
    EXPECT_FALSE(untouched.Enabled());
  }
}

}  // namespace
}  // namespace wl
